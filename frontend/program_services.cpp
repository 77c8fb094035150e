#include "program_services.h"

#include <array>

#include "win32/windows.h"

namespace larkin::frontend {

QString PlatformWindowsDirectory() {
    std::array<char, 100> buffer{};
    UINT length = GetWindowsDirectoryA(buffer.data(), 99);
    if (length == 0 || length >= 99) return {};
    return QString::fromLocal8Bit(buffer.data(), static_cast<qsizetype>(length));
}

}  // namespace larkin::frontend
