/* list_engine_drives: lists the machine's USB drives as the desktop program
 * sees them, one line per drive from GetUSBDevInfo (drive letter and colon, a
 * blank and the model text). It knows the engine only by its exported names,
 * loaded at run time, as the desktop program binds them.
 *
 * usage: list_engine_drives [LIBRARY]   (default: libTessel.so beside it) */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef int (*GetUSBDevCountFn)(void);
typedef int (*GetUSBDevInfoFn)(int, char*);

int main(int argc, char** argv) {
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        printf(
            "usage: list_engine_drives [LIBRARY]\n"
            "Lists the USB drives as the desktop program sees them, through the engine\n"
            "library's exports (default: libTessel.so beside this program). The machine\n"
            "is the one LARKIN_MACHINE names.\n");
        return 0;
    }
    /* Beside the program, named by path: a sanitizer's dlopen does not look
     * beside the program by itself. */
    char beside[4096] = "libTessel.so";
    const char* slash = strrchr(argv[0], '/');
    if (slash != NULL && (size_t)(slash - argv[0]) + sizeof "/libTessel.so" <= sizeof beside)
        snprintf(beside, sizeof beside, "%.*s/libTessel.so", (int)(slash - argv[0]), argv[0]);
    const char* file = argc > 1 ? argv[1] : beside;
    void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "list_engine_drives: %s\n", dlerror());
        return 1;
    }
    GetUSBDevCountFn getUSBDevCount = (GetUSBDevCountFn)dlsym(library, "GetUSBDevCount");
    GetUSBDevInfoFn getUSBDevInfo = (GetUSBDevInfoFn)dlsym(library, "GetUSBDevInfo");
    if (getUSBDevCount == NULL || getUSBDevInfo == NULL) {
        fprintf(stderr, "list_engine_drives: GetUSBDevCount or GetUSBDevInfo not exported\n");
        return 1;
    }

    int count = getUSBDevCount();
    for (int index = 0; index < count; ++index) {
        char text[164];
        if (getUSBDevInfo(index, text) != 0) {
            fprintf(stderr, "list_engine_drives: GetUSBDevInfo(%d) failed\n", index);
            return 1;
        }
        printf("%d: [%s]\n", index, text);
    }
    printf("%d USB drive%s\n", count, count == 1 ? "" : "s");
    dlclose(library);
    return 0;
}
