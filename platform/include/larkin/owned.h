// Owners of platform objects for the libraries and programs: a loaded
// library, an open handle and a volume search, released exactly once.
//
// At process exit the loader and the platform tear themselves down; code
// that runs then calls abandon(), which drops the object without calling into
// either.
#ifndef LARKIN_OWNED_H
#define LARKIN_OWNED_H

#include <utility>

#include "win32/windows.h"

namespace larkin {

template <class Traits>
class Owned {
  public:
    using Value = typename Traits::Value;

    Owned() = default;
    explicit Owned(Value value) : value_(value) {}
    ~Owned() { reset(); }
    Owned(Owned&& other) noexcept : value_(std::exchange(other.value_, Traits::Empty())) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, Traits::Empty());
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    Value get() const { return value_; }
    bool valid() const { return value_ != Traits::Empty(); }
    explicit operator bool() const { return valid(); }

    void reset(Value value = Traits::Empty()) {
        if (valid()) Traits::Release(value_);
        value_ = value;
    }
    void abandon() { value_ = Traits::Empty(); }

  private:
    Value value_ = Traits::Empty();
};

struct LibraryTraits {
    using Value = HMODULE;
    static HMODULE Empty() { return nullptr; }
    static void Release(HMODULE library) { FreeLibrary(library); }
};

struct HandleTraits {
    using Value = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Release(HANDLE handle) { CloseHandle(handle); }
};

struct VolumeSearchTraits {
    using Value = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Release(HANDLE search) { FindVolumeClose(search); }
};

using Library = Owned<LibraryTraits>;
using Handle = Owned<HandleTraits>;
using VolumeSearch = Owned<VolumeSearchTraits>;

// An export of library as the function pointer type F, or null.
template <class F>
F Export(const Library& library, const char* name) {
    if (!library) return nullptr;
    FARPROC address = GetProcAddress(library.get(), name);
    // Through a plain function type: the loader hands out one generic type.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
}

}  // namespace larkin

#endif
