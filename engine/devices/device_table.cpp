#include "devices/device_table.h"

#include <algorithm>
#include <cstring>

namespace tessel {

DeviceTable CurrentTable{};
DeviceTable BaselineTable{};
DeviceTable ProbeTable{};

void CopyField(std::span<char> field, std::string_view text) {
    if (field.empty()) return;
    std::size_t length = std::min(text.size(), field.size() - 1);
    std::memcpy(field.data(), text.data(), length);
    std::fill(field.begin() + static_cast<std::ptrdiff_t>(length), field.end(), '\0');
}

std::string_view FieldText(std::span<const char> field) {
    const char* end = std::find(field.data(), field.data() + field.size(), '\0');
    return {field.data(), static_cast<std::size_t>(end - field.data())};
}

void ClearRows(DeviceTable& table) {
    table.rows.fill(DeviceEntry{});
}

std::int32_t LimitToRows(std::int64_t count) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(count, INT32_MIN, kTableRows));
}

bool IsListedRow(const DeviceTable& table, int index) {
    return index >= 0 && index < table.count && index < kTableRows;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace tessel
