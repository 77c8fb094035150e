#include "boot_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace larkin::test::boot {
namespace {

// A file descriptor closed when it goes.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

bool MakePipe(Pipe& pipe) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    pipe.read = Fd(fds[0]);
    pipe.write = Fd(fds[1]);
    return true;
}

// The Bochs BIOS (bochsbios) and the serial graphics adapter ROM
// (qemu-system-data) as Debian installs them.
constexpr const char* kBochsBios = "/usr/share/bochs/BIOS-bochs-latest";
constexpr const char* kSerialAdapterRom = "/usr/share/qemu/sgabios.bin";

std::vector<char*> ArgvOf(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

std::filesystem::path TestKernelFile() {
    return LARKIN_TEST_KERNEL;
}

std::filesystem::path ProbeFile(std::string_view name) {
    return std::filesystem::path(LARKIN_BOOT_TEST_DIR) / ("probe-" + std::string(name) + ".bin");
}

std::filesystem::path BinDir() {
    return LARKIN_BIN_DIR_PATH;
}

Bytes ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void WriteAt(const std::filesystem::path& file, std::uint64_t offset,
             std::span<const std::uint8_t> bytes) {
    std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(offset));
    io.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(io.good()) << "cannot write " << file;
}

SectorBuffer ReadSector(const std::filesystem::path& file, std::uint64_t sector) {
    SectorBuffer sector_bytes{};
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(sector * 512));
    in.read(reinterpret_cast<char*>(sector_bytes.data()), 512);
    EXPECT_TRUE(in.good()) << "cannot read sector " << sector << " of " << file;
    return sector_bytes;
}

void MakeEmptyDisk(const std::filesystem::path& file, std::uint64_t sectors) {
    { std::ofstream create(file, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(file, sectors * 512);
}

CommandResult Run(const std::vector<std::string>& args) {
    CommandResult result;
    Pipe output;
    if (!MakePipe(output)) return result;
    // Everything the child needs is made before the fork: the test programs
    // have other threads, and the child may only make async-signal-safe calls.
    std::vector<std::string> environment = {"MTOOLS_SKIP_CHECK=1"};
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string_view(*entry).substr(0, 18) != "MTOOLS_SKIP_CHECK=")
            environment.emplace_back(*entry);
    std::vector<char*> argv = ArgvOf(args);
    std::vector<char*> envp = ArgvOf(environment);
    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        dup2(output.write.get(), STDOUT_FILENO);
        dup2(output.write.get(), STDERR_FILENO);
        int null_in = open("/dev/null", O_RDONLY);
        if (null_in >= 0) dup2(null_in, STDIN_FILENO);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    output.write.reset();
    char buffer[4096];
    for (;;) {
        ssize_t got = read(output.read.get(), buffer, sizeof buffer);
        if (got > 0) {
            result.output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool RunOk(const std::vector<std::string>& argv) {
    CommandResult result = Run(argv);
    EXPECT_EQ(result.exit_code, 0) << argv[0] << " failed:\n" << result.output;
    return result.exit_code == 0;
}

std::string MtoolsImage(const std::filesystem::path& image, std::uint64_t first_sector) {
    return image.string() + "@@" + std::to_string(first_sector * 512);
}

bool Format(const std::filesystem::path& image, std::uint64_t first_sector, std::uint64_t sectors,
            const std::vector<std::string>& options) {
    EXPECT_EQ(sectors % 2, 0u) << "mkfs.fat counts in 1024-byte blocks";
    std::vector<std::string> argv = {"mkfs.fat", "--offset=" + std::to_string(first_sector)};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(image.string());
    argv.push_back(std::to_string(sectors / 2));
    return RunOk(argv);
}

bool CopyIn(const std::filesystem::path& image, std::uint64_t first_sector,
            const std::filesystem::path& file, std::string_view name) {
    return RunOk({"mcopy", "-o", "-i", MtoolsImage(image, first_sector), file.string(),
                  "::" + std::string(name)});
}

bool CopyInFragmented(const std::filesystem::path& image, std::uint64_t first_sector,
                      const std::filesystem::path& file, std::string_view name,
                      std::size_t cluster_bytes) {
    const std::filesystem::path folder = file.parent_path();
    const struct {
        const char* name;
        std::size_t clusters;
    } fillers[] = {{"FILL1.BIN", 1}, {"FILL2.BIN", 3}, {"FILL3.BIN", 1}};
    for (const auto& filler : fillers) {
        std::filesystem::path path = folder / filler.name;
        WriteFile(path, Bytes(filler.clusters * cluster_bytes, 0xF1));
        if (!CopyIn(image, first_sector, path, filler.name)) return false;
    }
    if (!RunOk({"mdel", "-i", MtoolsImage(image, first_sector), "::FILL2.BIN"})) return false;
    if (!CopyIn(image, first_sector, file, name)) return false;
    // mshowfat lists the runs of the chain as <first-last> groups.
    CommandResult chain =
        Run({"mshowfat", "-i", MtoolsImage(image, first_sector), "::" + std::string(name)});
    std::size_t runs = 0;
    for (char c : chain.output) runs += c == '<';
    EXPECT_GE(runs, 2u) << "not fragmented: " << chain.output;
    return runs >= 2;
}

std::pair<std::uint16_t, std::uint16_t> KernelSums(std::span<const std::uint8_t> image) {
    std::uint16_t sum1 = 0;
    std::uint16_t sum2 = 0;
    for (std::uint8_t byte : image) {
        sum1 = static_cast<std::uint16_t>(sum1 + byte);
        sum2 = static_cast<std::uint16_t>(sum2 + sum1);
    }
    return {sum1, sum2};
}

bool HaveProgram(std::string_view name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::string FirmwareName(Firmware firmware) {
    return firmware == Firmware::bochs ? "BochsBios" : "SeaBios";
}

std::string MissingForFirmware(Firmware firmware) {
    if (!HaveProgram("qemu-system-i386"))
        return "qemu-system-i386 is not installed (scripts/install-deps)";
    if (firmware == Firmware::bochs) {
        if (access(kBochsBios, R_OK) != 0)
            return std::string(kBochsBios) + " is missing (bochsbios, scripts/install-deps)";
        if (access(kSerialAdapterRom, R_OK) != 0)
            return std::string(kSerialAdapterRom) +
                   " is missing (qemu-system-data, scripts/install-deps)";
    }
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

std::vector<std::string> ChsShimFloppy(const std::filesystem::path& folder, bool everyone) {
    std::filesystem::path floppy = folder / (everyone ? "shim-everyone.img" : "shim.img");
    MakeEmptyDisk(floppy, 2880);
    Bytes shim = ReadFile(std::filesystem::path(LARKIN_BOOT_TEST_DIR) /
                          (everyone ? "chs-shim-everyone.bin" : "chs-shim-segment.bin"));
    EXPECT_EQ(shim.size(), 512u) << "the CHS shim is not built";
    WriteAt(floppy, 0, shim);
    return {"-boot", "order=a", "-drive", "file=" + floppy.string() + ",format=raw,if=floppy"};
}

Qemu::Qemu(const std::vector<std::string>& args, Firmware firmware) {
    std::vector<std::string> command = {
        "qemu-system-i386", "-m",   "16",   "-display", "none", "-monitor", "none",
        "-no-reboot",       "-nic", "none", "-serial",  "stdio"};
    if (firmware == Firmware::seabios) {
        // SeaBIOS mirrors its screen to the serial port named by this file
        // (0x3F8) and takes keys from it.
        char pattern[] = "/tmp/larkin-sercon-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) return;
        Fd sercon(fd);
        sercon_file_ = pattern;
        const unsigned char port[] = {0xF8, 0x03};
        if (write(sercon.get(), port, sizeof port) != sizeof port) return;
        command.insert(command.end(), {"-machine", "pc,accel=tcg", "-fw_cfg",
                                       "name=etc/sercon-port,file=" + sercon_file_.string()});
    } else {
        // The Bochs BIOS stalls on the PCI IDE of QEMU's "pc" machine; the
        // ISA one boots. The adapter ROM goes where the BIOS scans for
        // option ROMs, since this BIOS does not take them from QEMU.
        command.insert(
            command.end(),
            {"-machine", "isapc,accel=tcg", "-bios", kBochsBios, "-vga", "none", "-device",
             "loader,file=" + std::string(kSerialAdapterRom) + ",addr=0xc8000,force-raw=on"});
        skip_boot_menu_ = true;
    }
    command.insert(command.end(), args.begin(), args.end());

    Pipe input;
    Pipe output;
    if (!MakePipe(input) || !MakePipe(output)) return;
    std::vector<char*> argv = ArgvOf(command);  // before the fork, as in Run
    pid_t pid = fork();
    if (pid < 0) return;
    if (pid == 0) {
        dup2(input.read.get(), STDIN_FILENO);
        dup2(output.write.get(), STDOUT_FILENO);
        int null_out = open("/dev/null", O_WRONLY);
        if (null_out >= 0) dup2(null_out, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    pid_ = pid;
    to_qemu_ = input.write.release();
    from_qemu_ = output.read.release();
}

Qemu::~Qemu() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (to_qemu_ >= 0) close(to_qemu_);
    if (from_qemu_ >= 0) close(from_qemu_);
    if (!sercon_file_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(sercon_file_, ignored);
    }
}

bool Qemu::ReadSome(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || from_qemu_ < 0) return false;
    pollfd wait_for{from_qemu_, POLLIN, 0};
    int ready = poll(&wait_for, 1, static_cast<int>(left.count()));
    if (ready <= 0) return ready < 0 && errno == EINTR;
    char buffer[4096];
    ssize_t got = read(from_qemu_, buffer, sizeof buffer);
    if (got <= 0) {
        // QEMU has ended: nothing more will come.
        close(from_qemu_);
        from_qemu_ = -1;
        return false;
    }
    Append(std::string_view(buffer, static_cast<std::size_t>(got)));
    if (skip_boot_menu_ && console_.find("Press F12 for boot menu.") != std::string::npos) {
        // The Bochs BIOS waits three seconds for F12; any other key ends the
        // wait and is taken there.
        skip_boot_menu_ = false;
        SendKey(' ');
    }
    return true;
}

void Qemu::Append(std::string_view raw) {
    // Drops the terminal control sequences the firmware sends (ESC c, ESC [ ... x)
    // and carriage returns, keeping the text.
    for (char c : raw) {
        switch (escape_state_) {
            case 0:
                if (c == '\x1b') {
                    escape_state_ = 1;
                } else if (c != '\r') {
                    console_ += c;
                }
                break;
            case 1:
                escape_state_ = c == '[' ? 2 : 0;
                break;
            default:
                if ((c >= '@' && c <= '~')) escape_state_ = 0;
                break;
        }
    }
}

bool Qemu::WaitFor(std::string_view text, int count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Count(text) < count) {
        if (!ReadSome(deadline) && (from_qemu_ < 0 || std::chrono::steady_clock::now() >= deadline))
            return Count(text) >= count;
    }
    return true;
}

void Qemu::Collect(std::chrono::milliseconds period) {
    const auto deadline = std::chrono::steady_clock::now() + period;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!ReadSome(deadline) && from_qemu_ < 0) break;
    }
}

void Qemu::SendKey(char key) {
    if (to_qemu_ < 0) return;
    EXPECT_EQ(write(to_qemu_, &key, 1), 1);
}

int Qemu::Count(std::string_view text) const {
    int count = 0;
    for (std::size_t at = console_.find(text); at != std::string::npos;
         at = console_.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

std::optional<std::string> Qemu::Line(std::string_view prefix) const {
    std::size_t at = console_.find(prefix);
    if (at == std::string::npos) return std::nullopt;
    at += prefix.size();
    return console_.substr(at, console_.find('\n', at) - at);
}

std::optional<std::string> Field(std::string_view line, std::string_view name) {
    std::string key = " " + std::string(name) + "=";
    std::string padded = " " + std::string(line);
    std::size_t at = padded.find(key);
    if (at == std::string::npos) return std::nullopt;
    at += key.size();
    std::size_t end = padded.find_first_of(" \n", at);
    return padded.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

}  // namespace larkin::test::boot
