// Helpers for the boot tests: disk images made with dosfstools and mtools,
// and QEMU runs whose console (the screen, mirrored to the serial port) the
// test reads and types into, under SeaBIOS or the Bochs BIOS.
#ifndef LARKIN_TESTS_BOOTCODE_BOOT_HARNESS_H
#define LARKIN_TESTS_BOOTCODE_BOOT_HARNESS_H

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace larkin::test::boot {

using Bytes = std::vector<std::uint8_t>;
using SectorBuffer = std::array<std::uint8_t, 512>;

// Files built for the tests (paths come from the build).
std::filesystem::path TestKernelFile();
std::filesystem::path ProbeFile(std::string_view name);  // PRIMARY, BACKUP or SECOND
std::filesystem::path BinDir();

Bytes ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes);
// Writes `bytes` into an existing file at `offset`, growing it if needed.
void WriteAt(const std::filesystem::path& file, std::uint64_t offset,
             std::span<const std::uint8_t> bytes);
SectorBuffer ReadSector(const std::filesystem::path& file, std::uint64_t sector);
// A sparse file of `sectors` zero sectors.
void MakeEmptyDisk(const std::filesystem::path& file, std::uint64_t sectors);

struct CommandResult {
    int exit_code = -1;
    std::string output;  // stdout and stderr together
};
// Runs a program found on PATH, with MTOOLS_SKIP_CHECK set for mtools.
CommandResult Run(const std::vector<std::string>& argv);
// Runs it and fails the current test (returning false) on a non-zero exit.
bool RunOk(const std::vector<std::string>& argv);

// "image@@offset" for mtools, with the offset in bytes.
std::string MtoolsImage(const std::filesystem::path& image, std::uint64_t first_sector);

// Makes a FAT file system of `sectors` sectors (an even count) at
// `first_sector` of `image` with mkfs.fat, with the given extra options.
bool Format(const std::filesystem::path& image, std::uint64_t first_sector, std::uint64_t sectors,
            const std::vector<std::string>& options);
// Copies `file` into the root directory of the file system at
// `first_sector` as `name`.
bool CopyIn(const std::filesystem::path& image, std::uint64_t first_sector,
            const std::filesystem::path& file, std::string_view name);
// The same, but so that the file's clusters come in two separate runs:
// smaller files take the first clusters, the middle one is deleted, and the
// file fills that hole and goes on behind the last. Checked with mshowfat.
bool CopyInFragmented(const std::filesystem::path& image, std::uint64_t first_sector,
                      const std::filesystem::path& file, std::string_view name,
                      std::size_t cluster_bytes);

// The Fletcher-style pair the test kernel prints over itself.
std::pair<std::uint16_t, std::uint16_t> KernelSums(std::span<const std::uint8_t> image);

bool HaveProgram(std::string_view name);

// The BIOS a machine starts with. SeaBIOS mirrors the screen to the serial
// port itself. The Bochs BIOS finds no video BIOS in QEMU; the serial
// graphics adapter ROM takes its place and does the same.
enum class Firmware { seabios, bochs };
std::string FirmwareName(Firmware firmware);  // for test names
inline constexpr Firmware kAllFirmware[] = {Firmware::seabios, Firmware::bochs};
// What is missing to boot under the firmware (QEMU, the BIOS or the ROM, and
// the package that brings it), or empty when nothing is.
std::string MissingForFirmware(Firmware firmware);

// QEMU arguments for `image` as a hard disk whose BIOS geometry is exactly
// this one, without translation (heads at most 16, as ATA drives report).
std::vector<std::string> HardDiskWithGeometry(const std::filesystem::path& image,
                                              std::uint32_t cylinders, std::uint32_t heads,
                                              std::uint32_t sectors);

// Writes a floppy image into `folder` whose boot sector is the CHS shim
// (chs_shim.asm: INT 13h extensions of drive 80h hidden from every caller
// outside segment 0, or from every caller when `everyone`), and returns the
// QEMU arguments that start the machine from it. The shim then starts the
// first hard disk's MBR.
std::vector<std::string> ChsShimFloppy(const std::filesystem::path& folder, bool everyone = false);

// One QEMU machine, killed and reaped when the object goes.
class Qemu {
  public:
    // args: the disks and devices; the console, firmware and speed options
    // are added here.
    explicit Qemu(const std::vector<std::string>& args, Firmware firmware = Firmware::seabios);
    ~Qemu();
    Qemu(const Qemu&) = delete;
    Qemu& operator=(const Qemu&) = delete;

    bool started() const { return pid_ > 0; }
    // Reads the console until `text` has appeared `count` times in all, or
    // the time runs out (also when QEMU ends); true when it appeared.
    bool WaitFor(std::string_view text, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Reads whatever the machine prints during `period`.
    void Collect(std::chrono::milliseconds period);
    // Types one key on the serial console (fed to the keyboard services).
    void SendKey(char key);
    // The console text so far, without escape sequences and carriage returns.
    const std::string& console() const { return console_; }
    int Count(std::string_view text) const;
    // The first console line that starts with `prefix`, without the prefix.
    std::optional<std::string> Line(std::string_view prefix) const;

  private:
    bool ReadSome(std::chrono::steady_clock::time_point deadline);
    void Append(std::string_view raw);

    pid_t pid_ = -1;
    int to_qemu_ = -1;
    int from_qemu_ = -1;
    std::filesystem::path sercon_file_;
    std::string console_;
    int escape_state_ = 0;
    bool skip_boot_menu_ = false;
};

// The value after the first " NAME=" in `text` (or at its start), up to the
// next blank or line end: "BX" in "... AX=0E00 BX=0080 ..." gives "0080".
std::optional<std::string> Field(std::string_view text, std::string_view name);

// Hex text of bytes, upper case, no separators (as the test kernel prints).
std::string Hex(std::span<const std::uint8_t> bytes);

}  // namespace larkin::test::boot

#endif
