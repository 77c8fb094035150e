#include "console/console_io.h"

#include <charconv>

namespace tessel::console {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

void Console::Line(std::string_view text) {
    out_.Insert(text);
    out_.Insert("\n");
    out_.Flush();
}

void Console::ErrorLine(std::string_view text) {
    err_.Insert(text);
    err_.Insert("\n");
    err_.Flush();
}

void Console::Write(std::string_view text) {
    out_.Insert(text);
    out_.Flush();
}

bool Console::NextWord(std::string& word) {
    std::string line;
    while (in_.ReadLine(line)) {
        std::size_t begin = 0;
        while (begin < line.size() && IsBlank(line[begin])) ++begin;
        if (begin == line.size()) continue;
        std::size_t end = begin;
        while (end < line.size() && !IsBlank(line[end])) ++end;
        word.assign(line, begin, end - begin);
        return true;
    }
    return false;
}

Read Console::ReadAnswer(char& answer) {
    std::string word;
    if (!NextWord(word)) return Read::end;
    answer = word[0];
    return Read::ok;
}

Read Console::ReadNumber(std::int64_t& number) {
    std::string word;
    if (!NextWord(word)) return Read::end;
    return ParseDecimal(word, number) ? Read::ok : Read::notNumber;
}

Read Console::ReadName(std::string& name, std::size_t maxLength) {
    std::string word;
    if (!NextWord(word)) return Read::end;
    if (word.size() > maxLength) return Read::tooLong;
    name = std::move(word);
    return Read::ok;
}

bool ParseDecimal(std::string_view word, std::int64_t& number) {
    bool plus = !word.empty() && word[0] == '+';
    if (plus) word.remove_prefix(1);
    if (word.empty() || (plus && word[0] == '-')) return false;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size()) return false;
    number = value;
    return true;
}

Console& EngineConsole() {
    static Console console(StandardOutput(), StandardError(), StandardInput());
    return console;
}

}  // namespace tessel::console
