// The machine-file reader on any text: it must refuse or accept without a
// crash, a hang or undefined behaviour, and what it accepts must keep the
// rules it promises. It parses text only and touches nothing on disk.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "backends/sim/machine_file.h"

namespace {

using namespace larkin::platform::sim;

void Require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "machine file accepted against the rule: %s\n", rule);
    std::abort();
}

void CheckAccepted(const MachineDescription& machine) {
    Require(machine.timeScale >= 0 && machine.timeScale <= 1000, "time scale in range");
    if (machine.floppy) Require(IsFloppySize(machine.floppy->size), "floppy size");
    for (size_t a = 0; a < machine.adapters.size(); ++a) {
        const AdapterEntry& adapter = machine.adapters[a];
        Require(IsValidId(adapter.id), "adapter id");
        // Walking up the parents ends, at adapters listed before.
        size_t at = a, steps = 0;
        while (!machine.adapters[at].parent.empty()) {
            size_t parent = machine.adapters.size();
            for (size_t p = 0; p < machine.adapters.size(); ++p)
                if (machine.adapters[p].id == machine.adapters[at].parent) parent = p;
            Require(parent < at, "parent listed before");
            Require(++steps <= machine.adapters.size(), "no parent loop");
            at = parent;
        }
        std::set<int> targets;
        for (size_t d : adapter.disks) {
            Require(d < machine.disks.size(), "disk index");
            const DiskEntry& disk = machine.disks[d];
            Require(disk.target && *disk.target <= 15, "target resolved");
            Require(targets.insert(*disk.target).second, "one disk a target");
        }
    }
    for (const DiskEntry& disk : machine.disks) {
        Require(IsValidId(disk.id), "disk id");
        Require(disk.size > 0 && disk.size % 512 == 0 && disk.size <= kMaxDiskBytes, "disk size");
        Require(disk.partitions.size() <= 4, "four partitions");
        uint64_t sectors = disk.size / 512;
        for (size_t i = 0; i < disk.partitions.size(); ++i) {
            const PartitionEntry& p = disk.partitions[i];
            Require(p.sectors && *p.sectors >= 1, "partition size resolved");
            Require(p.start >= 1 && p.start <= UINT32_MAX && *p.sectors <= UINT32_MAX,
                    "32-bit sector numbers");
            Require(p.start + *p.sectors <= sectors, "partition inside the disk");
            for (size_t j = 0; j < i; ++j) {
                const PartitionEntry& q = disk.partitions[j];
                Require(p.start >= q.start + *q.sectors || q.start >= p.start + *p.sectors,
                        "no overlap");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto machine = ParseMachineText(text, "fuzz.toml", &error);
    if (machine)
        CheckAccepted(*machine);
    else
        Require(error.rfind("fuzz.toml", 0) == 0, "an error names the file");
    if (size < 64) {
        auto bytes = ParseSize(text);
        (void)bytes;
    }
    return 0;
}
