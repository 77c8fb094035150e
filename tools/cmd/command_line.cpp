#include "command_line.h"

namespace larkin::cmd {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

char UpperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

std::vector<std::string> SplitWords(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i >= line.size()) break;
        std::string word;
        bool quoted = false, any = false;
        for (; i < line.size() && (quoted || !IsBlank(line[i])); ++i) {
            if (line[i] == '"') {
                quoted = !quoted;
                any = true;
            } else {
                word += line[i];
            }
        }
        if (!word.empty() || any) words.push_back(word);
    }
    return words;
}

std::string QuoteWord(std::string_view word) {
    if (!word.empty() && word.find_first_of(" \t") == std::string_view::npos)
        return std::string(word);
    return "\"" + std::string(word) + "\"";
}

ShellRequest ParseShellLine(std::string_view line) {
    ShellRequest request;
    // Skip the program's own name (quoted or not).
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    bool quoted = false;
    for (; i < line.size() && (quoted || !IsBlank(line[i])); ++i)
        if (line[i] == '"') quoted = !quoted;
    // Switches up to /c.
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        std::string_view word = line.substr(start, i - start);
        if (word.empty()) break;
        if (EqualsNoCase(word, "/c")) {
            request.found = true;
            break;
        }
        if (word == "/?" || word == "--help" || word == "-h") request.help = true;
    }
    if (!request.found) return request;
    std::string_view rest = line.substr(i);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
    // cmd /c "format E: /Q": the outer quotes go when they enclose the line.
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
        rest.remove_prefix(1);
        rest.remove_suffix(1);
    }
    request.command = std::string(rest);
    return request;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i])) return false;
    return true;
}

std::string Upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = UpperChar(c);
    return result;
}

}  // namespace larkin::cmd
