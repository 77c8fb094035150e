#include "registry_text.h"

#include <algorithm>
#include <vector>

#include "name_tables.h"

namespace verran {

std::string RegistryDataText(std::span<const BYTE> data) {
    bool text = std::all_of(data.begin(), data.end(),
                            [](BYTE b) { return b == 0 || (b >= 0x20 && b <= 0x7E); });
    if (text) {
        auto end = std::find(data.begin(), data.end(), BYTE{0});
        return std::string(data.begin(), end);
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(data.size() * 3);
    for (BYTE b : data) {
        if (!hex.empty()) hex.push_back(' ');
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0x0F]);
    }
    return hex;
}

std::optional<std::string> ReadRegistryProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA& device,
                                                DWORD code) {
    std::vector<BYTE> buffer;
    DWORD type = 0;
    DWORD required = 0;
    while (!SetupDiGetDeviceRegistryPropertyA(deviceSet, &device, code, &type,
                                              buffer.empty() ? nullptr : buffer.data(),
                                              static_cast<DWORD>(buffer.size()), &required)) {
        // A size that does not grow would ask again forever.
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size())
            return std::nullopt;
        buffer.resize(required);
    }
    return RegistryDataText(std::span(buffer).first(std::min<size_t>(required, buffer.size())));
}

void ReadAllRegistryProperties(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, PropertyMap& map) {
    SP_DEVINFO_DATA first{};
    if (device == nullptr) {
        first.cbSize = sizeof first;
        if (!SetupDiEnumDeviceInfo(deviceSet, 0, &first)) return;
        device = &first;
    }
    for (const auto& row : PropertyNameTable) {
        if (IsOwnProperty(row.code)) continue;
        if (auto value = ReadRegistryProperty(deviceSet, *device, row.code))
            AddProperty(map, row.name, *value);
    }
}

}  // namespace verran
