// Tessel's entry points: the plain C exports, the C++-named exports, and the
// load and unload work. Their ordinals and decorated second names are in
// export_tables.cpp (tessel.def on Windows).
#include "bootmaker/create_usb_boot.h"
#include "console/image_operations.h"
#include "devices/enumeration.h"
#include "exports/export_declarations.h"
#include "exports/message_channel.h"
#include "exports/services.h"
#include "exports/tessel.h"
#include "larkin/exports.h"
#include "larkin/guarded.h"
#include "partition/partition_operations.h"
#include "win32/modules.h"

// A host that opens the library without the platform's loader (dlopen) has
// not run the load work; the services are then bound at the first call that
// needs them.
static void BindOnFirstUse() {
    tessel::BindServices();
}

// Nothing thrown leaves the library (out of memory above all): each export
// gives its own failure result instead, as for "nothing found" or ATA_ERROR.
using larkin::Guarded;

DLLEXPORT int GetUSBDevCount(void) {
    return Guarded(0, [] {
        BindOnFirstUse();
        return tessel::GetUSBDevCount();
    });
}

DLLEXPORT int GetUSBDevInfo(int index, char* text) {
    return Guarded<int>(ATA_ERROR, [&] { return tessel::GetUSBDevInfo(index, text); });
}

DLLEXPORT int OpenDevice(int index, HANDLE* handleOut) {
    return Guarded<int>(ATA_ERROR, [&] { return tessel::OpenDevice(index, handleOut); });
}

DLLEXPORT int EnumUSBDevices(void) {
    return Guarded(0, [] {
        BindOnFirstUse();
        return tessel::EnumUSBDevices();
    });
}

DLLEXPORT void SetCallBackFunc(ProgressCallback callback) {
    larkin::GuardedVoid([&] { tessel::SetProgressCallback(callback); });
}

DLLEXPORT int CreateUSBBoot(const char* destination, const char* source, int copyFiles) {
    return Guarded<int>(ATA_ERROR,
                        [&] { return tessel::CreateUSBBoot(destination, source, copyFiles); });
}

DLLEXPORT int ZeroPartitionInfo(void) {
    return Guarded<int>(ATA_ERROR, [] {
        BindOnFirstUse();
        return tessel::ZeroPartitionInfo();
    });
}

DLLEXPORT int CreatePartition(void) {
    return Guarded<int>(ATA_ERROR, [] {
        BindOnFirstUse();
        return tessel::CreatePartition();
    });
}

TESSEL_TYPED_EXPORT int EnumUSBDevicesCVD() {
    return Guarded(0, [] {
        BindOnFirstUse();
        return tessel::EnumUSBDevicesCVD();
    });
}

TESSEL_TYPED_EXPORT char* GetUSBDevInfoW(int index, char* text) {
    return Guarded<char*>(nullptr, [&] { return tessel::GetUSBDevInfoW(index, text); });
}

DLLEXPORT int CopyUSBBootImage(const char* saveFileName, const char* driveLetter,
                               const char* imageFileName) {
    return Guarded<int>(ATA_ERROR, [&] {
        BindOnFirstUse();
        return tessel::CopyUSBBootImage(saveFileName, driveLetter, imageFileName);
    });
}

DLLEXPORT int CopyUSBMBRImage(const char* saveFileName, const char* driveLetter) {
    return Guarded<int>(ATA_ERROR, [&] {
        BindOnFirstUse();
        return tessel::CopyUSBMBRImage(saveFileName, driveLetter);
    });
}

TESSEL_TYPED_EXPORT ATA_STATUS CreatePartitionCVD() {
    return Guarded(ATA_ERROR, [] {
        BindOnFirstUse();
        return tessel::CreatePartitionCVD();
    });
}

// Binding Verran and Corvid here stands for the system loader resolving the
// library's imports: without them the library does not load. No other work
// is done; the tables and the callback start zeroed.
LARKIN_DLLMAIN(instance, reason, reserved) {
    (void)instance;
    if (reason == DLL_PROCESS_ATTACH)
        return Guarded(FALSE, [] { return tessel::BindServices() ? TRUE : FALSE; });
    if (reason == DLL_PROCESS_DETACH) {
        larkin::GuardedVoid([&] {
            tessel::FlushStreams();
            tessel::ReleaseServices(reserved != nullptr);
        });
    }
    return TRUE;
}
