/* list_usb_drives: lists the USB drives of the machine with their device
 * paths, drive letters and descriptions. It knows Verran only by its exports,
 * loaded at run time, as a program of another language would.
 *
 * usage: list_usb_drives [LIBRARY]   (default: libVerran.so beside it) */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

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

int main(int argc, char** argv) {
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
    return 0;
}
