#include "exports/services.h"

#include <utility>

#include "larkin/owned.h"
#include "win32/modules.h"

namespace tessel {
namespace {

struct Libraries {
    larkin::Library verran;
    larkin::Library corvid;
};

// Plain handles: a process-wide object with a destructor could run after the
// loader has begun its own exit work.
struct LoadedLibraries {
    HMODULE verran = nullptr;
    HMODULE corvid = nullptr;
};

Services services;
LoadedLibraries libraries;

template <class F>
bool Bind(const larkin::Library& library, LPCSTR name, F& entry) {
    FARPROC address = GetProcAddress(library.get(), name);
    // Through a plain function type: the loader hands out one generic type.
    entry = reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
    return entry != nullptr;
}

template <class F>
bool BindOrdinal(const larkin::Library& library, int ordinal, F& entry) {
    return Bind(library, MAKEINTRESOURCEA(ordinal), entry);
}

}  // namespace

const Services& BoundServices() {
    return services;
}

bool BindServices() {
    if (services.bound) return true;
    Libraries loaded;
    Services bound;
    loaded.verran = larkin::Library(LoadLibraryA("Verran"));
    if (!loaded.verran) return false;
    loaded.corvid = larkin::Library(LoadLibraryA("Corvid"));
    if (!loaded.corvid) return false;

    VerranEntries& v = bound.verran;
    CorvidEntries& c = bound.corvid;
    bool complete =
        Bind(loaded.verran, "Initialize", v.initialize) &&
        Bind(loaded.verran, "GetAdapterCount", v.getAdapterCount) &&
        Bind(loaded.verran, "GetDriveCount", v.getDriveCount) &&
        Bind(loaded.verran, "GetDriveName", v.getDriveName) &&
        Bind(loaded.verran, "GetDriveInfo", v.getDriveInfo) &&
        BindOrdinal(loaded.corvid, CORVID_ORDINAL_LOAD_CORES, c.loadCores) &&
        BindOrdinal(loaded.corvid, CORVID_ORDINAL_UNLOAD, c.unload) &&
        BindOrdinal(loaded.corvid, CORVID_ORDINAL_DEVICE_COUNT, c.deviceCount) &&
        BindOrdinal(loaded.corvid, CORVID_ORDINAL_COMMAND, c.command) &&
        BindOrdinal(loaded.corvid, CORVID_ORDINAL_WRITE_DATA_BUFFER, c.writeDataBuffer) &&
        BindOrdinal(loaded.corvid, CORVID_ORDINAL_READ_DATA_BUFFER, c.readDataBuffer) &&
        BindOrdinal(loaded.corvid, CORVID_ORDINAL_GET_DRIVE_INFORMATION, c.getDriveInformation);
    if (!complete) {
        DWORD why = GetLastError();
        loaded = Libraries{};  // releases what was loaded
        SetLastError(why);
        return false;
    }
    bound.bound = true;
    libraries.verran = loaded.verran.get();
    libraries.corvid = loaded.corvid.get();
    loaded.verran.abandon();
    loaded.corvid.abandon();
    services = bound;
    return true;
}

void ReleaseServices(bool processExit) {
    services = Services{};
    LoadedLibraries loaded = std::exchange(libraries, LoadedLibraries{});
    if (processExit) return;
    if (loaded.corvid != nullptr) FreeLibrary(loaded.corvid);
    if (loaded.verran != nullptr) FreeLibrary(loaded.verran);
}

}  // namespace tessel
