// simctl: looks after a simulated machine. Creates its images, shows what
// the platform sees (adapters, disks, letters, SCSI identities), plugs and
// unplugs disks, and prints the write journal.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "larkin/owned.h"
#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"

namespace {

constexpr const char* kUsage =
    "usage: simctl [--machine FILE] COMMAND\n"
    "  show            the disks by id, then adapters, disks, volumes and SCSI\n"
    "                  identities as the platform sees them\n"
    "  create          create the machine's images (any command does)\n"
    "  plug ID         plug a disk (or adapter) in\n"
    "  unplug ID       unplug it\n"
    "  journal         the writes made to the machine's disks\n"
    "  journal clear   forget them\n"
    "Options may stand before or after the command:\n"
    "  --machine FILE  the machine (default: the one LARKIN_MACHINE names)\n"
    "  --help          this text\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD code) {
    BYTE buffer[1024];
    DWORD type = 0, size = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, code, &type, buffer, sizeof buffer - 1,
                                           &size))
        return "";
    buffer[size] = 0;
    return reinterpret_cast<const char*>(buffer);
}

std::string InterfacePath(const char* instanceId, const GUID& interfaceClass) {
    HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, instanceId, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return "";
    std::string path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, 0, &data)) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
        std::vector<char> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

std::string Inquiry(HANDLE disk) {
    BYTE data[96] = {};
    struct {
        SCSI_PASS_THROUGH_DIRECT request;
        BYTE sense[32];
    } record{};
    record.request.Length = sizeof record.request;
    record.request.CdbLength = 6;
    record.request.SenseInfoLength = sizeof record.sense;
    record.request.SenseInfoOffset = offsetof(decltype(record), sense);
    record.request.DataIn = SCSI_IOCTL_DATA_IN;
    record.request.DataTransferLength = sizeof data;
    record.request.DataBuffer = data;
    record.request.TimeOutValue = 10;
    const BYTE cdb[6] = {0x12, 0, 0, 0, sizeof data, 0};
    std::memcpy(record.request.Cdb, cdb, sizeof cdb);
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record, &record,
                         sizeof record, &returned, nullptr) ||
        record.request.ScsiStatus != 0)
        return "(no answer)";
    // Each field whole, without its padding. Built by appending: GCC 12 at
    // -O2 and above warns falsely (-Wrestrict) on a chain of operator+.
    std::string text;
    auto field = [&](const char* name, size_t offset, size_t width) {
        std::string value(reinterpret_cast<const char*>(data + offset), width);
        value.erase(value.find_last_not_of(' ') + 1);
        if (!text.empty()) text.append(" ");
        if (name) text.append(name).append(" ");
        text.append("\"").append(value).append("\"");
    };
    field(nullptr, 8, 8);
    field(nullptr, 16, 16);
    field(nullptr, 32, 4);
    field("serial", 36, 20);
    return text;
}

void ShowDisk(const std::string& path) {
    HANDLE disk = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        std::printf("      cannot open (error %u)\n", GetLastError());
        return;
    }
    STORAGE_DEVICE_NUMBER number{};
    DISK_GEOMETRY_EX geometry[4]{};
    DWORD returned = 0;
    if (DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                        &returned, nullptr))
        std::printf("      \\\\.\\PhysicalDrive%u", number.DeviceNumber);
    if (DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry,
                        sizeof geometry, &returned, nullptr))
        std::printf(", %lld bytes, %u heads, %u sectors per track",
                    static_cast<long long>(geometry[0].DiskSize.QuadPart),
                    geometry[0].Geometry.TracksPerCylinder, geometry[0].Geometry.SectorsPerTrack);
    // Pass-through needs a handle opened for reading and writing, which the
    // platform never gives for the system disk.
    HANDLE commands =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (commands == INVALID_HANDLE_VALUE) {
        std::printf("\n      INQUIRY (not sent: the disk cannot be opened for commands)\n");
    } else {
        std::printf("\n      INQUIRY %s\n", Inquiry(commands).c_str());
        CloseHandle(commands);
    }
    CloseHandle(disk);
}

void ShowDevices() {
    struct Class {
        const char* name;
        const GUID* guid;
    } classes[] = {{"ATA", &GUID_DEVCLASS_HDC},
                   {"SCSI adapter", &GUID_DEVCLASS_SCSIADAPTER},
                   {"USB", &GUID_DEVCLASS_USB}};
    std::printf("Adapters and disks:\n");
    for (const auto& cls : classes) {
        HDEVINFO set = SetupDiGetClassDevsA(cls.guid, nullptr, nullptr, DIGCF_PRESENT);
        if (set == INVALID_HANDLE_VALUE) continue;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            char id[MAX_DEVICE_ID_LEN];
            CM_Get_Device_IDA(device.DevInst, id, sizeof id, 0);
            std::printf("  [%s] %s\n      %s\n", cls.name,
                        Property(set, &device, SPDRP_DEVICEDESC).c_str(), id);
            std::string port = InterfacePath(id, GUID_DEVINTERFACE_STORAGEPORT);
            if (!port.empty()) std::printf("      storage port %s\n", port.c_str());
            DEVINST child = 0;
            for (CONFIGRET r = CM_Get_Child(&child, device.DevInst, 0); r == CR_SUCCESS;
                 r = CM_Get_Sibling(&child, child, 0)) {
                char childId[MAX_DEVICE_ID_LEN];
                CM_Get_Device_IDA(child, childId, sizeof childId, 0);
                std::string path = InterfacePath(childId, GUID_DEVINTERFACE_DISK);
                if (path.empty()) continue;
                std::printf("    disk %s\n      %s\n", childId, path.c_str());
                ShowDisk(path);
            }
        }
        SetupDiDestroyDeviceInfoList(set);
    }
}

void ShowVolumes() {
    std::printf("Volumes:\n");
    char name[MAX_PATH];
    larkin::VolumeSearch search(FindFirstVolumeA(name, sizeof name));
    if (!search) return;
    do {
        char paths[1024];
        DWORD returned = 0;
        std::string mounts;
        if (GetVolumePathNamesForVolumeNameA(name, paths, sizeof paths, &returned))
            for (const char* p = paths; *p; p += std::strlen(p) + 1) mounts += std::string(" ") + p;
        std::printf("  %s%s\n", name, mounts.c_str());
    } while (FindNextVolumeA(search.get(), name, sizeof name));
    DWORD drives = GetLogicalDrives();
    std::printf("Drive letters:");
    for (int i = 0; i < 26; ++i)
        if (drives & (1u << i)) {
            char root[4] = {static_cast<char>('A' + i), ':', '\\', 0};
            static const char* types[] = {"unknown", "no root", "removable", "fixed",
                                          "remote",  "cd-rom",  "ram disk"};
            std::printf(" %c: (%s)", 'A' + i, types[GetDriveTypeA(root) % 7]);
        }
    std::printf("\n");
}

// The ids plug and unplug take, unplugged disks included.
void ShowDiskIds() {
    std::printf("Disks (plug and unplug take a disk's id or its adapter's):\n");
    for (const auto& disk : larkin::sim::Disks()) {
        std::string letters;
        for (const auto& letter : disk.letters) letters += " " + letter;
        std::printf("  %-10s adapter %-10s %s%s\n", disk.id.c_str(), disk.adapter.c_str(),
                    disk.present ? "plugged in" : "unplugged", letters.c_str());
    }
}

int Show() {
    std::printf("Machine %s\n", LarkinMachineFile());
    ShowDiskIds();
    ShowDevices();
    ShowVolumes();
    std::printf("SCSI ports:");
    for (int n = 0; n < 100; ++n) {
        char port[16];
        std::snprintf(port, sizeof port, "\\\\.\\scsi%d:", n);
        HANDLE handle =
            CreateFileA(port, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) continue;
        std::printf(" %s", port);
        CloseHandle(handle);
    }
    std::printf("\nASPI host adapters: %u\n", LarkinScsiHostCount());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* machine = nullptr;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--machine") {
            if (i + 1 == argc) return Usage();
            machine = argv[++i];
        } else if (arg.starts_with("--machine=")) {
            machine = argv[i] + std::strlen("--machine=");
        } else if (arg.starts_with("-")) {
            std::fprintf(stderr, "simctl: unknown option %s\n", argv[i]);
            return Usage();
        } else {
            args.emplace_back(arg);
        }
    }
    if (args.empty()) return Usage();
    const std::string& command = args[0];
    bool known = (command == "show" && args.size() == 1) ||
                 (command == "create" && args.size() == 1) ||
                 ((command == "plug" || command == "unplug") && args.size() == 2) ||
                 (command == "journal" && args.size() == 1) ||
                 (command == "journal" && args.size() == 2 && args[1] == "clear");
    if (!known) return Usage();

    char error[1024];
    if (!LarkinStartPlatform(machine, error, sizeof error)) {
        std::fprintf(stderr, "simctl: %s\n", error);
        return 1;
    }
    if (!larkin::sim::Active()) {
        std::fprintf(stderr,
                     "simctl: no simulated machine (name one with --machine or LARKIN_MACHINE)\n");
        return 1;
    }
    if (command == "show") return Show();
    if (command == "create") {
        for (const auto& disk : larkin::sim::Disks())
            std::printf("%-10s %s %llu bytes%s\n", disk.id.c_str(), disk.image.c_str(),
                        static_cast<unsigned long long>(disk.size),
                        disk.present ? "" : " (unplugged)");
        return 0;
    }
    if (command == "plug" || command == "unplug") {
        std::string why;
        if (!larkin::sim::Plug(args[1], command == "plug", &why)) {
            std::fprintf(stderr, "simctl: cannot %s \"%s\": %s\n", command.c_str(), args[1].c_str(),
                         why.c_str());
            return 1;
        }
        return 0;
    }
    if (args.size() == 2) {
        if (larkin::controls::ClearJournal()) return 0;
        std::fprintf(stderr, "simctl: the journal cannot be written\n");
        return 1;
    }
    for (const auto& entry : larkin::controls::Journal())
        std::printf("%6ld %-10s offset %12llu length %9llu  %s%s\n", entry.pid, entry.disk.c_str(),
                    static_cast<unsigned long long>(entry.offset),
                    static_cast<unsigned long long>(entry.length), entry.via.c_str(),
                    entry.completed ? "" : "  (not completed)");
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
