// The make-bootable flow on a 4,000,000,000-byte simulated stick with 1 MB of
// boot files on the floppy (pauses recorded, not waited), beside the same
// result made by hand on a copy of the image file: sfdisk, mkfs.fat, dd of
// the boot records, mcopy. Prints both times, their ratio, and the bytes the
// flow wrote (from the write journal) beside the least it must write.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "win32/windows.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kStickBytes = 4'000'000'000;
constexpr std::uint32_t kHidden = 63;
constexpr std::uint32_t kSectors = 3'906'250;
constexpr std::size_t kFileBytes = 1024 * 1024;

bool Shell(const std::string& command) {
    std::string line = "PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1 " + command;
    return std::system(line.c_str()) == 0;
}

std::string Quote(const fs::path& path) {
    return "'" + path.string() + "'";
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::printf(
            "usage: make_bootable_bench\nTimes CreateUSBBoot against the hand-made "
            "pipeline on a 4 GB simulated stick.\n");
        return 0;
    }
    fs::path folder = fs::temp_directory_path() / "larkin-make-bootable-bench";
    fs::remove_all(folder);
    fs::create_directories(folder / "bench.state");
    std::ofstream(folder / "bench.toml") << "[machine]\ntime_scale = 0\n[floppy]\nimage = "
                                            "\"floppy.img\"\n[[adapter]]\nid = \"usb1\"\nclass = "
                                            "\"USB\"\n[[adapter.disk]]\nid = \"stick\"\nsize = "
                                         << kStickBytes
                                         << "\nletters = [\"E:\"]\n[[adapter.disk.partition]]\n"
                                            "type = 0x0E\nstart = 63\n";
    fs::path floppy = folder / "bench.state" / "floppy.img";
    fs::path files = folder / "files";
    fs::create_directories(files);
    std::ofstream(files / "KERNEL.SYS", std::ios::binary) << std::string(kFileBytes / 2, 'k');
    std::ofstream(files / "COMMAND.COM", std::ios::binary) << std::string(kFileBytes / 2, 'c');
    if (!Shell("mkfs.fat -C -F 12 " + Quote(floppy) + " 1440 >/dev/null") ||
        !Shell("mcopy -i " + Quote(floppy) + " " + Quote(files / "KERNEL.SYS") + " " +
               Quote(files / "COMMAND.COM") + " ::")) {
        std::fprintf(stderr, "make_bootable_bench: cannot make the floppy\n");
        return 1;
    }
    std::string error;
    if (!larkin::sim::Restart((folder / "bench.toml").string(), &error)) {
        std::fprintf(stderr, "make_bootable_bench: %s\n", error.c_str());
        return 1;
    }
    HMODULE tessel = LoadLibraryA("Tessel");
    auto getCount = reinterpret_cast<int (*)()>(GetProcAddress(tessel, "GetUSBDevCount"));
    auto create = reinterpret_cast<int (*)(const char*, const char*, int)>(
        GetProcAddress(tessel, "CreateUSBBoot"));
    if (getCount == nullptr || create == nullptr || getCount() != 1) {
        std::fprintf(stderr, "make_bootable_bench: the engine does not see the stick\n");
        return 1;
    }
    larkin::controls::ClearJournal();
    std::fflush(stdout);
    Clock::time_point start = Clock::now();
    int status = create("E:", "A:", 1);
    Clock::duration flow = Clock::now() - start;
    std::uint64_t written = 0;
    for (const auto& entry : larkin::controls::Journal()) written += entry.length;

    // The same by hand on a fresh image file.
    fs::path image = folder / "hand.img";
    fs::path bin = fs::path(argv[0]).parent_path();
    start = Clock::now();
    bool made = Shell("truncate -s " + std::to_string(kStickBytes) + " " + Quote(image)) &&
                Shell("echo '63," + std::to_string(kSectors) + ",e,*' | sfdisk -q " + Quote(image) +
                      " >/dev/null") &&
                Shell("dd if=" + Quote(bin / "bootrec-111.bin") + " of=" + Quote(image) +
                      " bs=446 count=1 conv=notrunc status=none") &&
                Shell("mkfs.fat -F 16 -h 63 -n FREEDOS --offset 63 " + Quote(image) + " " +
                      std::to_string(kSectors / 2) + " >/dev/null") &&
                Shell("dd if=" + Quote(bin / "bootrec-109.bin") + " of=" + Quote(image) +
                      " bs=1 seek=" + std::to_string(kHidden * 512 + 62) +
                      " skip=62 count=448 conv=notrunc status=none") &&
                Shell("mcopy -i " + Quote(image) + "@@" + std::to_string(kHidden * 512) + " " +
                      Quote(files / "KERNEL.SYS") + " " + Quote(files / "COMMAND.COM") + " ::");
    Clock::duration hand = Clock::now() - start;

    // The least the result needs: MBR, boot sector, two FATs, the root
    // directory and the files in 32 KB clusters.
    std::uint64_t clusters = kSectors / 64;
    std::uint64_t fatSectors = (clusters * 2 + 511) / 512;
    std::uint64_t minimum = 512 + 512 + 2 * fatSectors * 512 + 512 * 32 + 2 * 512 * 1024;
    std::printf("CreateUSBBoot (status %d): %.3f s\n", status, Seconds(flow));
    std::printf("sfdisk, mkfs.fat, dd, mcopy%s: %.3f s\n", made ? "" : " (FAILED)", Seconds(hand));
    std::printf("ratio: %.2f (goal: at most 1.1)\n", Seconds(flow) / Seconds(hand));
    // The journal counts an outside tool's session as its whole volume: an
    // upper bound, not what reached the disk (loop_sticks_bench counts that).
    std::printf(
        "bytes the flow may have written (journal: an outside tool's session counts as its "
        "whole volume; loop_sticks_bench counts what reaches a disk): %llu\n",
        static_cast<unsigned long long>(written));
    std::printf("least it must write: %llu\n", static_cast<unsigned long long>(minimum));
    fs::remove_all(folder);
    return status == 0 && made ? 0 : 1;
}
