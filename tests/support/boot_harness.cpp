#include "boot_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

namespace larkin::test::boot {

// The Bochs BIOS (bochsbios) and the serial graphics adapter ROM
// (qemu-system-data) as Debian installs them.
constexpr const char* kBochsBios = "/usr/share/bochs/BIOS-bochs-latest";
constexpr const char* kSerialAdapterRom = "/usr/share/qemu/sgabios.bin";

std::filesystem::path TestKernelFile() {
    return LARKIN_TEST_KERNEL;
}

std::filesystem::path ProbeFile(std::string_view name) {
    return std::filesystem::path(LARKIN_BOOT_TEST_DIR) / ("probe-" + std::string(name) + ".bin");
}

Bytes ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

SectorBuffer ReadSector(const std::filesystem::path& file, std::uint64_t sector) {
    SectorBuffer bytes{};
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(sector * 512));
    in.read(reinterpret_cast<char*>(bytes.data()), 512);
    EXPECT_TRUE(in.good()) << "cannot read sector " << sector << " of " << file;
    return bytes;
}

void MakeEmptyDisk(const std::filesystem::path& file, std::uint64_t sectors) {
    std::ofstream(file, std::ios::binary | std::ios::trunc);
    std::filesystem::resize_file(file, sectors * 512);
}

CommandRun Run(const std::vector<std::string>& argv) {
    std::string command = "export MTOOLS_SKIP_CHECK=1; exec";
    for (const std::string& arg : argv) command += " " + Quoted(arg);
    return RunCommand(command + " </dev/null");
}

static bool RunOk(const std::vector<std::string>& argv) {
    CommandRun result = Run(argv);
    EXPECT_EQ(result.exitCode, 0) << argv[0] << " failed:\n" << result.output;
    return result.exitCode == 0;
}

std::string MtoolsImage(const std::filesystem::path& image, std::uint64_t first_sector) {
    return image.string() + "@@" + std::to_string(first_sector * 512);
}

bool Format(const std::filesystem::path& image, std::uint64_t first_sector, std::uint64_t sectors,
            const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"mkfs.fat", "--offset=" + std::to_string(first_sector), "-h",
                                     std::to_string(first_sector)};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(image.string());
    argv.push_back(std::to_string(sectors / 2));  // in 1024-byte blocks
    return RunOk(argv);
}

bool CopyIn(const std::filesystem::path& image, std::uint64_t first_sector,
            const std::filesystem::path& file, std::string_view name, std::size_t fragment) {
    const std::string drive = MtoolsImage(image, first_sector), target = "::" + std::string(name);
    // Fillers of 1, 3 and 1 clusters; the middle one deleted leaves a hole
    // the file fills before it goes on behind the last.
    for (int filler = 1; fragment != 0 && filler <= 3; ++filler) {
        std::filesystem::path path = image.parent_path() / ("FILL" + std::to_string(filler));
        WriteAt(path, 0, Bytes(fragment * (filler == 2 ? 3 : 1), 0xF1));
        if (!RunOk({"mcopy", "-o", "-i", drive, path.string(), "::"})) return false;
    }
    if ((fragment != 0 && !RunOk({"mdel", "-i", drive, "::FILL2"})) ||
        !RunOk({"mcopy", "-o", "-i", drive, file.string(), target}))
        return false;
    if (fragment == 0) return true;
    // mshowfat lists the runs of the chain as <first-last> groups.
    const std::string chain = Run({"mshowfat", "-i", drive, target}).output;
    EXPECT_GE(std::count(chain.begin(), chain.end(), '<'), 2) << "not fragmented: " << chain;
    return std::count(chain.begin(), chain.end(), '<') >= 2;
}

std::string FirmwareName(Firmware firmware) {
    return firmware == Firmware::bochs ? "BochsBios" : "SeaBios";
}

std::string MissingForFirmware(Firmware firmware) {
    if (!HaveProgram("qemu-system-i386"))
        return "qemu-system-i386 is not installed (scripts/install-deps)";
    for (const char* file : {kBochsBios, kSerialAdapterRom})
        if (firmware == Firmware::bochs && access(file, R_OK) != 0)
            return std::string(file) + " is missing (bochsbios, qemu-system-data)";
    return {};
}

std::vector<std::string> HardDiskWithGeometry(const std::filesystem::path& image,
                                              std::uint32_t cylinders, std::uint32_t heads,
                                              std::uint32_t sectors) {
    return {"-drive", "if=none,id=chsdisk,format=raw,file=" + image.string(), "-device",
            "ide-hd,drive=chsdisk,cyls=" + std::to_string(cylinders) +
                ",heads=" + std::to_string(heads) + ",secs=" + std::to_string(sectors) +
                ",bios-chs-trans=none"};
}

std::vector<std::string> ChsShimFloppy(const std::filesystem::path& folder) {
    std::filesystem::path floppy = folder / "shim.img";
    MakeEmptyDisk(floppy, 2880);
    WriteAt(floppy, 0, ReadFile(LARKIN_BOOT_TEST_DIR "/chs-shim.bin"));
    return {"-boot", "order=a", "-drive", "file=" + floppy.string() + ",format=raw,if=floppy"};
}

Qemu::Qemu(const std::vector<std::string>& args, Firmware firmware) {
    // QEMU reads keys from serial.in and writes the console to serial.out.
    const std::string serial = (folder_.path() / "serial").string();
    if (mkfifo((serial + ".in").c_str(), 0600) != 0 || mkfifo((serial + ".out").c_str(), 0600) != 0)
        return;
    std::string command = "exec qemu-system-i386 -m 16 -display none -monitor none -no-reboot";
    command += " -nic none -serial pipe:" + Quoted(serial);
    if (firmware == Firmware::seabios) {
        // SeaBIOS mirrors its screen to the serial port this file names.
        std::filesystem::path port = folder_.path() / "sercon-port";
        std::ofstream(port, std::ios::binary) << "\xF8\x03";
        command += " -machine pc,accel=tcg -fw_cfg " +
                   Quoted("name=etc/sercon-port,file=" + port.string());
    } else {
        // The Bochs BIOS stalls on the PCI IDE of the "pc" machine, and takes
        // option ROMs only from where it scans for them.
        command += " -machine isapc,accel=tcg -bios " + std::string(kBochsBios) +
                   " -vga none -device loader,file=" + kSerialAdapterRom +
                   ",addr=0xc8000,force-raw=on";
        skip_boot_menu_ = true;
    }
    for (const std::string& arg : args) command += " " + Quoted(arg);
    // Opened for reading and writing, neither side waits for the other.
    from_qemu_ = open((serial + ".out").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    to_qemu_ = open((serial + ".in").c_str(), O_RDWR | O_CLOEXEC);
    CommandRun run = RunCommand(command + " </dev/null >/dev/null 2>&1 & echo $!");
    pid_ = std::atoi(run.output.c_str());
}

Qemu::~Qemu() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    if (to_qemu_ >= 0) close(to_qemu_);
    if (from_qemu_ >= 0) close(from_qemu_);
}

bool Qemu::WaitFor(std::string_view text, int count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (text.empty() || Count(text) < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || from_qemu_ < 0) return false;
        pollfd ready{from_qemu_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t got = read(from_qemu_, buffer, sizeof buffer);
        if (got > 0) output_.append(buffer, static_cast<std::size_t>(got));
        // Drops the terminal control sequences the firmware sends (ESC c,
        // ESC [ ... x) and carriage returns, over all output: a read may cut one.
        static const std::regex control("\x1b(\\[[^@-~]*[@-~]|[\\s\\S])|\r");
        console_ = std::regex_replace(output_, control, "");
        if (skip_boot_menu_ && console_.find("Press F12 for boot menu.") != std::string::npos) {
            // The Bochs BIOS waits three seconds for F12; any other key ends it.
            skip_boot_menu_ = false;
            SendKey(' ');
        }
    }
    return true;
}

void Qemu::SendKey(char key) {
    EXPECT_EQ(write(to_qemu_, &key, 1), 1);
}

int Count(std::string_view text, std::string_view piece) {
    int count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size()))
        ++count;
    return count;
}

std::optional<std::string> Qemu::Line(std::string_view prefix) const {
    std::size_t at = console_.find(prefix);
    if (at == std::string::npos) return std::nullopt;
    at += prefix.size();
    return console_.substr(at, console_.find('\n', at) - at);
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t byte : bytes)
        text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return text;
}

}  // namespace larkin::test::boot
