#include "templates/boot_record_access.h"

#include <algorithm>

#include <win32/modules.h>

#include "templates/boot_records.h"

namespace larkin::templates {

namespace {

// The reference LoadLibraryA added, given back on every way out: the bytes
// are copied before it goes.
struct LibraryReference {
    HMODULE module;
    ~LibraryReference() {
        if (module != nullptr) FreeLibrary(module);
    }
};

}  // namespace

TemplateLoad LoadBootRecord(std::uint16_t id, std::span<std::uint8_t, 512> out) {
    LibraryReference reference{LoadLibraryA("Tessel.DLL")};
    HMODULE module = reference.module;
    if (module == nullptr) return TemplateLoad::no_library;
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), kBootRecordType);
    if (found == nullptr) return TemplateLoad::no_record;
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) return TemplateLoad::no_record;
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr || SizeofResource(module, found) < out.size()) {
        return TemplateLoad::no_record;
    }
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    std::copy(first, first + out.size(), out.begin());
    return TemplateLoad::ok;
}

}  // namespace larkin::templates
