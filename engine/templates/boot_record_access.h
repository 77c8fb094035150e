// Taking a private copy of a boot-record template from the engine library's
// own resources, the way every operation that writes boot records does.
#ifndef LARKIN_ENGINE_TEMPLATES_BOOT_RECORD_ACCESS_H
#define LARKIN_ENGINE_TEMPLATES_BOOT_RECORD_ACCESS_H

#include <cstdint>
#include <span>

namespace larkin::templates {

enum class TemplateLoad : int {
    ok = 0,
    no_library = 1,  // "Tessel.DLL" could not be loaded
    no_record = 2,   // the resource could not be found, loaded or locked, or is short
};

// Loads "Tessel.DLL" by name (a new reference, given back before the
// function returns), finds the BOOTREC resource `id`, and copies its 512
// bytes into `out`.
// `out` is left untouched unless the result is ok.
TemplateLoad LoadBootRecord(std::uint16_t id, std::span<std::uint8_t, 512> out);

}  // namespace larkin::templates

#endif
