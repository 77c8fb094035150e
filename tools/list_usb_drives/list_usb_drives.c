/* list_usb_drives: lists the USB drives of the machine with their device
 * paths, drive letters and descriptions. It knows Verran only by its exports,
 * loaded at run time, as a program of another language would.
 *
 * usage: list_usb_drives [LIBRARY]   (default: libVerran.so beside it)
 * Exits 0 when the drives were listed (there may be none), 1 when they could
 * not be, 2 on a wrong command line. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef int (*StartPlatformFn)(const char*, char*, unsigned);
typedef int (*InitializeFn)(const char*);
typedef void (*DestroyFn)(void);
typedef unsigned (*CountFn)(void);
typedef unsigned (*DriveCountFn)(unsigned);
typedef const char* (*DriveTextFn)(unsigned, unsigned);
typedef const char* (*DriveInfoFn)(unsigned, unsigned, const char*);

static void* Bind(void* library, const char* name) {
    void* function = dlsym(library, name);
    if (function == NULL) fprintf(stderr, "list_usb_drives: no export %s\n", name);
    return function;
}

static const char kUsage[] =
    "usage: list_usb_drives [LIBRARY]\n"
    "Lists the USB drives Verran finds: device path, drive letters, description\n"
    "and friendly name. LIBRARY is Verran's file (default: libVerran.so beside\n"
    "this program). The machine is the one LARKIN_MACHINE names.\n";

int main(int argc, char** argv) {
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fputs(kUsage, stderr);
        return 2;
    }
    /* Beside the program, named by path: a sanitizer's dlopen does not look
     * beside the program by itself. */
    char beside[4096] = "libVerran.so";
    const char* slash = strrchr(argv[0], '/');
    if (slash != NULL && (size_t)(slash - argv[0]) + sizeof "/libVerran.so" <= sizeof beside)
        snprintf(beside, sizeof beside, "%.*s/libVerran.so", (int)(slash - argv[0]), argv[0]);
    const char* file = argc > 1 ? argv[1] : beside;
    void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "list_usb_drives: %s\n", dlerror());
        return 1;
    }
    InitializeFn initialize = (InitializeFn)Bind(library, "Initialize");
    DestroyFn destroy = (DestroyFn)Bind(library, "Destroy");
    CountFn adapterCount = (CountFn)Bind(library, "GetAdapterCount");
    DriveCountFn driveCount = (DriveCountFn)Bind(library, "GetDriveCount");
    DriveTextFn driveName = (DriveTextFn)Bind(library, "GetDriveName");
    DriveTextFn driveDescription = (DriveTextFn)Bind(library, "GetDriveDescription");
    DriveInfoFn driveInfo = (DriveInfoFn)Bind(library, "GetDriveInfo");
    if (!initialize || !destroy || !adapterCount || !driveCount || !driveName ||
        !driveDescription || !driveInfo)
        return 1;

    /* The platform below Verran stands in with an empty machine when it
     * cannot start; that is a failure here, not "no drives". Looked up
     * through Verran's handle, which reaches the libraries it uses. */
    StartPlatformFn startPlatform = (StartPlatformFn)dlsym(library, "LarkinStartPlatform");
    if (startPlatform != NULL) {
        char error[1024] = "";
        if (!startPlatform(NULL, error, sizeof error)) {
            fprintf(stderr, "list_usb_drives: %s\n", error);
            return 1;
        }
    }

    int status = initialize("USB");
    if (status != 0) {
        fprintf(stderr, "list_usb_drives: Initialize failed with %d\n", status);
        return 1;
    }
    unsigned drives = 0;
    for (unsigned a = 0; a < adapterCount(); ++a) {
        for (unsigned d = 0; d < driveCount(a); ++d) {
            const char* letters = driveInfo(a, d, "MOUNT_INFO");
            printf("%s\n    letters: %s\n    description: %s\n", driveName(a, d),
                   *letters ? letters : "(none)", driveDescription(a, d));
            printf("    friendly name: %s\n", driveInfo(a, d, "FRIENDLYNAME"));
            ++drives;
        }
    }
    printf("%u USB drive%s\n", drives, drives == 1 ? "" : "s");
    destroy();
    dlclose(library);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
