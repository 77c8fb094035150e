/* make_bootable_stick: makes a USB drive of the machine bootable through the
 * engine library's exports only, bound by their plain names at run time,
 * as a program of another language would bind them.
 *
 * usage: make_bootable_stick DRIVE [SOURCE]
 *   DRIVE   the drive letter and colon of a listed USB drive (E:)
 *   SOURCE  a drive whose files are copied onto it (A:); none: no copy */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef int (*GetUSBDevCountFn)(void);
typedef int (*GetUSBDevInfoFn)(int, char*);
typedef int (*CreateUSBBootFn)(const char*, const char*, int);

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        printf(
            "usage: make_bootable_stick DRIVE [SOURCE]\n"
            "Lists the USB drives, then makes DRIVE (such as E:) bootable and copies every\n"
            "file of SOURCE (such as A:) onto it, through the engine library's exports\n"
            "(libTessel.so beside this program). The machine is the one LARKIN_MACHINE\n"
            "names. Exit code: the engine's status (0 made bootable, 6 failed).\n");
        return argc < 2 ? 1 : 0;
    }
    char beside[4096] = "libTessel.so";
    const char* slash = strrchr(argv[0], '/');
    if (slash != NULL && (size_t)(slash - argv[0]) + sizeof "/libTessel.so" <= sizeof beside)
        snprintf(beside, sizeof beside, "%.*s/libTessel.so", (int)(slash - argv[0]), argv[0]);
    void* library = dlopen(beside, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "make_bootable_stick: %s\n", dlerror());
        return 1;
    }
    GetUSBDevCountFn getUSBDevCount = (GetUSBDevCountFn)dlsym(library, "GetUSBDevCount");
    GetUSBDevInfoFn getUSBDevInfo = (GetUSBDevInfoFn)dlsym(library, "GetUSBDevInfo");
    CreateUSBBootFn createUSBBoot = (CreateUSBBootFn)dlsym(library, "CreateUSBBoot");
    if (getUSBDevCount == NULL || getUSBDevInfo == NULL || createUSBBoot == NULL) {
        fprintf(stderr, "make_bootable_stick: the engine lacks an export\n");
        dlclose(library);
        return 1;
    }
    int count = getUSBDevCount();
    for (int index = 0; index < count; ++index) {
        char text[164];
        if (getUSBDevInfo(index, text) == 0) printf("%d: [%s]\n", index, text);
    }
    const char* source = argc > 2 ? argv[2] : NULL;
    printf("CreateUSBBoot(\"%s\", %s%s%s, %d)\n", argv[1], source ? "\"" : "",
           source ? source : "NULL", source ? "\"" : "", source ? 1 : 0);
    fflush(stdout);
    int status = createUSBBoot(argv[1], source, source ? 1 : 0);
    fflush(stdout);
    printf("status %d\n", status);
    dlclose(library);
    return status;
}
