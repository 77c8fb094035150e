#include "write_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "posix.h"

namespace larkin::platform {

DWORD WriteJournal::Append(const std::string& line) {
    UniqueFd fd(::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
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
    std::ifstream in(file_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string mark, key;
        if (!(words >> mark >> key)) continue;
        if (mark == "=") {
            auto found = open.find(key);
            if (found == open.end()) continue;
            std::string outcome;
            words >> outcome;
            entries[found->second].completed = outcome.empty();
            open.erase(found);
            continue;
        }
        larkin::sim::JournalEntry entry;
        if (mark != "+" || !(words >> entry.disk >> entry.offset >> entry.length)) continue;
        entry.pid = std::strtol(key.c_str(), nullptr, 10);
        entry.completed = false;
        std::getline(words >> std::ws, entry.via);
        open[key] = entries.size();
        entries.push_back(entry);
    }
    return entries;
}

DWORD WriteJournal::Clear() {
    if (!Active()) return ERROR_SUCCESS;
    UniqueFd fd(::open(file_.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644));
    return fd.Valid() ? ERROR_SUCCESS : static_cast<DWORD>(ErrorFromErrno(errno));
}

}  // namespace larkin::platform
