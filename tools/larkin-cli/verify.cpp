#include "verify.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "engine_library.h"
#include "larkin/ascii_text.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace larkin::cli {
namespace {

namespace tpl = larkin::templates;
using Sector = std::array<std::uint8_t, 512>;

constexpr std::size_t kEntry0 = 446;
constexpr std::uint8_t kFat16Lba = 0x0E;

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

class DriveReader {
  public:
    explicit DriveReader(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~DriveReader() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    DriveReader(const DriveReader&) = delete;
    DriveReader& operator=(const DriveReader&) = delete;

    bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool Read(std::uint64_t offset, std::uint8_t* out, DWORD bytes) {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD got = 0;
        return SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN) &&
               ReadFile(handle_, out, bytes, &got, nullptr) && got == bytes;
    }
    bool Geometry(DISK_GEOMETRY_EX& geometry) {
        alignas(8) std::array<unsigned char, 120> buffer{};
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &returned, nullptr))
            return false;
        std::memcpy(&geometry, buffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
        return true;
    }

  private:
    HANDLE handle_;
};

struct ProgramRun {
    int exitCode = -1;
    std::string output;
};

ProgramRun RunProgram(const std::string& commandLine) {
    ProgramRun run;
    FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        run.output.append(chunk, got);
    int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string FsckProgram() {
    for (const char* candidate : {"/usr/sbin/fsck.fat", "/sbin/fsck.fat"})
        if (::access(candidate, X_OK) == 0) return candidate;
    return "fsck.fat";
}

// A scratch copy of the partition for the outside tools, removed when done.
class VolumeCopy {
  public:
    VolumeCopy() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "larkin-verify-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = ::mkstemp(name.data());
        if (fd >= 0) {
            ::close(fd);
            path_ = name.data();
        }
    }
    ~VolumeCopy() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    VolumeCopy(const VolumeCopy&) = delete;
    VolumeCopy& operator=(const VolumeCopy&) = delete;

    const std::string& path() const { return path_; }

    bool Fill(DriveReader& reader, std::uint64_t offset, std::uint64_t length) {
        if (path_.empty()) return false;
        FILE* out = std::fopen(path_.c_str(), "wb");
        if (out == nullptr) return false;
        std::vector<std::uint8_t> buffer(1 << 20);
        bool ok = true;
        for (std::uint64_t done = 0; ok && done < length;) {
            auto chunk = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), length - done));
            ok = reader.Read(offset + done, buffer.data(), chunk) &&
                 std::fwrite(buffer.data(), 1, chunk, out) == chunk;
            done += chunk;
        }
        return std::fclose(out) == 0 && ok;
    }

  private:
    std::string path_;
};

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string FirstLines(const std::string& text, int lines) {
    std::string out;
    std::size_t at = 0;
    for (int i = 0; i < lines && at < text.size(); ++i) {
        std::size_t end = text.find('\n', at);
        if (!out.empty()) out += " / ";
        out += text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

// Names the field of a FAT boot sector that holds byte offset.
std::string BootField(std::size_t offset) {
    if (offset < 11) return "jump and OEM name";
    if (offset < 24) return "file-system parameters";
    if (offset < 26) return "sectors per track";
    if (offset < 28) return "number of heads";
    if (offset < 32) return "hidden sectors";
    if (offset < 36) return "total sectors";
    if (offset < 62) return "extended parameters";
    if (offset < 78) return "loader variables";
    return "boot code";
}

}  // namespace

std::vector<Check> VerifyDrive(const Drive& drive) {
    std::vector<Check> checks;
    auto add = [&](std::string name, bool passed, std::string detail) {
        checks.push_back({std::move(name), passed, std::move(detail)});
        return passed;
    };

    DriveReader reader(drive.path);
    DISK_GEOMETRY_EX geometry{};
    Sector mbr{};
    if (!reader.open() || !reader.Geometry(geometry) || !reader.Read(0, mbr.data(), 512)) {
        add("drive readable", false, "the drive cannot be opened or read");
        return checks;
    }
    const std::uint32_t spt = geometry.Geometry.SectorsPerTrack;
    const auto diskSectors = static_cast<std::uint64_t>(geometry.DiskSize.QuadPart) / 512;
    add("drive readable", true,
        GroupedNumber(static_cast<std::uint64_t>(geometry.DiskSize.QuadPart)) + " bytes, " +
            std::to_string(spt) + " sectors per track");

    unsigned char mbrTemplate[512];
    if (!EngineBootRecord(tpl::kMbrTemplateId, mbrTemplate)) {
        add("master boot record code", false, "the engine's template cannot be read");
    } else {
        bool code = std::memcmp(mbr.data(), mbrTemplate, 440) == 0;
        bool signature = mbr[510] == 0x55 && mbr[511] == 0xAA;
        add("master boot record code", code && signature,
            !code        ? "the boot code is not Larkin's"
            : !signature ? "no 55 AA signature"
                         : "");
    }

    const std::uint8_t* entry = mbr.data() + kEntry0;
    const std::uint32_t start = Le32(entry + 8);
    const std::uint32_t length = Le32(entry + 12);
    const std::uint32_t wantedStart = spt;
    const std::uint32_t wantedLength =
        tpl::LimitPartitionSectors(diskSectors > spt ? diskSectors - spt : 0);
    std::string problem;
    if (entry[0] != 0x80)
        problem = "entry 0 is not active";
    else if (entry[4] != kFat16Lba)
        problem = "entry 0 has type " + std::to_string(entry[4]) + ", not 14 (FAT16)";
    else if (start != wantedStart)
        problem = "entry 0 starts at " + std::to_string(start) + ", expected " +
                  std::to_string(wantedStart);
    else if (length != wantedLength)
        problem = "entry 0 has " + std::to_string(length) + " sectors, expected " +
                  std::to_string(wantedLength);
    for (int i = 1; i < 4 && problem.empty(); ++i)
        for (int b = 0; b < 16; ++b)
            if (mbr[kEntry0 + 16 * i + b] != 0) problem = "entry " + std::to_string(i) + " is used";
    bool tableOk =
        add("partition table", problem.empty(),
            problem.empty() ? "one active FAT16 entry at sector " + std::to_string(start) + ", " +
                                  std::to_string(length) + " sectors"
                            : problem);
    if (!tableOk) {
        for (const char* name : {"boot sector", "file system", "boot files"})
            add(name, false, "not checked: the partition table is wrong");
        return checks;
    }

    Sector boot{};
    unsigned char bootTemplate[512];
    if (!reader.Read(std::uint64_t{start} * 512, boot.data(), 512)) {
        add("boot sector", false, "the partition's first sector cannot be read");
    } else if (!EngineBootRecord(tpl::kFreeDosBootSectorId, bootTemplate)) {
        add("boot sector", false, "the engine's template cannot be read");
    } else {
        tpl::SectorBytes expected{};
        std::memcpy(expected.data(), bootTemplate, 512);
        tpl::PatchResult patched = tpl::PatchFreeDosBootSector(expected, boot, start, length);
        if (patched != tpl::PatchResult::ok) {
            add("boot sector", false,
                std::string("its parameters cannot be used: ") + tpl::PatchResultText(patched));
        } else {
            std::size_t differs = 0;
            while (differs < 512 && expected[differs] == boot[differs]) ++differs;
            add("boot sector", differs == 512,
                differs == 512
                    ? "FreeDOS boot sector, parameters match the partition"
                    : "differs from what the engine writes in its " + BootField(differs) +
                          " (byte " + std::to_string(differs) + ")");
        }
    }

    VolumeCopy copy;
    if (!copy.Fill(reader, std::uint64_t{start} * 512, std::uint64_t{length} * 512)) {
        add("file system", false, "the partition cannot be read");
        add("boot files", false, "not checked: the partition cannot be read");
        return checks;
    }
    ProgramRun fsck = RunProgram(FsckProgram() + " -n " + Quoted(copy.path()));
    add("file system", fsck.exitCode == 0,
        fsck.exitCode == 0 ? "fsck.fat -n finds nothing wrong"
                           : "fsck.fat -n: " + FirstLines(fsck.output, 3));
    ProgramRun listing = RunProgram("MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null mdir -b -i " +
                                    Quoted(copy.path()) + " ::/");
    bool kernel =
        listing.exitCode == 0 && Upper(listing.output).find("::/KERNEL.SYS") != std::string::npos;
    add("boot files", kernel,
        kernel ? "KERNEL.SYS in the root directory" : "no KERNEL.SYS in the root directory");
    return checks;
}

}  // namespace larkin::cli
