// The device tree, control codes, partitions and volumes of the simulated
// machine where a caller errs or the machine file sets them, beyond what
// every backend keeps. (The walks, the two-call sizing and removal are the
// Verran suite's.)

#include <array>
#include <tuple>

#include "loop_device.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace larkin::test {
namespace {

std::vector<std::string> DeviceIds(const GUID& cls, const char* enumerator) {
    std::vector<std::string> ids;
    HDEVINFO set = SetupDiGetClassDevsA(&cls, enumerator, nullptr, DIGCF_PRESENT);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char id[MAX_DEVICE_ID_LEN];
        EXPECT_EQ(CM_Get_Device_IDA(device.DevInst, id, sizeof id, 0), CR_SUCCESS);
        ids.push_back(id);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
    return ids;
}

// The detail's header must have the size of this build's structure. (The
// two calls, and opening the path in any letter case, are the conformance
// suite's; a hub's want of a storage port the Verran suite's.)
TEST(DeviceSets, InterfaceDetailNeedsThisBuildsHeaderAndNamesTheStick) {
    TestMachine machine(MachineText("platform-two-sticks"));
    auto disks = DeviceIds(GUID_DEVCLASS_DISKDRIVE, "USBSTOR");
    ASSERT_EQ(disks.size(), 2u);  // the enumerator leaves the SATA disk out
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, disks[0].c_str(), nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &data));
    std::vector<char> buffer(1024);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = 5;  // the 32-bit header size is wrong here
    LARKIN_EXPECT_FAILS(
        SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 1024, nullptr, nullptr),
        ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 1024, nullptr, nullptr));
    EXPECT_STREQ(detail->DevicePath,
                 "\\\\?\\usbstor#disk&ven_sandisk&prod_cruzer&rev_1.00#aa11bb22cc33&0#"
                 "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    LARKIN_EXPECT_FAILS(
        SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 1, &data),
        ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceTree, MissingValuesUnknownPropertiesShortBuffersAndUnknownNodes) {
    TestMachine machine(MachineText("platform-registry-overrides"));
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
    DWORD type = 0, needed = 0;
    BYTE buffer[256];
    for (auto [property, error] :
         {std::pair<DWORD, DWORD>{SPDRP_MFG, ERROR_INVALID_DATA}, {35, ERROR_INVALID_REG_PROPERTY}})
        LARKIN_EXPECT_FAILS(SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, buffer,
                                                              sizeof buffer, &needed),
                            error);
    SetupDiDestroyDeviceInfoList(set);

    // The tree from its root: short buffers and unknown nodes.
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    char id[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_IDA(root, id, sizeof id, 0), CR_SUCCESS);
    EXPECT_STREQ(id, "HTREE\\ROOT\\0");
    DEVINST adapter = 0, first = 0, none = 0;
    ASSERT_EQ(CM_Get_Child(&adapter, root, 0), CR_SUCCESS);
    ASSERT_EQ(CM_Get_Child(&first, adapter, 0), CR_SUCCESS);
    EXPECT_EQ(CM_Get_Child(&none, first, 0), CR_NO_SUCH_DEVNODE);
    char tiny[4];
    EXPECT_EQ(CM_Get_Device_IDA(first, tiny, sizeof tiny, 0), CR_BUFFER_SMALL);
    EXPECT_EQ(CM_Get_Child(&none, 0, 0), CR_INVALID_DEVNODE);
}

// A request's outcome, its last error.
DWORD Ask(const Handle& handle, DWORD code, void* out, DWORD outSize) {
    return Control(handle.Get(), code, nullptr, 0, out, outSize) ? ERROR_SUCCESS : GetLastError();
}

// A command that moves data in: the request's outcome and the target's
// status; its sense stays in the record.
PassThrough record;
std::pair<DWORD, UCHAR> Scsi(const Handle& handle, std::vector<BYTE> cdb, std::vector<BYTE>& data) {
    if (!SendCommand(handle.Get(), std::move(cdb), SCSI_IOCTL_DATA_IN, data, record))
        return {GetLastError(), 0xFF};
    return {ERROR_SUCCESS, record.request.ScsiStatus};
}
const std::pair<DWORD, UCHAR> kGood{ERROR_SUCCESS, SCSISTAT_GOOD};

// What the machine file says of a disk, beyond what every backend shows
// (the conformance suite): its geometry and its device texts, through
// control codes and SCSI commands; what is handed to a program. A
// command the stick does not answer is CHECK CONDITION. (REQUEST SENSE
// repeating it once is the Pellom suite's.)
TEST(Identity, TheMachineFilesGeometryAndDeviceTextsToCallsCommandsAndPrograms) {
    TestMachine machine(MachineText("platform-two-sticks"));
    Handle disk = Open("\\\\.\\PhysicalDrive1");
    std::array<BYTE, 120> buffer{};
    ASSERT_EQ(Ask(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buffer.data(), 120), ERROR_SUCCESS);
    const auto& geometry = reinterpret_cast<DISK_GEOMETRY_EX*>(buffer.data())->Geometry;
    EXPECT_EQ(std::pair(geometry.SectorsPerTrack, geometry.TracksPerCylinder), std::pair(32u, 64u));
    EXPECT_EQ(Ask(disk, 0x00123456, buffer.data(), 120), ERROR_INVALID_FUNCTION);
    STORAGE_DEVICE_NUMBER number{};
    ASSERT_EQ(Ask(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number), ERROR_SUCCESS);
    EXPECT_EQ(std::pair(number.DeviceType, number.PartitionNumber),
              std::pair(DWORD{FILE_DEVICE_DISK}, 0u));
    EXPECT_EQ(Ask(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, 8), ERROR_INSUFFICIENT_BUFFER);

    // The serial tells twin sticks apart.
    STORAGE_PROPERTY_QUERY query{StorageDeviceProperty, PropertyStandardQuery, {0}};
    alignas(8) std::array<BYTE, 256> descriptor{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(disk.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                descriptor.data(), 256, &returned, nullptr));
    const auto* device = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(descriptor.data());
    ASSERT_EQ(returned, device->Size);
    const char* texts = reinterpret_cast<const char*>(descriptor.data());
    EXPECT_EQ(std::tuple(std::string(texts + device->VendorIdOffset),
                         std::string(texts + device->SerialNumberOffset), device->BusType),
              std::tuple("SanDisk", "AA11BB22CC33", BusTypeUsb));
    EXPECT_TRUE(DeviceIoControl(disk.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                descriptor.data(), 8, &returned, nullptr));
    EXPECT_EQ(returned, 8u) << "a header-sized buffer learns the size";

    std::vector<BYTE> data(255);
    ASSERT_EQ(Scsi(disk, {0x12, 0, 0, 0, 0xFF, 0}, data), kGood);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&data[8]), 36),
              "SanDisk Cruzer          1.00AA11BB22");

    std::fill(data.begin(), data.end(), 0);
    ASSERT_EQ(Scsi(disk, {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, 0}, data), kGood);
    // The page, its heads and sectors per track, and the cylinders of 16 MiB.
    EXPECT_EQ(std::tuple(data[8], data[12], data[13], (data[16] << 8) | data[17]),
              std::tuple(0x05, 64, 32, 16 * 1024 * 1024 / 512 / (64 * 32)));

    disk = Open("\\\\.\\PhysicalDrive2");  // does not answer mode page 5
    ASSERT_EQ(Scsi(disk, {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, 0}, data),
              std::pair(DWORD{ERROR_SUCCESS}, UCHAR{SCSISTAT_CHECK_CONDITION}));
    EXPECT_EQ(std::tuple(record.sense[0], record.sense[2], record.sense[12]),
              std::tuple(0x70, 0x05, 0x24));

    // Only a volume is handed to a program; the system's to read.
    LARKIN_EXPECT_FAILS(ToolGets("Q:"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(ToolGets("\\\\.\\PhysicalDrive1"));
    LARKIN_EXPECT_FAILS(ToolGets(nullptr), ERROR_INVALID_PARAMETER);
    LARKIN_TOOL_VOLUME where{};
    EXPECT_TRUE(Handle(LarkinOpenVolumeForTool("C:\\", "mdir", FALSE, &where)).Valid());
}

std::vector<std::string> VolumeNames() {
    std::vector<std::string> names;
    char name[MAX_PATH];
    HANDLE search = FindFirstVolumeA(name, sizeof name);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(name);
    while (FindNextVolumeA(search, name, sizeof name));
    FindVolumeClose(search);
    return names;
}

TEST(Volumes, LettersFoldersDriveTypesAndTheFloppy) {
    TestMachine machine(MachineText("platform-folders-and-empty-slot"));
    EXPECT_EQ(GetLogicalDrives(),
              1u << 0 | 1u << ('G' - 'A') | 1u << ('H' - 'A') | 1u << ('K' - 'A'));

    char paths[64];
    DWORD returned = 0;
    std::string stick;
    for (const auto& name : VolumeNames())
        if (GetVolumePathNamesForVolumeNameA(name.c_str(), paths, sizeof paths, &returned) &&
            std::string(paths) == "G:\\")
            stick = name;
    ASSERT_FALSE(stick.empty());
    ASSERT_TRUE(GetVolumePathNamesForVolumeNameA(stick.c_str(), paths, sizeof paths, &returned));
    EXPECT_EQ(std::string(paths, returned), std::string("G:\\\0C:\\Mount\\Stick\\\0\0", 21));
    LARKIN_EXPECT_FAILS(GetVolumePathNamesForVolumeNameA(stick.c_str(), paths, 5, &returned),
                        ERROR_MORE_DATA);
    EXPECT_EQ(returned, 21u);
    std::string noSlash = stick.substr(0, stick.size() - 1);
    LARKIN_EXPECT_FAILS(
        GetVolumePathNamesForVolumeNameA(noSlash.c_str(), paths, sizeof paths, &returned),
        ERROR_INVALID_NAME);

    EXPECT_EQ(std::tuple(GetDriveTypeA("A:\\"), GetDriveTypeA("\\\\.\\G:\\"),
                         GetDriveTypeA(stick.c_str()), GetDriveTypeA("Q:\\")),
              std::tuple(DRIVE_REMOVABLE, DRIVE_REMOVABLE, DRIVE_REMOVABLE, DRIVE_NO_ROOT_DIR));

    // The folder mount path is a directory, not a device.
    LARKIN_EXPECT_FAILS(Open("\\\\.\\C:\\Mount\\Stick", GENERIC_READ).Valid(), ERROR_ACCESS_DENIED);

    // The floppy reads, and is no disk of the device tree.
    EXPECT_TRUE(ReadAt(Open("\\\\.\\A:", GENERIC_READ).Get(), 0, 512));
    EXPECT_FALSE(DeviceNumber("\\\\.\\A:"));
}

// Writes a boot sector at lba whose table holds these entries.
void WriteTable(const Handle& disk, uint64_t lba, std::initializer_list<MbrEntry> entries) {
    ASSERT_TRUE(WriteAt(disk.Get(), lba * 512, Mbr(entries))) << GetLastError();
}

// The layout as the system reads it after the table changed.
std::vector<PARTITION_INFORMATION_EX> Layout(const Handle& disk) {
    Control(disk.Get(), IOCTL_DISK_UPDATE_PROPERTIES);
    std::vector<BYTE> buffer(64 * 1024);
    EXPECT_TRUE(Control(disk.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size())))
        << GetLastError();
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    return {layout->PartitionEntry, layout->PartitionEntry + layout->PartitionCount};
}

// Each logical drive adds four entries to the layout, and takes the next
// number; an extended chain that loops is read once.
TEST(PartitionModel, ExtendedChains) {
    TestMachine machine(MachineText("platform-two-sticks"));
    Handle stick = Open("\\\\.\\PhysicalDrive2");
    ASSERT_TRUE(stick.Valid());
    // A type but no sectors: no partition, no number.
    WriteTable(stick, 0, {{0, 0x05, 2048, 12000}, {1, 0x06, 100, 0}});
    for (uint32_t i = 0; i < 6; ++i)
        WriteTable(
            stick, 2048 + i * 2000,
            {{0, 0x06, 63, 1000}, i < 5 ? MbrEntry{1, 0x05, (i + 1) * 2000, 2000} : MbrEntry{1}});
    std::vector<BYTE> buffer(2496 + 576 * 3);
    for (DWORD tooSmall : {2496u, 2496u + 576 * 2})
        LARKIN_EXPECT_FAILS(Control(stick.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                    buffer.data(), tooSmall),
                            ERROR_INSUFFICIENT_BUFFER);
    auto layout = Layout(stick);
    ASSERT_EQ(layout.size(), 28u);
    const auto& logical = layout[4];  // the first logical drive
    EXPECT_EQ(std::tuple(logical.PartitionNumber, logical.StartingOffset.QuadPart,
                         logical.Mbr.HiddenSectors),
              std::tuple(1u, (2048 + 63) * 512LL, 63u));

    // 2048 -> 4048 -> 6048 -> back to 4048.
    WriteTable(stick, 6048, {{0, 0x06, 63, 1000}, {1, 0x05, 2000, 2000}});
    layout = Layout(stick);
    ASSERT_EQ(layout.size(), 4u + 3 * 4);
    EXPECT_EQ(std::pair(layout[4].PartitionNumber, layout[12].PartitionNumber), std::pair(1u, 3u));
    std::vector<DWORD> numbers;
    for (auto name : VolumeNames()) {
        name.pop_back();  // no trailing backslash to open it
        if (auto number = DeviceNumber(name); number && number->DeviceNumber == 2)
            numbers.push_back(number->PartitionNumber);
    }
    EXPECT_EQ(numbers, (std::vector<DWORD>{1, 2, 3}));
}

TEST(PartitionModel, ChsFieldsStopAtCylinder1023) {
    TestMachine machine(MachineText("platform-2gib-disk"));
    Handle disk = Open("\\\\.\\PhysicalDrive0");
    ASSERT_TRUE(disk.Valid());
    std::vector<BYTE> buffer(DRIVE_LAYOUT_HEADER_SIZE + 4 * sizeof(PARTITION_INFORMATION_EX));
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = 4;
    auto& first = layout->PartitionEntry[0];
    first.StartingOffset.QuadPart = 63 * 512;
    first.PartitionLength.QuadPart = (2048LL << 20) - 63 * 512;
    first.Mbr.PartitionType = 0x0E;
    first.Mbr.BootIndicator = TRUE;
    ASSERT_TRUE(Control(disk.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(),
                        static_cast<DWORD>(buffer.size())))
        << GetLastError();
    auto mbr = ReadAt(disk.Get(), 0, 512);
    ASSERT_TRUE(mbr);
    // Start: cylinder 0, head 1, sector 1 (LBA 63 on 16 heads of 63 sectors);
    // end: cylinder 4161 lies past 1023, so the highest CHS address there is.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mbr->data()) + 447, 7),
              std::string("\x01\x01\x00\x0E\x0F\xFF\xFF", 7));
}

}  // namespace
}  // namespace larkin::test
