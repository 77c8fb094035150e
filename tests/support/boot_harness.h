// Helpers for the boot tests: disk images made with dosfstools and mtools,
// and QEMU machines whose console (the screen, mirrored to the serial port)
// a test reads and types into, under SeaBIOS or the Bochs BIOS.
#ifndef LARKIN_TESTS_SUPPORT_BOOT_HARNESS_H
#define LARKIN_TESTS_SUPPORT_BOOT_HARNESS_H

#include <array>
#include <chrono>
#include <optional>

#include "run_command.h"
#include "test_machine.h"

namespace larkin::test::boot {

using Bytes = std::vector<std::uint8_t>;
using SectorBuffer = std::array<std::uint8_t, 512>;

std::filesystem::path TestKernelFile();
// The test kernel as a partition boot sector: PRIMARY, BACKUP or SECOND.
std::filesystem::path ProbeFile(std::string_view name);

Bytes ReadFile(const std::filesystem::path& file);
SectorBuffer ReadSector(const std::filesystem::path& file, std::uint64_t sector);
void MakeEmptyDisk(const std::filesystem::path& file, std::uint64_t sectors);

// Runs a program with MTOOLS_SKIP_CHECK set for mtools.
CommandRun Run(const std::vector<std::string>& argv);
// "image@@offset" for mtools.
std::string MtoolsImage(const std::filesystem::path& image, std::uint64_t first_sector);
// mkfs.fat of `sectors` (an even count) at `first_sector`, which it counts
// as hidden, with `options`.
bool Format(const std::filesystem::path& image, std::uint64_t first_sector, std::uint64_t sectors,
            const std::vector<std::string>& options);
// With `fragment` (the cluster size), the file's clusters in two separate
// runs (checked).
bool CopyIn(const std::filesystem::path& image, std::uint64_t first_sector,
            const std::filesystem::path& file, std::string_view name, std::size_t fragment = 0);

using larkin::test::HaveProgram;
using larkin::test::Little;

// SeaBIOS mirrors the screen to the serial port itself. The Bochs BIOS finds
// no video BIOS in QEMU; the serial graphics adapter ROM does it there.
enum class Firmware { seabios, bochs };
std::string FirmwareName(Firmware firmware);
inline constexpr Firmware kAllFirmware[] = {Firmware::seabios, Firmware::bochs};
// What is missing to boot under the firmware, or empty when nothing is.
std::string MissingForFirmware(Firmware firmware);

// QEMU arguments for `image` as a hard disk of exactly this BIOS geometry.
std::vector<std::string> HardDiskWithGeometry(const std::filesystem::path& image,
                                              std::uint32_t cylinders, std::uint32_t heads,
                                              std::uint32_t sectors);
// A floppy in `folder` booting the CHS shim (chs_shim.asm), which then starts
// the first hard disk; the QEMU arguments for it.
std::vector<std::string> ChsShimFloppy(const std::filesystem::path& folder);

// How often `piece` occurs in `text`, the occurrences not overlapping.
int Count(std::string_view text, std::string_view piece);

// One QEMU machine, its console on a pair of named pipes; killed when the
// object goes.
class Qemu {
  public:
    explicit Qemu(const std::vector<std::string>& args, Firmware firmware = Firmware::seabios);
    ~Qemu();
    Qemu(const Qemu&) = delete;
    Qemu& operator=(const Qemu&) = delete;

    // Reads the console until `text` has appeared `count` times in all (or,
    // empty, for the whole time); false when the time runs out first.
    bool WaitFor(std::string_view text, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void SendKey(char key);
    // The console text, without escape sequences and carriage returns.
    const std::string& console() const { return console_; }
    int Count(std::string_view text) const { return boot::Count(console_, text); }
    // The first console line that starts with `prefix`, without the prefix.
    std::optional<std::string> Line(std::string_view prefix) const;

  private:
    TempFolder folder_;
    int pid_ = -1;
    int to_qemu_ = -1;
    int from_qemu_ = -1;
    std::string output_, console_;
    bool skip_boot_menu_ = false;
};

// Upper-case hex of bytes, as the test kernel prints them.
std::string Hex(std::span<const std::uint8_t> bytes);

}  // namespace larkin::test::boot

#endif
