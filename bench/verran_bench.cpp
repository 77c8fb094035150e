// Verran on a large simulated machine: 64 USB adapters with 8 disks each,
// the first 24 disks lettered C: to Z:. Measures Initialize (the whole walk)
// and a property query.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "larkin/simulation.h"
#include "win32/windows.h"
#include "verran/verran.h"

namespace {

constexpr int kAdapters = 64;
constexpr int kDisksPerAdapter = 8;
constexpr int kLettered = 24;  // C: to Z:

std::string MachineText() {
    std::string toml = "[machine]\nname = \"bench\"\ntime_scale = 0\n";
    int disk = 0;
    for (int a = 0; a < kAdapters; ++a) {
        toml += "[[adapter]]\nid = \"usb" + std::to_string(a) + "\"\nclass = \"USB\"\n";
        for (int d = 0; d < kDisksPerAdapter; ++d, ++disk) {
            std::string id = std::to_string(disk);
            toml += "[[adapter.disk]]\nid = \"disk" + id + "\"\nsize = \"1MiB\"\nserial = \"SN" +
                    id + "\"\nfriendly_name = \"Stick " + id + " USB Device\"\n";
            if (disk < kLettered) {
                toml += "letters = [\"" + std::string(1, static_cast<char>('C' + disk)) + ":\"]\n";
                toml += "[[adapter.disk.partition]]\ntype = 0x06\nstart = 63\n";
            }
        }
    }
    return toml;
}

class BenchMachine {
  public:
    BenchMachine() {
        std::random_device random;
        folder_ =
            std::filesystem::temp_directory_path() / ("verran-bench-" + std::to_string(random()));
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "machine.toml") << MachineText();
    }
    ~BenchMachine() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    bool Start(std::string* error) {
        return larkin::sim::Restart((folder_ / "machine.toml").string(), error);
    }

  private:
    std::filesystem::path folder_;
};

void BM_Initialize(benchmark::State& state) {
    for (auto _ : state) {
        if (Initialize(nullptr) != 0) state.SkipWithError("Initialize failed");
        benchmark::DoNotOptimize(GetAdapterCount());
    }
    DWORD drives = 0, lettered = 0;
    for (DWORD a = 0; a < GetAdapterCount(); ++a)
        for (DWORD d = 0; d < GetDriveCount(a); ++d) {
            ++drives;
            lettered += *GetDriveInfo(a, d, "MOUNT_INFO") != '\0';
        }
    state.counters["adapters"] = GetAdapterCount();
    state.counters["drives"] = drives;
    state.counters["lettered"] = lettered;
    if (drives != kAdapters * kDisksPerAdapter || lettered != kLettered)
        state.SkipWithError("the snapshot does not hold the whole machine");
}
BENCHMARK(BM_Initialize)->Unit(benchmark::kMillisecond);

void BM_DriveQuery(benchmark::State& state) {
    if (Initialize("USB") != 0) state.SkipWithError("Initialize failed");
    DWORD a = 0, d = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetDriveInfo(a, d, "FRIENDLYNAME"));
        benchmark::DoNotOptimize(GetDriveDescription(a, d));
        if (++d == kDisksPerAdapter) d = 0, a = (a + 1) % kAdapters;
    }
}
BENCHMARK(BM_DriveQuery);

// The platform calls the walk makes once per disk, on the same machine: what
// Initialize's time is made of.
void BM_PlatformSiblingStep(benchmark::State& state) {
    DEVINST root = 0, child = 0, next = 0;
    CM_Locate_DevNodeA(&root, nullptr, 0);
    CM_Get_Child(&child, root, 0);
    for (auto _ : state) benchmark::DoNotOptimize(CM_Get_Sibling(&next, child, 0));
}
BENCHMARK(BM_PlatformSiblingStep)->Unit(benchmark::kMillisecond);

void BM_PlatformInterfaceSet(benchmark::State& state) {
    for (auto _ : state) {
        HDEVINFO set =
            SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, "USBSTOR\\DISK&VEN_&PROD_&REV_\\SN7&0",
                                 nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) state.SkipWithError("no interface set");
        SetupDiDestroyDeviceInfoList(set);
    }
}
BENCHMARK(BM_PlatformInterfaceSet)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    BenchMachine machine;
    std::string error;
    if (!machine.Start(&error)) {
        std::fprintf(stderr, "verran_bench: %s\n", error.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Destroy();
    return 0;
}
