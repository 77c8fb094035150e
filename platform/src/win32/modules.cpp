// Dynamic libraries by their Windows names, their entry point, exports by
// name and ordinal, and the resources they carry.
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <vector>

#include "larkin/exports.h"
#include "runtime/exported_call.h"
#include "runtime/module_table.h"
#include "runtime/runtime.h"
#include "runtime/text.h"

namespace larkin::platform {
namespace {

ModuleTable& Modules() {
    return Runtime::Get().modules;
}

// Find, with ERROR_INVALID_HANDLE as the last error when there is none.
Module* FindOrFail(ModuleTable& table, HMODULE handle) {
    Module* module = table.Find(handle);
    if (module == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return module;
}

std::string LinkName(void* library) {
    link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
    return map->l_name ? map->l_name : "";
}

// A symbol of the module itself, not one of a library it depends on.
void* OwnSymbol(const Module& module, const char* name) {
    void* symbol = dlsym(module.library, name);
    if (symbol == nullptr) return nullptr;
    Dl_info info{};
    if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return nullptr;
    std::string own = Modules().IsProgram(module) ? module.path : LinkName(module.library);
    std::error_code ignored;
    if (own.empty()) return symbol;
    return std::filesystem::equivalent(own, info.dli_fname, ignored) ? symbol : nullptr;
}

// Runs at exit, before the runtime goes: it is registered after the runtime
// stood (LoadLibraryA asks it first).
void DetachAll() {
    ModuleTable& table = Modules();
    std::lock_guard guard(table.mutex);
    // A module's detach may free other modules: walk a copy, newest first,
    // and skip what is gone by the time its turn comes.
    for (Module* module : table.NewestFirst()) {
        if (!table.Contains(module) || !module->attached) continue;
        module->attached = false;
        if (auto main = reinterpret_cast<LARKIN_DLLMAIN>(OwnSymbol(*module, "LarkinDllMain")))
            main(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_DETACH,
                 reinterpret_cast<LPVOID>(1));
    }
}

std::vector<std::string> SearchFolders() {
    std::vector<std::string> folders;
    folders.push_back(std::filesystem::path(ModuleTable::ProgramPath()).parent_path().string());
    if (const char* extra = std::getenv("LARKIN_LIBRARY_PATH")) {
        std::istringstream list(extra);
        std::string folder;
        while (std::getline(list, folder, ':'))
            if (!folder.empty()) folders.push_back(folder);
    }
    return folders;
}

std::string Locate(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.find('/') != std::string::npos) return std::filesystem::exists(name) ? name : "";
    std::string base = name;
    if (base.size() > 4 && EqualsNoCase(base.substr(base.size() - 4), ".dll"))
        base.resize(base.size() - 4);
    for (const auto& folder : SearchFolders()) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            std::string file = entry.path().filename().string();
            if (EqualsNoCase(file, "lib" + base + ".so") || EqualsNoCase(file, base + ".so"))
                return entry.path().string();
        }
    }
    return {};
}

const LARKIN_RESOURCE* FindResourceEntry(const Module& module, LPCSTR name, LPCSTR type) {
    auto* table = static_cast<const LARKIN_RESOURCE*>(OwnSymbol(module, "LarkinResourceTable"));
    if (table == nullptr) return FailedNull(ERROR_RESOURCE_DATA_NOT_FOUND);
    WORD id = 0;
    if (IS_INTRESOURCE(name)) {
        id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    } else if (name && name[0] == '#') {
        id = static_cast<WORD>(std::atoi(name + 1));
    } else {
        return FailedNull(ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    bool typeSeen = false;
    for (const LARKIN_RESOURCE* entry = table; entry->type != nullptr; ++entry) {
        bool sameType = IS_INTRESOURCE(type) ? false : EqualsNoCase(entry->type, type ? type : "");
        if (!sameType) continue;
        typeSeen = true;
        if (entry->id == id) return entry;
    }
    return FailedNull(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
}

}  // namespace
}  // namespace larkin::platform

using namespace larkin::platform;

HMODULE LoadLibraryA(LPCSTR name) {
    return larkin::platform::Guarded<HMODULE>(nullptr, [&]() -> HMODULE {
        if (name == nullptr || *name == '\0') return FailedNull(ERROR_INVALID_PARAMETER);
        if (FaultFires("LoadLibraryA", name)) return nullptr;
        std::string path = Locate(name);
        if (path.empty()) return FailedNull(ERROR_MOD_NOT_FOUND);
        ModuleTable& table = Modules();
        std::lock_guard guard(table.mutex);
        if (Module* loaded = table.Loaded(path)) {
            ++loaded->references;
            return reinterpret_cast<HMODULE>(loaded);
        }
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            if (std::getenv("LARKIN_DEBUG_LOADER")) std::fprintf(stderr, "larkin: %s\n", dlerror());
            return FailedNull(ERROR_MOD_NOT_FOUND);
        }
        Module* raw = table.Add(library, path);
        if (auto main = reinterpret_cast<LARKIN_DLLMAIN>(OwnSymbol(*raw, "LarkinDllMain"))) {
            // An entry point that fails, or throws, fails the load: the
            // library goes again and no later load finds it half attached.
            bool attached = false;
            try {
                attached = main(reinterpret_cast<HINSTANCE>(raw), DLL_PROCESS_ATTACH, nullptr);
            } catch (...) {
                attached = false;
            }
            if (!attached) {
                table.Erase(raw);
                dlclose(library);
                return FailedNull(ERROR_DLL_INIT_FAILED);
            }
        }
        raw->attached = true;
        // Exit handlers run newest first: registered after the module's
        // statics (those of its load and of its entry point), the detach runs
        // while they still stand. It skips what is already detached, so
        // running more than once is harmless.
        std::atexit(DetachAll);
        SetLastError(ERROR_SUCCESS);
        return reinterpret_cast<HMODULE>(raw);
    });
}

BOOL FreeLibrary(HMODULE handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        ModuleTable& table = Modules();
        std::lock_guard guard(table.mutex);
        Module* module = handle ? table.Find(handle) : nullptr;
        if (module == nullptr) return Failed(ERROR_INVALID_HANDLE);
        if (--module->references > 0) return TRUE;
        void* library = module->library;
        if (module->attached) {
            module->attached = false;
            if (auto main = reinterpret_cast<LARKIN_DLLMAIN>(OwnSymbol(*module, "LarkinDllMain")))
                main(reinterpret_cast<HINSTANCE>(module), DLL_PROCESS_DETACH, nullptr);
        }
        // The entry may have freed modules, this one too.
        if (!table.Contains(module)) return TRUE;
        table.Erase(module);
        dlclose(library);
        return TRUE;
    });
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR name) {
    return larkin::platform::Guarded<FARPROC>(nullptr, [&]() -> FARPROC {
        ModuleTable& table = Modules();
        std::lock_guard guard(table.mutex);
        Module* module = FindOrFail(table, handle);
        if (module == nullptr) return nullptr;
        std::string symbol;
        if (IS_INTRESOURCE(name)) {
            auto ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
            auto* ordinals =
                static_cast<const LARKIN_ORDINAL*>(OwnSymbol(*module, "LarkinOrdinalTable"));
            for (const LARKIN_ORDINAL* entry = ordinals; entry && entry->ordinal != 0; ++entry)
                if (entry->ordinal == ordinal) symbol = entry->name;
        } else {
            symbol = name;
        }
        // An exported name the symbol cannot carry stands for its symbol.
        auto* names =
            static_cast<const LARKIN_EXPORT_NAME*>(OwnSymbol(*module, "LarkinExportNameTable"));
        for (const LARKIN_EXPORT_NAME* entry = names; entry && entry->exported; ++entry)
            if (symbol == entry->exported) symbol = entry->symbol;
        void* address = symbol.empty() ? nullptr : OwnSymbol(*module, symbol.c_str());
        if (address == nullptr) return FailedNull(ERROR_PROC_NOT_FOUND);
        return reinterpret_cast<FARPROC>(address);
    });
}

HMODULE GetModuleHandleA(LPCSTR name) {
    return larkin::platform::Guarded<HMODULE>(nullptr, [&]() -> HMODULE {
        ModuleTable& table = Modules();
        std::lock_guard guard(table.mutex);
        if (name == nullptr) return reinterpret_cast<HMODULE>(table.Program());
        std::string path = Locate(name);
        if (Module* module = path.empty() ? nullptr : table.Loaded(path))
            return reinterpret_cast<HMODULE>(module);
        return FailedNull(ERROR_MOD_NOT_FOUND);
    });
}

DWORD GetModuleFileNameA(HMODULE handle, LPSTR buffer, DWORD size) {
    return larkin::platform::Guarded<DWORD>(0, [&]() -> DWORD {
        ModuleTable& table = Modules();
        std::lock_guard guard(table.mutex);
        Module* module = handle ? table.Find(handle) : table.Program();
        if (module == nullptr || size == 0) return Failed(ERROR_INVALID_HANDLE);
        std::string path = module->path;
        DWORD copied = static_cast<DWORD>(std::min<size_t>(path.size(), size - 1));
        std::memcpy(buffer, path.c_str(), copied);
        buffer[copied] = '\0';
        SetLastError(copied < path.size() ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
        return copied;
    });
}

HRSRC FindResourceA(HMODULE handle, LPCSTR name, LPCSTR type) {
    return larkin::platform::Guarded<HRSRC>(nullptr, [&]() -> HRSRC {
        ModuleTable& table = Modules();
        std::lock_guard guard(table.mutex);
        Module* module = FindOrFail(table, handle);
        if (module == nullptr) return nullptr;
        if (FaultFires("FindResourceA", module->path)) return nullptr;
        return reinterpret_cast<HRSRC>(
            const_cast<LARKIN_RESOURCE*>(FindResourceEntry(*module, name, type)));
    });
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
    return larkin::platform::Guarded<HGLOBAL>(nullptr, [&]() -> HGLOBAL {
        if (resource == nullptr) return FailedNull(ERROR_INVALID_HANDLE);
        if (FaultFires("LoadResource")) return nullptr;
        return resource;
    });
}

LPVOID LockResource(HGLOBAL loaded) {
    if (loaded == nullptr) return nullptr;
    return const_cast<void*>(static_cast<const LARKIN_RESOURCE*>(loaded)->data);
}

DWORD SizeofResource(HMODULE, HRSRC resource) {
    return resource ? static_cast<const LARKIN_RESOURCE*>(resource)->size : 0;
}
