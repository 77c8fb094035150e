// CopyUSBMBRImage: write a saved sector 0 back onto a drive.
//
// A saved file must hold 512 bytes. When a description lies beside it, its
// SHA-256 must match, and a drive other than the one the file came from
// (another friendly name, size, device path or serial number: a twin stick
// differs only in the last two) is written only when the user says so.
// Without a description the bytes must at least be a partition table that
// fits the drive, and the user is asked before they are written.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "console/console_io.h"
#include "console/device_dialogue.h"
#include "console/drive_session.h"
#include "console/image_operations.h"
#include "console/saved_table_description.h"
#include "console/sha256.h"
#include "larkin/owned.h"
#include "devices/device_table.h"
#include "exports/message_channel.h"
#include "exports/tessel.h"
#include "partition/drive_geometry.h"
#include "win32/files.h"

namespace tessel {
namespace {

using console::Console;
using console::Read;

int Fail(Console& console, const std::string& line, bool systemText = false) {
    console.Line(line);
    if (systemText) ReportLastError();
    return ATA_ERROR;
}

constexpr std::string_view kRestoreAnyway =
    "\n Restore it onto this drive anyway? (y/n) [q:Quit] : ";

// "friendly [mount] (size bytes), serial S, path P": what tells one drive
// from another.
std::string Identity(std::string_view name, std::string_view mount, const std::string& size,
                     std::string_view serial, std::string_view path) {
    return std::string(name) + " [" + std::string(mount) + "] (" + size + " bytes), serial " +
           (serial.empty() ? std::string("none") : std::string(serial)) + ", path " +
           std::string(path);
}

// The description check; false (after its lines) when the sector must not
// be written.
bool DescriptionAllows(Console& console, const std::string& savedName,
                       std::span<const std::uint8_t> sector, const console::ChosenDrive& drive) {
    std::optional<console::ReportedGeometry> geometry =
        console::ReportedDriveGeometry(drive.handle.get());
    console::SavedTableDescription description;
    switch (console::ReadDescriptionFile(console::DescriptionPath(savedName), description)) {
        case console::DescriptionRead::ok:
            break;
        case console::DescriptionRead::missing: {
            console.Line("\n No description beside the saved file: its bytes cannot be checked");
            if (!geometry) {
                console.Line("\n Unable to pull drive Geometry information: nothing was restored");
                return false;
            }
            if (std::optional<std::string> problem =
                    console::TableProblem(sector, geometry->diskSize)) {
                console.Line("\n The saved file holds no partition table for this drive (" +
                             *problem + "): nothing was restored");
                return false;
            }
            return console::AskYesNo(kRestoreAnyway, console::QuestionStyle::restorer, console);
        }
        case console::DescriptionRead::unreadable:
            console.Line("\n Unable to read the description of the saved Partition table");
            ReportLastError();
            return false;
        case console::DescriptionRead::invalid:
            console.Line(
                "\n The description beside the saved file is damaged: nothing was restored");
            return false;
    }
    if (console::Sha256Hex(sector) != description.sha256) {
        console.Line(
            "\n The saved file does not match its description (SHA-256 differs): nothing was "
            "restored");
        return false;
    }
    // A description written before serial numbers were kept names none.
    std::string serial = console::ReportedSerial(drive.handle.get());
    bool sameDrive = FieldText(drive.row.friendlyName) == description.friendlyName && geometry &&
                     geometry->diskSize == description.sizeBytes &&
                     FieldText(drive.row.driveName) == description.drivePath &&
                     (description.serial.empty() || serial == description.serial);
    if (sameDrive) return true;
    console.Line("\n This file was saved from another drive: " +
                 Identity(description.friendlyName, description.mountInfo,
                          std::to_string(description.sizeBytes), description.serial,
                          description.drivePath));
    console.Line("\n The selected drive is: " +
                 Identity(FieldText(drive.row.friendlyName), FieldText(drive.row.mountInfo),
                          geometry ? std::to_string(geometry->diskSize) : std::string("unknown"),
                          serial, FieldText(drive.row.driveName)));
    return console::AskYesNo(kRestoreAnyway, console::QuestionStyle::restorer, console);
}

}  // namespace

int CopyUSBMBRImage(const char* saveFileName, const char* driveLetter) {
    Console& console = console::EngineConsole();
    const std::string tooLong =
        " is too long (at most " + std::to_string(kRestorerNameLimit) + " characters)";
    if (saveFileName != nullptr && std::string_view(saveFileName).size() > kRestorerNameLimit)
        return Fail(console, "\n The file name of the saved Partition table" + tooLong);

    std::optional<console::ChosenDrive> drive =
        console::ChooseAndOpenDrive(driveLetter, console::QuestionStyle::restorer, console);
    if (!drive) return ATA_ERROR;
    HANDLE device = drive->handle.get();

    std::string savedName;
    if (saveFileName != nullptr) {
        savedName = saveFileName;
    } else {
        console.Line("\n Enter the file name for the saved original Partition table.");
        console.Write("\n >>");
        switch (console.ReadName(savedName, kRestorerNameLimit)) {
            case Read::ok:
                break;
            case Read::tooLong:
                return Fail(console, "\n The file name" + tooLong);
            default:
                return Fail(console, std::string(console::kEndOfInput));
        }
    }
    if (console::NamesDevice(savedName))
        return Fail(console,
                    "\n The saved Partition table file names a device, not a file: nothing was "
                    "restored");
    larkin::Handle saved(CreateFileA(savedName.c_str(), FILE_ALL_ACCESS, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!saved && GetLastError() == ERROR_SHARING_VIOLATION)
        return Fail(console,
                    "\n The saved Partition table file is open elsewhere: nothing was restored",
                    true);
    if (!saved)
        return Fail(console, "\n Unable to open File for the saved original Partition table. ",
                    true);

    if (!SeekTo(device, 0)) return Fail(console, "\n ERROR Seeking Dest");
    std::array<std::uint8_t, kSectorBytes> sector{};
    DWORD count = 0;
    if (!ReadFile(saved.get(), sector.data(), kSectorBytes, &count, nullptr))
        return Fail(console, "\n ERROR Reading Dest Device", true);
    if (count != kSectorBytes)
        return Fail(console,
                    "\n The saved Partition table file holds fewer than 512 bytes: "
                    "nothing was restored");
    if (!DescriptionAllows(console, savedName, sector, *drive)) return ATA_ERROR;
    if (!WriteFile(device, sector.data(), kSectorBytes, &count, nullptr))
        return Fail(console, "\n ERROR Writing Dest Device", true);
    if (count != kSectorBytes) {
        SetLastError(ERROR_WRITE_FAULT);
        return Fail(console, "\n ERROR Writing Dest Device", true);
    }
    return ATA_OK;
}

}  // namespace tessel
