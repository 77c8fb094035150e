#include "ascii_text.h"
#include "name_tables.h"

namespace verran {

namespace {

constexpr std::string_view kDelimiters = " ,\t\n";

}  // namespace

std::vector<std::string> SplitClassFilter(const char* classFilter) {
    std::string_view filter = classFilter != nullptr && *classFilter != '\0' ? classFilter : "*";
    std::vector<std::string> tokens;
    size_t at = filter.find_first_not_of(kDelimiters);
    while (at != std::string_view::npos) {
        size_t end = filter.find_first_of(kDelimiters, at);
        tokens.emplace_back(filter.substr(at, end - at));
        at = filter.find_first_not_of(kDelimiters, end);
    }
    return tokens;
}

bool TokenSelects(std::string_view token, const ClassFilterRow& row) {
    return (!token.empty() && token.front() == '*') || EqualsNoCase(token, row.name);
}

}  // namespace verran
