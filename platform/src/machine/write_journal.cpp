#include "write_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>

#include "runtime/posix.h"
#include "larkin/test_controls.h"

namespace larkin::platform {

namespace {
constexpr size_t kLongestLine = 4096;

// A disk's key as one word of a line: a hardware key carries the model's
// name, spaces and all. Every byte outside printable ASCII, and '%', is
// written %XX.
std::string Word(std::string_view key) {
    std::string word;
    for (unsigned char c : key) {
        if (c > 0x20 && c < 0x7F && c != '%') {
            word += static_cast<char>(c);
        } else {
            constexpr char kHex[] = "0123456789ABCDEF";
            word += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return word;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A '%' not followed by two hex digits stands for itself, as it did in
// journals written before keys were escaped.
std::string KeyOf(std::string_view word) {
    std::string key;
    for (size_t i = 0; i < word.size(); ++i) {
        int high = 0, low = 0;
        if (word[i] == '%' && i + 2 < word.size() && (high = HexValue(word[i + 1])) >= 0 &&
            (low = HexValue(word[i + 2])) >= 0) {
            key += static_cast<char>(high << 4 | low);
            i += 2;
        } else {
            key += word[i];
        }
    }
    return key;
}
}  // namespace

std::string WriteJournal::Unusable() const {
    if (!Active()) return {};
    std::string why;
    UniqueFd fd = OpenRegularFile(file_, O_RDONLY, &why);
    // Not there yet, or not readable here: the first write says so.
    if (fd.Valid() || errno == ENOENT || errno == EACCES) return {};
    return "the write journal " + file_ + " " + why;
}

DWORD WriteJournal::Append(const std::string& line) {
    UniqueFd fd = OpenRegularFile(file_, O_WRONLY | O_APPEND | O_CREAT, nullptr);
    if (!fd.Valid()) return static_cast<DWORD>(ErrorFromErrno(errno));
    // One write per entry keeps lines from different processes whole.
    std::string text = line + "\n";
    ssize_t written = ::write(fd.Get(), text.data(), text.size());
    if (written < 0) return static_cast<DWORD>(ErrorFromErrno(errno));
    return static_cast<size_t>(written) == text.size() ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

DWORD WriteJournal::Intent(const std::string& disk, uint64_t offset, uint64_t length,
                           const std::string& via, uint64_t* key) {
    *key = ++next_;
    if (!Active()) return ERROR_SUCCESS;
    return Append("+ " + std::to_string(::getpid()) + "." + std::to_string(*key) + " " +
                  Word(disk) + " " + std::to_string(offset) + " " + std::to_string(length) + " " +
                  via);
}

void WriteJournal::Done(uint64_t key, bool completed) {
    if (!Active()) return;
    Append("= " + std::to_string(::getpid()) + "." + std::to_string(key) +
           (completed ? "" : " failed"));
}

std::vector<larkin::controls::JournalEntry> WriteJournal::Entries() const {
    std::vector<larkin::controls::JournalEntry> entries;
    if (!Active()) return entries;
    std::map<std::string, size_t> open;
    auto take = [&](const std::string& line) {
        std::istringstream words(line);
        std::string mark, key;
        if (!(words >> mark >> key)) return;
        if (mark == "=") {
            auto found = open.find(key);
            if (found == open.end()) return;
            std::string outcome;
            words >> outcome;
            entries[found->second].completed = outcome.empty();
            open.erase(found);
            return;
        }
        larkin::controls::JournalEntry entry;
        if (mark != "+" || !(words >> entry.disk >> entry.offset >> entry.length)) return;
        entry.disk = KeyOf(entry.disk);
        entry.pid = std::strtol(key.c_str(), nullptr, 10);
        entry.completed = false;
        std::getline(words >> std::ws, entry.via);
        open[key] = entries.size();
        entries.push_back(entry);
    };
    // Read as it comes, one line at a time: the journal grows with every
    // write ever made, and a line longer than any entry is none.
    UniqueFd fd = OpenRegularFile(file_, O_RDONLY, nullptr);
    if (!fd.Valid()) return entries;
    std::string line;
    char chunk[8192];
    for (ssize_t got; (got = ::read(fd.Get(), chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                if (line.size() <= kLongestLine) line += chunk[i];
                continue;
            }
            if (line.size() <= kLongestLine) take(line);
            line.clear();
        }
    }
    if (!line.empty() && line.size() <= kLongestLine) take(line);
    return entries;
}

DWORD WriteJournal::Clear() {
    if (!Active()) return ERROR_SUCCESS;
    UniqueFd fd = OpenRegularFile(file_, O_WRONLY | O_TRUNC | O_CREAT, nullptr);
    return fd.Valid() ? ERROR_SUCCESS : static_cast<DWORD>(ErrorFromErrno(errno));
}

}  // namespace larkin::platform
