// CopyUSBBootImage: save the drive's sector 0, then write the FAT12 boot
// partition (MBR, DOS boot sector, raw image) one track into the drive.
//
// Everything that can be checked is checked before the drive is written:
// the saved-table file (a file, not a device; open nowhere else; not the
// image; new, empty or already holding this drive's sector 0, so that a
// second run never replaces the sector 0 a first run saved), the geometry,
// both templates and the image (present, not empty, not larger than the
// partition). The drive's sector 0 is then saved and flushed, with its
// description beside it, and only then is the drive written.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "console/console_io.h"
#include "console/device_dialogue.h"
#include "console/drive_session.h"
#include "console/image_operations.h"
#include "console/saved_table_description.h"
#include "console/sha256.h"
#include "larkin/owned.h"
#include "devices/device_table.h"
#include "exports/message_channel.h"
#include "exports/services.h"
#include "exports/tessel.h"
#include "partition/drive_geometry.h"
#include "partition/partition_entry.h"
#include "templates/boot_patch.h"
#include "templates/boot_record_access.h"
#include "templates/boot_records.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace tessel {
namespace {

namespace tpl = larkin::templates;
using console::Console;
using console::Read;

// Core modules take 16 command bytes; the command itself is the first 12.
constexpr BYTE kModeSensePage5[16] = {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, 0x12, 0, 0};
constexpr int kModePageLength = 255;

constexpr const char* kSeekFailed = "\n ERROR Seeking Dest";
constexpr const char* kWriteFailed = "\n ERROR Writing to Dest";
constexpr const char* kImageFailed = "\n ERROR Image File";

struct TrueGeometry {
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t heads = 0;
};

// MODE SENSE page 5 through Corvid. The module's buffer is cleared first,
// so that a command that transfers nothing leaves zeros to read.
std::optional<TrueGeometry> ProbeTrueGeometry(const CorvidEntries& corvid, int index) {
    std::array<BYTE, kModePageLength> page{};
    corvid.writeDataBuffer(index, "r", 0, kModePageLength, page.data());
    int result = corvid.command(index, kModeSensePage5, -kModePageLength);
    if (result != 0) return std::nullopt;
    corvid.readDataBuffer(index, "r", 0, kModePageLength, page.data());
    auto heads = static_cast<std::int8_t>(page[12]);
    auto sectors = static_cast<std::int8_t>(page[13]);
    int cylinders = static_cast<std::int8_t>(page[16]) * 256 + page[17];
    if (page[8] != 5 || heads <= 0 || sectors <= 0 || cylinders <= 0) return std::nullopt;
    return TrueGeometry{static_cast<std::uint32_t>(sectors), static_cast<std::uint32_t>(heads)};
}

// The sectors-per-track question: 1 to 63, or 0 for the apparent geometry.
// Nothing at the end of the input.
std::optional<std::uint32_t> AskSectorsPerTrack(Console& console) {
    for (;;) {
        console.Line("\n Enter the number of Sectors Per Track (common values are 32, 63) ");
        console.Line(" [If you want to use default values enter 0]");
        console.Write("\n >>");
        std::int64_t u = 0;
        Read read = console.ReadNumber(u);
        if (read == Read::end) {
            console.Line(console::kEndOfInput);
            return std::nullopt;
        }
        if (read != Read::ok || u > 63) {
            console.Line("\n Invalid number: enter 1 to 63, or 0 for the default values");
            continue;
        }
        if (u < 1) {
            console.Line("\n Using Apparent Geomerty");
            return 0;
        }
        return static_cast<std::uint32_t>(u);
    }
}

// A saved-table file that this call created is removed again when the
// operation fails before the drive's sector 0 is in it.
class SavedTableFile {
  public:
    SavedTableFile(std::string name, HANDLE handle, bool created)
        : name_(std::move(name)), handle_(handle), created_(created) {}
    ~SavedTableFile() {
        handle_.reset();
        if (created_ && !kept_) DeleteFileA(name_.c_str());
    }
    SavedTableFile(const SavedTableFile&) = delete;
    SavedTableFile& operator=(const SavedTableFile&) = delete;

    HANDLE get() const { return handle_.get(); }
    const std::string& name() const { return name_; }
    void Keep() { kept_ = true; }

  private:
    std::string name_;
    larkin::Handle handle_;
    bool created_;
    bool kept_ = false;
};

int Fail(Console& console, const std::string& line, bool systemText = false) {
    console.Line(line);
    if (systemText) ReportLastError();
    return ATA_ERROR;
}

// Loads a template; false after its line when the engine cannot.
bool LoadTemplate(Console& console, std::uint16_t id, tpl::SectorBytes& out) {
    switch (tpl::LoadBootRecord(id, out)) {
        case tpl::TemplateLoad::ok:
            return true;
        case tpl::TemplateLoad::no_library:
            console.Line("\n Unable to open Tessel.DLL");
            return false;
        case tpl::TemplateLoad::no_record:
            break;
    }
    console.Line("\n Unable to read Boot Record");
    return false;
}

}  // namespace

int CopyUSBBootImage(const char* saveFileName, const char* driveLetter, const char* imageFileName) {
    Console& console = console::EngineConsole();
    const std::string tooLong =
        " is too long (at most " + std::to_string(kWriterNameLimit) + " characters)";
    if (saveFileName != nullptr && std::string_view(saveFileName).size() > kWriterNameLimit)
        return Fail(console, "\n The file name to save the Partition table" + tooLong);
    if (imageFileName != nullptr && std::string_view(imageFileName).size() > kWriterNameLimit)
        return Fail(console, "\n The Source Image File name" + tooLong);

    std::optional<console::ChosenDrive> drive =
        console::ChooseAndOpenDrive(driveLetter, console::QuestionStyle::writer, console);
    if (!drive) return ATA_ERROR;
    HANDLE device = drive->handle.get();
    const CorvidEntries& corvid = BoundServices().corvid;

    // The saved-table file.
    std::string saveName;
    if (saveFileName != nullptr) {
        saveName = saveFileName;
    } else {
        console.Line(
            "\n Enter the file name to save original Partition table."
            "\n This is needed to restore your drive back to its original capacity");
        console.Write("\n >>");
        switch (console.ReadName(saveName, kWriterNameLimit)) {
            case Read::ok:
                break;
            case Read::tooLong:
                return Fail(console, "\n The file name" + tooLong);
            default:
                return Fail(console, std::string(console::kEndOfInput));
        }
    }
    const bool defaultImage = imageFileName == nullptr;
    const std::string imageName = defaultImage ? kDefaultImageName : imageFileName;
    if (console::NamesDevice(saveName))
        return Fail(console,
                    "\n The file to save the Partition table names a device, not a file: nothing "
                    "was written");
    HANDLE opened = CreateFileA(saveName.c_str(), FILE_ALL_ACCESS, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION)
            return Fail(console,
                        "\n The file to save the Partition table is open elsewhere: nothing was "
                        "written",
                        true);
        return Fail(console, "\n Unable to open File to save MBR", true);
    }
    SavedTableFile saved(saveName, opened, GetLastError() != ERROR_ALREADY_EXISTS);
    if (console::SameFile(saveName, imageName) ||
        console::SameFile(console::DescriptionPath(saveName), imageName))
        return Fail(console,
                    "\n The Source Image File is the file to save the Partition table (or its "
                    "description): nothing was written");

    // The drive's sector 0, as it is before anything changes. A file that
    // already holds something else keeps it: it may be the only copy of
    // another drive's table, or of this drive's before an earlier run.
    std::array<std::uint8_t, kSectorBytes> original{};
    DWORD count = 0;
    if (!SeekTo(device, 0)) return Fail(console, kSeekFailed);
    if (!ReadFile(device, original.data(), kSectorBytes, &count, nullptr))
        return Fail(console, "\n ERROR Reading Dest Device", true);
    if (count != kSectorBytes)
        return Fail(console, "\n ERROR Reading Dest Device: fewer than 512 bytes came");
    bool alreadySaved = false;
    LARGE_INTEGER existing{};
    if (!GetFileSizeEx(saved.get(), &existing))
        return Fail(console, "\n Unable to open File to save MBR", true);
    if (existing.QuadPart != 0) {
        std::array<std::uint8_t, kSectorBytes> held{};
        alreadySaved = existing.QuadPart == kSectorBytes &&
                       ReadFile(saved.get(), held.data(), kSectorBytes, &count, nullptr) &&
                       count == kSectorBytes && held == original;
        if (!alreadySaved) {
            console.Line("\n " + saveName +
                         " already holds something other than this drive's sector 0: it was kept "
                         "as it is, and nothing was written");
            return Fail(console, "\n Give a new file name to save this drive's sector 0");
        }
    }

    // The geometry, true from the drive's mode page or as the system
    // reports it. The reported size is read in both cases: the partition
    // must fit on the drive.
    console.Write("\n Pulling Drive Geometry....");
    std::optional<TrueGeometry> probed = ProbeTrueGeometry(corvid, drive->index);
    if (probed) {
        console.Line("....Done");
    } else {
        console.ErrorLine("\n\n Warning: Unable to pull true drive geometry");
    }
    corvid.unload();
    std::uint32_t entered = 0;
    if (!probed) {
        std::optional<std::uint32_t> answer = AskSectorsPerTrack(console);
        if (!answer) return ATA_ERROR;
        entered = *answer;
    }
    std::optional<console::ReportedGeometry> reported = console::ReportedDriveGeometry(device);
    if (!reported) return Fail(console, "\n Unable to pull drive Geometry information");
    std::uint32_t spt =
        probed ? probed->sectorsPerTrack : (entered > 0 ? entered : reported->sectorsPerTrack);
    std::uint32_t heads = probed ? probed->heads : reported->heads;
    bool geometryKnown = probed.has_value() || entered > 0;
    if ((std::uint64_t{spt} + tpl::kImagePartitionSectors) * kSectorBytes > reported->diskSize)
        return Fail(console, "\n The drive is too small for the boot partition");

    // Both sectors, patched before anything is written.
    tpl::SectorBytes mbr{};
    tpl::SectorBytes boot{};
    if (!LoadTemplate(console, tpl::kMbrTemplateId, mbr)) return ATA_ERROR;
    if (!LoadTemplate(console, tpl::kDosBootSectorId, boot)) return ATA_ERROR;
    tpl::PatchResult patched = tpl::PatchMbrForImage(mbr, spt);
    if (patched == tpl::PatchResult::ok)
        patched = tpl::PatchDosBootSector(
            boot, heads, spt, tpl::DosSectorsPerTrackField(spt, geometryKnown, reported->diskSize));
    if (patched != tpl::PatchResult::ok)
        return Fail(console, std::string("\n Unable to use the drive geometry (") +
                                 tpl::PatchResultText(patched) + ")");

    // The image, which must exist and fit the partition.
    if (defaultImage) console.Line("\n No Source Image File provided, using default file");
    larkin::Handle image(CreateFileA(imageName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!image) return Fail(console, "\n Unable to open Source Image File", true);
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(image.get(), LARGE_INTEGER{}, &end, FILE_END))
        return Fail(console, kImageFailed);
    auto imageSize = static_cast<std::uint64_t>(end.QuadPart);
    if (imageSize == 0) return Fail(console, "\n The Source Image File is empty");
    if (imageSize > kImageBytesLimit)
        return Fail(console, "\n The Source Image File is larger than the boot partition (" +
                                 std::to_string(kImageBytesLimit) + " bytes)");

    // Sector 0 into the saved-table file, flushed, and its description.
    if (!alreadySaved) {
        if (!SeekTo(saved.get(), 0) ||
            !WriteFile(saved.get(), original.data(), kSectorBytes, &count, nullptr))
            return Fail(console, kWriteFailed, true);
        if (count != kSectorBytes) {
            SetLastError(ERROR_WRITE_FAULT);
            return Fail(console, kWriteFailed, true);
        }
        if (!FlushFileBuffers(saved.get())) return Fail(console, kWriteFailed, true);
        saved.Keep();
    }
    console::SavedTableDescription description;
    description.sha256 = console::Sha256Hex(original);
    description.friendlyName = FieldText(drive->row.friendlyName);
    description.mountInfo = FieldText(drive->row.mountInfo);
    description.drivePath = FieldText(drive->row.driveName);
    description.serial = console::ReportedSerial(device);
    description.sizeBytes = reported->diskSize;
    description.savedAt = console::CurrentUtcTime();
    if (!console::WriteDescriptionFile(console::DescriptionPath(saveName), description))
        return Fail(console, "\n Unable to write the description of the saved Partition table",
                    true);

    // The new master boot record and its entry in the drive layout.
    if (!SeekTo(device, 0)) return Fail(console, kSeekFailed);
    if (!WriteAll(device, mbr)) return Fail(console, kWriteFailed, true);
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned,
                         nullptr)) {
        console.Line("\n Unable to Update Dest Device Properties");
        ReportLastError();
    }
    if (!ApplyPartitionEntry(device, spt, tpl::kImagePartitionSectors, true,
                             tpl::kImagePartitionType))
        console.Line("\n Unable to read File System");

    // The boot sector one track in.
    if (!SeekTo(device, std::uint64_t{spt} * kSectorBytes)) return Fail(console, kSeekFailed);
    if (!WriteAll(device, boot)) return Fail(console, kWriteFailed);

    // The image behind it, in chunks; the last one is filled up to a
    // whole sector with zeros, since the drive takes whole sectors only.
    console.Write("\n Copying Boot Files.....");
    std::vector<std::uint8_t> buffer(kImageChunk);
    std::uint64_t source = 0;
    std::uint64_t destination = std::uint64_t{spt} * kSectorBytes + kSectorBytes;
    while (source < imageSize) {
        auto chunk = static_cast<DWORD>(std::min<std::uint64_t>(kImageChunk, imageSize - source));
        if (!SeekTo(image.get(), source)) return Fail(console, kImageFailed);
        if (!ReadFile(image.get(), buffer.data(), chunk, &count, nullptr))
            return Fail(console, kImageFailed);
        if (count != chunk)
            return Fail(console, std::string(kImageFailed) + ": fewer bytes came than it holds");
        DWORD whole = static_cast<DWORD>((chunk + kSectorBytes - 1) / kSectorBytes * kSectorBytes);
        std::fill(buffer.begin() + chunk, buffer.begin() + whole, std::uint8_t{0});
        if (!SeekTo(device, destination)) return Fail(console, "\n ERROR Dest File");
        if (!WriteAll(device, std::span<const std::uint8_t>(buffer.data(), whole)))
            return Fail(console, kWriteFailed);
        source += chunk;
        destination += chunk;
    }
    console.Line("....Done");
    return ATA_OK;
}

}  // namespace tessel
