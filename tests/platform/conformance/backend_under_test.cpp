#include "backend_under_test.h"

#include <fstream>
#include <optional>

#include "hardware_machine.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"

namespace larkin::test {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

class Simulated : public BackendUnderTest {
  public:
    std::string Start(const std::vector<StickLayout>& sticks, bool* skip) override {
        std::string toml = MachineText("platform-system-disk");
        for (size_t i = 0; i < sticks.size(); ++i) {
            const StickLayout& stick = sticks[i];
            if (stick.sectorSize != 512 || stick.readOnly || stick.size % kMiB != 0) {
                *skip = true;
                return "the simulated machine has no such stick";
            }
            std::string n = std::to_string(i);
            toml += "\n[[adapter]]\nid = \"usb" + n + "\"\nclass = \"USB\"\naspi = true\n";
            // Letters come from the machine file here: four for each stick,
            // one for each volume it may get.
            std::string letters;
            for (size_t v = 0; v < 4; ++v)
                letters += std::string(letters.empty() ? "\"" : ", \"") +
                           static_cast<char>('E' + 4 * i + v) + ":\"";
            toml += "[[adapter.disk]]\nid = \"stick" + n + "\"\nsize = \"" +
                    std::to_string(stick.size / kMiB) + "MiB\"\nletters = [" + letters + "]\n";
            if (!stick.media) toml += "media = false\n";
            if (stick.partitioned && stick.media)
                toml += "[[adapter.disk.partition]]\ntype = 0x0C\nstart = " +
                        std::to_string(kMiB / 512) + "\n";
        }
        machine_.emplace(toml);
        if (!machine_->started()) return machine_->error();
        controls::ClearJournal();
        return {};
    }
    uint32_t DiskNumber(size_t stick) const override {
        for (const auto& disk : sim::Disks())
            if (disk.id == JournalKey(stick)) return disk.number;
        ADD_FAILURE() << "no disk " << JournalKey(stick);
        return 99;
    }
    std::string JournalKey(size_t stick) const override { return "stick" + std::to_string(stick); }
    std::vector<std::byte> Stored(size_t stick, uint64_t offset, size_t length) const override {
        std::ifstream image(BackingFile(stick), std::ios::binary);
        image.seekg(static_cast<std::streamoff>(offset));
        std::vector<std::byte> bytes(length);
        image.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
        return bytes;
    }
    std::string BackingFile(size_t stick) const override {
        return (machine_->folder() / "machine.state" / (JournalKey(stick) + ".img")).string();
    }
    void PullOut(size_t stick) override { EXPECT_TRUE(sim::Plug(JournalKey(stick), false)); }

  private:
    std::optional<TestMachine> machine_;
};

class LoopDevices : public BackendUnderTest {
  public:
    std::string Start(const std::vector<StickLayout>& sticks, bool* skip) override {
        std::vector<const LoopDevice*> devices;
        for (const StickLayout& stick : sticks) {
            auto& loop = loops_.emplace_back(std::make_unique<LoopDevice>());
            std::string problem = loop->Attach({.size = stick.media ? stick.size : 0,
                                                .sectorSize = stick.sectorSize,
                                                .readOnly = stick.readOnly});
            if (!problem.empty()) {
                *skip = loop->Unavailable();
                return problem;
            }
            if (stick.partitioned && stick.media) MakeShopStick(*loop);
            devices.push_back(loop.get());
        }
        if (std::string problem = machine_.Start(devices); !problem.empty()) return problem;
        numbers_.clear();
        for (const auto& loop : loops_) {
            auto standIn = FindStandIn(*loop);
            if (!standIn) return "no stand-in for " + loop->Node();
            numbers_.push_back(standIn->disk);
        }
        return {};
    }
    uint32_t DiskNumber(size_t stick) const override { return numbers_.at(stick); }
    std::string JournalKey(size_t stick) const override {
        return "test-disk-" + loops_.at(stick)->KernelName();
    }
    std::vector<std::byte> Stored(size_t stick, uint64_t offset, size_t length) const override {
        return loops_.at(stick)->ReadBacking(offset, length);
    }
    std::string BackingFile(size_t stick) const override { return loops_.at(stick)->BackingFile(); }
    void PullOut(size_t stick) override { loops_.at(stick)->Detach(); }

  private:
    // The machine goes first: its handles close before the sticks go.
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    HardwareMachine machine_;
    std::vector<uint32_t> numbers_;
};

}  // namespace

std::unique_ptr<BackendUnderTest> MakeBackend(BackendKind kind) {
    if (kind == BackendKind::Simulated) return std::make_unique<Simulated>();
    return std::make_unique<LoopDevices>();
}

}  // namespace larkin::test
