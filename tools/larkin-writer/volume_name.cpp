#include "volume_name.h"

#include <array>

#include "larkin/ascii_text.h"
#include "larkin/owned.h"
#include "win32/volumes.h"

namespace larkin::writer {
namespace {

// Whether the volume's mount paths hold root ("E:\").
bool MountedAt(const char* volume, const std::string& root) {
    std::array<char, 1024> paths{};
    DWORD returned = 0;
    if (!GetVolumePathNamesForVolumeNameA(volume, paths.data(), static_cast<DWORD>(paths.size()),
                                          &returned))
        return false;
    paths.back() = paths[paths.size() - 2] = '\0';
    for (const char* path = paths.data(); *path != '\0'; path += std::string_view(path).size() + 1)
        if (EqualsNoCase(path, root)) return true;
    return false;
}

}  // namespace

std::string VolumeNameAt(std::string_view letter) {
    if (letter.size() < 2 || letter[1] != ':') return {};
    const std::string root = std::string(letter.substr(0, 2)) + "\\";
    std::array<char, MAX_PATH> name{};
    VolumeSearch search(FindFirstVolumeA(name.data(), static_cast<DWORD>(name.size())));
    if (!search) return {};
    do {
        if (MountedAt(name.data(), root)) return name.data();
    } while (FindNextVolumeA(search.get(), name.data(), static_cast<DWORD>(name.size())));
    return {};
}

}  // namespace larkin::writer
