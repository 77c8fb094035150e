#include "module_table.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

namespace larkin::platform {

Module* ModuleTable::Find(HMODULE handle) {
    if (handle == nullptr) return Program();
    for (auto& module : modules_)
        if (module.get() == handle) return module.get();
    return nullptr;
}

Module* ModuleTable::Program() {
    if (!program_.library) {
        program_.library = dlopen(nullptr, RTLD_NOW);
        program_.path = ProgramPath();
    }
    return &program_;
}

Module* ModuleTable::Loaded(const std::string& path) {
    std::error_code ignored;
    for (auto& module : modules_)
        if (std::filesystem::equivalent(module->path, path, ignored)) return module.get();
    return nullptr;
}

Module* ModuleTable::Add(void* library, std::string path) {
    auto module = std::make_unique<Module>();
    module->library = library;
    module->path = std::move(path);
    module->references = 1;
    return modules_.emplace_back(std::move(module)).get();
}

bool ModuleTable::Contains(const Module* module) const {
    return std::any_of(modules_.begin(), modules_.end(),
                       [&](const auto& m) { return m.get() == module; });
}

void ModuleTable::Erase(const Module* module) {
    std::erase_if(modules_, [&](const auto& m) { return m.get() == module; });
}

std::vector<Module*> ModuleTable::NewestFirst() const {
    std::vector<Module*> order;
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) order.push_back(it->get());
    return order;
}

std::string ModuleTable::ProgramPath() {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).string();
}

}  // namespace larkin::platform
