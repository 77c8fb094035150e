// A walk through the demo machine with nothing but the public API: find the
// USB sticks, open the blank one by its interface path, read and write its
// sectors, give it a partition table, see the new volume get its letter, and
// ask the stick who it is.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "test_machine.h"

namespace {

struct Stick {
    std::string instanceId;
    std::string path;
};

std::vector<Stick> UsbDisks() {
    std::vector<Stick> sticks;
    HDEVINFO adapters = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA adapter{};
    adapter.cbSize = sizeof adapter;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(adapters, i, &adapter); ++i) {
        DEVINST child = 0;
        for (CONFIGRET r = CM_Get_Child(&child, adapter.DevInst, 0); r == CR_SUCCESS;
             r = CM_Get_Sibling(&child, child, 0)) {
            char id[MAX_DEVICE_ID_LEN];
            CM_Get_Device_IDA(child, id, sizeof id, 0);
            HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, id, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &data)) {
                DWORD needed = 0;
                SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
                std::vector<char> buffer(needed);
                auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
                if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
                    sticks.push_back({id, detail->DevicePath});
            }
            SetupDiDestroyDeviceInfoList(set);
        }
    }
    SetupDiDestroyDeviceInfoList(adapters);
    return sticks;
}

std::vector<std::string> VolumeLetters() {
    std::vector<std::string> letters;
    char name[MAX_PATH];
    HANDLE search = FindFirstVolumeA(name, sizeof name);
    if (search == INVALID_HANDLE_VALUE) return letters;
    do {
        char paths[512];
        DWORD returned = 0;
        if (GetVolumePathNamesForVolumeNameA(name, paths, sizeof paths, &returned))
            for (const char* p = paths; *p; p += std::strlen(p) + 1) letters.emplace_back(p);
    } while (FindNextVolumeA(search, name, sizeof name));
    FindVolumeClose(search);
    return letters;
}

TEST(DemoMachine, AWalkThroughThePublicApi) {
    std::filesystem::path source =
        std::filesystem::path(LARKIN_SOURCE_DIR) / "machines" / "demo.toml";
    std::string toml;
    {
        std::FILE* file = std::fopen(source.c_str(), "r");
        ASSERT_NE(file, nullptr);
        char chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) toml.append(chunk, got);
        std::fclose(file);
    }
    larkin::test::TestMachine machine(toml);
    if (!machine.started()) GTEST_SKIP() << machine.error();

    auto sticks = UsbDisks();
    ASSERT_EQ(sticks.size(), 2u);
    EXPECT_EQ(VolumeLetters(), (std::vector<std::string>{"A:\\", "C:\\", "E:\\"}));
    const Stick& blank = sticks[1];
    EXPECT_NE(blank.instanceId.find("KINGSTON"), std::string::npos);

    HANDLE disk =
        CreateFileA(blank.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);

    std::array<BYTE, 512> sector{};
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(disk, sector.data(), 512, &done, nullptr));
    EXPECT_EQ(sector[510], 0);  // blank
    sector[446 + 4] = 0x0E;
    uint32_t first = 32, count = 60000;
    std::memcpy(&sector[446 + 8], &first, 4);
    std::memcpy(&sector[446 + 12], &count, 4);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    LARGE_INTEGER zero{};
    SetFilePointerEx(disk, zero, nullptr, FILE_BEGIN);
    ASSERT_TRUE(WriteFile(disk, sector.data(), 512, &done, nullptr));
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &done,
                                nullptr));
    EXPECT_EQ(VolumeLetters(), (std::vector<std::string>{"A:\\", "C:\\", "E:\\", "F:\\"}));

    struct {
        SCSI_PASS_THROUGH_DIRECT request;
        ULONG filler;
        BYTE sense[32];
    } record{};
    std::array<BYTE, 96> inquiry{};
    record.request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record.request.CdbLength = 6;
    record.request.SenseInfoLength = 32;
    record.request.SenseInfoOffset = offsetof(decltype(record), sense);
    record.request.DataIn = SCSI_IOCTL_DATA_IN;
    record.request.DataTransferLength = static_cast<ULONG>(inquiry.size());
    record.request.DataBuffer = inquiry.data();
    record.request.Cdb[0] = 0x12;
    record.request.Cdb[4] = static_cast<UCHAR>(inquiry.size());
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record,
                                &record, sizeof record, &done, nullptr));
    EXPECT_EQ(record.request.ScsiStatus, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&inquiry[8]), 8), "Kingston");
    CloseHandle(disk);

    auto journal = larkin::sim::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].disk, "stick2");
    EXPECT_EQ(journal[0].offset, 0u);
    EXPECT_EQ(journal[0].length, 512u);
}

}  // namespace
