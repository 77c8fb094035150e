// The libraries this process loaded, in load order, and the program itself.
// A module's address is its HMODULE, so modules never move.
#ifndef LARKIN_PLATFORM_MODULE_TABLE_H
#define LARKIN_PLATFORM_MODULE_TABLE_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "win32/modules.h"

namespace larkin::platform {

struct Module {
    void* library = nullptr;  // the dlopen handle
    std::string path;
    int references = 0;
    bool attached = false;
};

// Every member but ProgramPath wants mutex held. It stays held while a
// module's entry point runs, as the loader lock does on Windows: the entry
// point may call the API and load or free modules on its own thread, so the
// mutex comes first in the lock order and is recursive.
class ModuleTable {
  public:
    std::recursive_mutex mutex;

    // The module of handle, the program for a null one; null when unknown.
    Module* Find(HMODULE handle);
    Module* Program();
    bool IsProgram(const Module& module) const { return &module == &program_; }
    // The loaded module of the library at path, if any.
    Module* Loaded(const std::string& path);
    // Takes in a library just opened, with one reference, not yet attached.
    Module* Add(void* library, std::string path);
    bool Contains(const Module* module) const;
    // Forgets module; closing its library is the caller's.
    void Erase(const Module* module);
    // The loaded modules, newest first.
    std::vector<Module*> NewestFirst() const;

    static std::string ProgramPath();

  private:
    std::vector<std::unique_ptr<Module>> modules_;  // in load order
    Module program_;
};

}  // namespace larkin::platform

#endif
