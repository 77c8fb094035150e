#include "console/drive_session.h"

#include <array>
#include <cstring>
#include <optional>

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

std::string ReportedSerial(HANDLE drive) {
    constexpr DWORD kHeader = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) std::array<char, 1024> buffer{};
    DWORD returned = 0;
    if (!DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                         static_cast<DWORD>(buffer.size() - 1), &returned, nullptr) ||
        returned < kHeader)
        return {};
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    std::memcpy(&descriptor, buffer.data(), kHeader);
    if (descriptor.SerialNumberOffset == 0 || descriptor.SerialNumberOffset >= returned) return {};
    std::string serial(buffer.data() + descriptor.SerialNumberOffset);  // the buffer ends in NUL
    std::size_t first = serial.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return serial.substr(first, serial.find_last_not_of(' ') - first + 1);
}

namespace {

std::optional<std::array<DWORD, 3>> FileIdentity(const std::string& name) {
    larkin::Handle file(CreateFileA(name.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
    return std::array<DWORD, 3>{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

}  // namespace

bool SameFile(const std::string& first, const std::string& second) {
    std::optional<std::array<DWORD, 3>> a = FileIdentity(first);
    return a && a == FileIdentity(second);
}

}  // namespace tessel::console
