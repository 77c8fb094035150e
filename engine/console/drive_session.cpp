#include "console/drive_session.h"

#include <array>
#include <cstring>

#include "devices/device_table.h"
#include "exports/message_channel.h"
#include "exports/services.h"
#include "win32/files.h"
#include "win32/ioctl.h"

namespace tessel::console {

std::string DriveText(const ListedDevice& row) {
    std::string text(FieldText(row.friendlyName));
    text += " [";
    text += FieldText(row.mountInfo);
    text += "] [~" + std::to_string(row.sizeMb) + " MB]";
    return text;
}

std::optional<ChosenDrive> ChooseAndOpenDrive(const char* driveLetter, QuestionStyle style,
                                              Console& console) {
    const Services& services = BoundServices();
    DeviceList list;
    if (!services.bound) {
        console.ErrorLine("\n No USB Devices Found ");
        return std::nullopt;
    }
    if (!ListDevices(services.corvid, driveLetter, console, list)) return std::nullopt;
    std::optional<int> chosen = ChooseDevice(list, driveLetter, style, console);
    if (!chosen) return std::nullopt;

    ChosenDrive drive;
    drive.index = *chosen;
    drive.row = list.rows[static_cast<std::size_t>(*chosen)];
    drive.handle.reset(CreateFileA(drive.row.driveName.data(),
                                   FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!drive.handle) {
        console.Line("\n Unable to open device " + DriveText(drive.row));
        ReportLastError();
        return std::nullopt;
    }
    return drive;
}

std::optional<ReportedGeometry> ReportedDriveGeometry(HANDLE drive) {
    alignas(8) std::array<std::uint8_t, 120> buffer{};
    DWORD returned = 0;
    if (!DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr))
        return std::nullopt;
    DISK_GEOMETRY_EX geometry{};
    std::memcpy(&geometry, buffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
    return ReportedGeometry{geometry.Geometry.SectorsPerTrack, geometry.Geometry.TracksPerCylinder,
                            static_cast<std::uint64_t>(geometry.DiskSize.QuadPart)};
}

}  // namespace tessel::console
