// Compiled, never run: the platform's private text.h stands on its own when
// a source includes it first, and its GUID helpers take the platform's GUID.
#include "runtime/text.h"

#include <string>
#include <type_traits>
#include <utility>

static_assert(
    std::is_same_v<decltype(larkin::platform::GuidText(std::declval<const GUID&>())), std::string>);
static_assert(std::is_same_v<decltype(larkin::platform::SameGuid(std::declval<const GUID&>(),
                                                                 std::declval<const GUID&>())),
                             bool>);
