// What the tests read back from a simulated machine's volumes and disks.
#ifndef LARKIN_TESTS_TOOLS_FAT_VOLUME_PROBE_H
#define LARKIN_TESTS_TOOLS_FAT_VOLUME_PROBE_H

#include <string>

namespace larkin::test {

// The boot sector's file system type and label (both as stored), hidden
// sectors, heads/sectors per track, drive number and total sectors, then
// fsck.fat -n's verdict over a copy of the volume's bytes:
// "FAT16   |FREEDOS    |63|255/63|80|262081|clean".
std::string VolumeSummary(const std::string& drive);
// The write journal, one line per entry ("stick1 32256+8356352 via mcopy"),
// for assertions that show what was written.
std::string JournalText();

}  // namespace larkin::test

#endif
