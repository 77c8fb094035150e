#include "hardware_machine.h"

#include <algorithm>
#include <cstdlib>

#include "larkin/simulation.h"

namespace larkin::test {

HardwareMachine::HardwareMachine() {
    for (const char* name : {"LARKIN_MACHINE", "LARKIN_TEST_USB_DISKS", "LARKIN_STATE_DIR",
                             "LARKIN_TIME_SCALE", "LARKIN_FLOPPY_IMAGE"}) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
}

HardwareMachine::~HardwareMachine() {
    // The state folder stays named while the platform restarts: no folder
    // of the real machine's is made.
    ::unsetenv("LARKIN_TEST_USB_DISKS");
    ::unsetenv("LARKIN_FLOPPY_IMAGE");
    std::string ignored;
    sim::Restart("", &ignored);
    for (const auto& [name, value] : saved_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

std::string HardwareMachine::Start(const std::vector<const LoopDevice*>& sticks) {
    if (folder_.path().empty()) return "no temporary folder";
    std::string nodes;
    for (const LoopDevice* stick : sticks) nodes += (nodes.empty() ? "" : ",") + stick->Node();
    ::unsetenv("LARKIN_MACHINE");
    ::unsetenv("LARKIN_FLOPPY_IMAGE");
    ::setenv("LARKIN_TEST_USB_DISKS", nodes.c_str(), 1);
    ::setenv("LARKIN_STATE_DIR", (folder_.path() / "state").c_str(), 1);
    ::setenv("LARKIN_TIME_SCALE", "0", 1);
    std::string error;
    if (!sim::Restart("", &error)) return error.empty() ? "the platform did not start" : error;
    if (std::string(LarkinBackendName()) != "linux") return "not on this computer's hardware";
    return {};
}

std::vector<std::string> DiskInterfacePaths() {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, i, &data);
         ++i) {
        DWORD needed = 0;
        LARKIN_EXPECT_FAILS(
            SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr),
            ERROR_INSUFFICIENT_BUFFER);
        std::vector<char> buffer(
            std::max<DWORD>(needed, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::optional<StandIn> FindStandIn(const LoopDevice& loop) {
    // The stand-in's serial names its loop device, and ends the disk's instance id.
    for (const auto& path : DiskInterfacePaths())
        if (path.find("#test-" + loop.KernelName() + "&0#") != std::string::npos)
            if (auto number = DeviceNumber(path)) return StandIn{number->DeviceNumber, path};
    return std::nullopt;
}

std::vector<LetteredVolume> LetteredVolumes() {
    std::vector<LetteredVolume> volumes;
    DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(drives & (1u << i))) continue;
        LetteredVolume volume;
        volume.letter = std::string(1, static_cast<char>('A' + i)) + ":";
        if (auto number = DeviceNumber("\\\\.\\" + volume.letter)) {
            volume.disk = number->DeviceNumber;
            volume.partition = number->PartitionNumber;
        } else {
            volume.error = GetLastError();
        }
        volumes.push_back(volume);
    }
    return volumes;
}

std::vector<std::string> LettersOf(uint32_t disk) {
    std::vector<std::pair<uint32_t, std::string>> found;
    for (const auto& volume : LetteredVolumes())
        if (volume.error == ERROR_SUCCESS && volume.disk == disk)
            found.emplace_back(volume.partition, volume.letter);
    std::sort(found.begin(), found.end());
    std::vector<std::string> letters;
    for (const auto& [partition, letter] : found) letters.push_back(letter);
    return letters;
}

std::optional<std::pair<uint64_t, uint64_t>> ExtentOf(const std::string& letter) {
    Handle volume = Open("\\\\.\\" + letter, 0);
    VOLUME_DISK_EXTENTS extents{};
    if (!volume.Valid() || !Control(volume.Get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                    &extents, sizeof extents))
        return std::nullopt;
    return std::pair(static_cast<uint64_t>(extents.Extents[0].StartingOffset.QuadPart),
                     static_cast<uint64_t>(extents.Extents[0].ExtentLength.QuadPart));
}

void MakeShopStick(const LoopDevice& loop, int slot) {
    uint32_t sectors = static_cast<uint32_t>(loop.Options().size / loop.Options().sectorSize);
    uint32_t first = (1u << 20) / loop.Options().sectorSize;
    loop.WriteBacking(0, Mbr({{slot, 0x0C, first, sectors - first}}));
}

std::string LetterOf(const LoopDevice& loop) {
    auto standIn = FindStandIn(loop);
    auto letters = standIn ? LettersOf(standIn->disk) : std::vector<std::string>{};
    if (letters.size() == 1) return letters[0];
    ADD_FAILURE() << letters.size() << " volumes on " << loop.Node();
    return {};
}

}  // namespace larkin::test
