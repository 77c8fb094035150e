#include "write_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>

#include "posix.h"

namespace larkin::platform {

namespace {
constexpr size_t kLongestLine = 4096;
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
    return Append("+ " + std::to_string(::getpid()) + "." + std::to_string(*key) + " " + disk +
                  " " + std::to_string(offset) + " " + std::to_string(length) + " " + via);
}

void WriteJournal::Done(uint64_t key, bool completed) {
    if (!Active()) return;
    Append("= " + std::to_string(::getpid()) + "." + std::to_string(key) +
           (completed ? "" : " failed"));
}

std::vector<larkin::sim::JournalEntry> WriteJournal::Entries() const {
    std::vector<larkin::sim::JournalEntry> entries;
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
        larkin::sim::JournalEntry entry;
        if (mark != "+" || !(words >> entry.disk >> entry.offset >> entry.length)) return;
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
