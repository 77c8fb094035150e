#include "devices/enumeration.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "larkin/owned.h"
#include "exports/services.h"
#include "shell/volume_mapping.h"
#include "larkin/ascii_text.h"
#include "win32/files.h"
#include "win32/volumes.h"

namespace tessel {
namespace {

constexpr const char* kUsbFilter = "USB";
// Capacities asked of Corvid; the letters' field is wider than asked.
constexpr int kDriveNameRequest = static_cast<int>(kDriveNameSize);
constexpr int kFriendlyNameRequest = static_cast<int>(kFriendlyNameSize);
constexpr int kMountInfoRequest = 32;
constexpr std::array<DWORD, 5> kLetterPauses = {100, 200, 300, 400, 500};

// Asks Corvid for one text into field; returns the length Corvid reports.
int ReadCorvidField(const CorvidEntries& corvid, int index, const char* key, std::span<char> field,
                    int request) {
    // Bytes past the request end the text even if the service fills it.
    std::fill(field.begin() + request, field.end(), '\0');
    int size = request;
    corvid.getDriveInformation(index, key, field.data(), &size);
    field.back() = '\0';  // whatever the service wrote, the field ends here
    return size;
}

// Reads the three texts of row index; returns the size the "MOUNTINFO"
// request reported.
int ReadCorvidRow(const CorvidEntries& corvid, int index, DeviceEntry& row) {
    ReadCorvidField(corvid, index, "DriveName", row.driveName, kDriveNameRequest);
    ReadCorvidField(corvid, index, "FRIENDLYNAME", row.friendlyName, kFriendlyNameRequest);
    return ReadCorvidField(corvid, index, "MOUNTINFO", row.mountInfo, kMountInfoRequest);
}

std::string_view Text(const char* text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

// A drive without letters gets up to five chances, with growing pauses, for
// the system to mount its volume.
void CompleteDriveLetter(int index, DeviceEntry& row) {
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (OpenDevice(index, &opened) != ATA_OK) return;
    larkin::Handle drive(opened);
    for (DWORD pause : kLetterPauses) {
        Sleep(pause);
        FindVolumeLetter(drive.get(), row.mountInfo);
        if (row.mountInfo[0] != '\0') break;
    }
}

}  // namespace

int ScanWithCorvid(DeviceTable& table) {
    const CorvidEntries& corvid = BoundServices().corvid;
    if (!BoundServices().bound) return table.count = 0;
    table.count = LimitToRows(corvid.deviceCount(0, kUsbFilter));
    for (int i = 0; i < table.count; ++i)
        ReadCorvidRow(corvid, i, table.rows[static_cast<std::size_t>(i)]);
    return table.count;
}

int GetUSBDevCount() {
    const Services& services = BoundServices();
    if (!services.bound) {
        ClearRows(CurrentTable);
        return CurrentTable.count = 0;
    }
    services.corvid.loadCores();
    CurrentTable.count = LimitToRows(services.corvid.deviceCount(0, kUsbFilter));
    ClearRows(CurrentTable);
    for (int i = 0; i < CurrentTable.count; ++i) {
        DeviceEntry& row = CurrentTable.rows[static_cast<std::size_t>(i)];
        int mountSize = ReadCorvidRow(services.corvid, i, row);
        if (row.mountInfo[0] == '\0' || mountSize == 0) CompleteDriveLetter(i, row);
    }
    return CurrentTable.count;
}

int GetUSBDevInfo(int index, char* text) {
    if (text == nullptr || !IsListedRow(CurrentTable, index)) return ATA_ERROR;
    const DeviceEntry& row = CurrentTable.rows[static_cast<std::size_t>(index)];
    std::string_view letters = FieldText(row.mountInfo);
    std::string_view name = FieldText(row.friendlyName);
    // At most 35 + 1 + 127 characters and the NUL: 164 bytes.
    std::memcpy(text, letters.data(), letters.size());
    text[letters.size()] = ' ';
    std::memcpy(text + letters.size() + 1, name.data(), name.size());
    text[letters.size() + 1 + name.size()] = '\0';
    return ATA_OK;
}

char* GetUSBDevInfoW(int index, char* text) {
    if (text == nullptr || !IsListedRow(CurrentTable, index)) return nullptr;
    DeviceEntry& row = CurrentTable.rows[static_cast<std::size_t>(index)];
    std::string_view property = text;
    if (larkin::EqualsNoCase(property, "FRIENDLYNAME")) return row.friendlyName;
    if (larkin::EqualsNoCase(property, "MOUNT_INFO")) {
        // The caller's buffer is known to hold only the name it carried.
        CopyField(std::span<char>(text, property.size() + 1), FieldText(row.mountInfo));
        return row.mountInfo;
    }
    return nullptr;
}

int OpenDevice(int index, HANDLE* handleOut) {
    if (handleOut == nullptr || index < 0 || index >= kTableRows) return ATA_ERROR;
    const DeviceEntry& row = CurrentTable.rows[static_cast<std::size_t>(index)];
    *handleOut = CreateFileA(row.driveName, FILE_ALL_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_WRITE_THROUGH, nullptr);
    return *handleOut == INVALID_HANDLE_VALUE ? ATA_ERROR : ATA_OK;
}

int ScanWithVerran(DeviceTable& table) {
    const Services& services = BoundServices();
    if (!services.bound) return 0;
    const VerranEntries& verran = services.verran;
    verran.initialize(kUsbFilter);
    DWORD adapters = verran.getAdapterCount();
    int total = 0;
    for (DWORD a = 0; a < adapters && total < kTableRows; ++a) {
        DWORD drives = verran.getDriveCount(a);
        for (DWORD d = 0; d < drives && total < kTableRows; ++d, ++total) {
            DeviceEntry& row = table.rows[static_cast<std::size_t>(total)];
            CopyField(row.driveName, Text(verran.getDriveName(a, d)));
            CopyField(row.mountInfo, Text(verran.getDriveInfo(a, d, "MOUNT_INFO")));
            CopyField(row.friendlyName, Text(verran.getDriveInfo(a, d, "FRIENDLYNAME")));
        }
    }
    return total;
}

int EnumUSBDevices() {
    BaselineTable.count = ScanWithVerran(BaselineTable);
    return BaselineTable.count;
}

int EnumUSBDevicesCVD() {
    if (BoundServices().bound) BoundServices().corvid.loadCores();
    return ScanWithCorvid(BaselineTable);
}

bool IsNewDevice(const DeviceEntry& row) {
    for (int j = 0; j < BaselineTable.count && j < kTableRows; ++j) {
        const DeviceEntry& known = BaselineTable.rows[static_cast<std::size_t>(j)];
        if (larkin::EqualsNoCase(FieldText(row.driveName), FieldText(known.driveName)) &&
            larkin::EqualsNoCase(FieldText(row.friendlyName), FieldText(known.friendlyName)) &&
            larkin::EqualsNoCase(FieldText(row.mountInfo), FieldText(known.mountInfo)))
            return false;
    }
    return true;
}

}  // namespace tessel
