// Lists the drives that Corvid numbers under a class filter ("USB" unless
// given), with the three keys the engine reads and each drive's size from
// READ CAPACITY(10). Binds Corvid by ordinal, as the engine does.
//
//   corvid-list [--machine FILE] [FILTER]   (--help for more)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "corvid/corvid.h"
#include "larkin/owned.h"
#include "larkin/platform.h"

namespace {

template <class F>
F ByOrdinal(const larkin::Library& library, int ordinal) {
    FARPROC address = GetProcAddress(library.get(), MAKEINTRESOURCEA(ordinal));
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
}

constexpr const char* kUsage =
    "usage: corvid-list [--machine FILE] [FILTER]\n"
    "Lists the drives Corvid numbers under FILTER (default \"USB\"): their\n"
    "DriveName, FRIENDLYNAME and MOUNTINFO, and their size by READ CAPACITY(10).\n"
    "  --machine FILE  the machine (default: the one LARKIN_MACHINE names)\n"
    "  --help          this text\n";

uint32_t BigEndian32(const BYTE* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

}  // namespace

int main(int argc, char** argv) {
    const char* machine = nullptr;
    const char* filter = "USB";
    bool filtered = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(arg, "--machine") == 0 && i + 1 < argc) {
            machine = argv[++i];
        } else if (std::strncmp(arg, "--machine=", 10) == 0) {
            machine = arg + 10;
        } else if (arg[0] == '-' || filtered) {
            std::fputs(kUsage, stderr);
            return 2;
        } else {
            filter = arg;
            filtered = true;
        }
    }
    char error[512] = {};
    if (!LarkinStartPlatform(machine, error, sizeof error)) {
        std::fprintf(stderr, "corvid-list: %s\n", error);
        return 2;
    }
    larkin::Library library(LoadLibraryA("Corvid"));
    auto loadCores = ByOrdinal<CORVID_LOAD_CORES>(library, CORVID_ORDINAL_LOAD_CORES);
    auto deviceCount = ByOrdinal<CORVID_DEVICE_COUNT>(library, CORVID_ORDINAL_DEVICE_COUNT);
    auto command = ByOrdinal<CORVID_COMMAND>(library, CORVID_ORDINAL_COMMAND);
    auto readDataBuffer =
        ByOrdinal<CORVID_READ_DATA_BUFFER>(library, CORVID_ORDINAL_READ_DATA_BUFFER);
    auto getDriveInformation =
        ByOrdinal<CORVID_GET_DRIVE_INFORMATION>(library, CORVID_ORDINAL_GET_DRIVE_INFORMATION);
    if (!loadCores || !deviceCount || !command || !readDataBuffer || !getDriveInformation) {
        std::fprintf(stderr, "corvid-list: Corvid cannot be loaded (error %u)\n", GetLastError());
        return 1;
    }

    loadCores();
    int count = deviceCount(0, filter);
    std::printf("%d device(s)\n", count);
    for (int index = 0; index < count; ++index) {
        std::printf("Device %d\n", index);
        for (const char* key : {"DriveName", "FRIENDLYNAME", "MOUNTINFO"}) {
            char value[512] = {};
            int size = sizeof value;
            getDriveInformation(index, key, value, &size);
            std::printf("  %s: %s\n", key, value);
        }
        BYTE readCapacity[16] = {0x25};
        int result = command(index, readCapacity, -32);
        if (result != 0) {
            std::printf("  Size: unknown (READ CAPACITY gave %d)\n", result);
            continue;
        }
        BYTE data[32] = {};
        readDataBuffer(index, "r", 0, sizeof data, data);
        uint64_t blocks = uint64_t{BigEndian32(data)} + 1;
        uint32_t blockLength = BigEndian32(data + 4);
        std::printf("  Size: %llu bytes (%llu blocks of %u)\n",
                    static_cast<unsigned long long>(blocks * blockLength),
                    static_cast<unsigned long long>(blocks), blockLength);
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
