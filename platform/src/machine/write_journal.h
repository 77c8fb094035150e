// The write journal: every write the platform makes to a disk, recorded
// before its first byte moves and marked done after, so that it is never
// short of the truth, even for a writer killed in between. One file, shared
// by every process that writes to the machine.
#ifndef LARKIN_PLATFORM_WRITE_JOURNAL_H
#define LARKIN_PLATFORM_WRITE_JOURNAL_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "win32/base.h"

namespace larkin::platform {

class WriteJournal {
  public:
    explicit WriteJournal(std::string file) : file_(std::move(file)) {}
    bool Active() const { return !file_.empty(); }
    // Why the journal's file cannot be one (a pipe or a device named there);
    // "" when it can.
    std::string Unusable() const;

    // Puts the write on record ("+ KEY DISK OFFSET LENGTH VIA"); an error
    // when it cannot, and then the write must not be made.
    DWORD Intent(const std::string& disk, uint64_t offset, uint64_t length, const std::string& via,
                 uint64_t* key);
    // "= KEY" after the write, "= KEY failed" after a failed one. A mark that
    // cannot be written leaves the entry open, which still covers the write.
    void Done(uint64_t key, bool completed);

    std::vector<larkin::controls::JournalEntry> Entries() const;
    DWORD Clear();

  private:
    DWORD Append(const std::string& line);

    std::string file_;
    std::atomic<uint64_t> next_{0};
};

}  // namespace larkin::platform

#endif
