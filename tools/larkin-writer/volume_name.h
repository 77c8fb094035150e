// The name the platform gives the volume at a drive letter. Drive letters
// and disk numbers are kept in a record per user (root's for the helper, the
// user's for the desktop program), so two of them can name one stick
// differently; a volume's name comes from the disk itself, and is how the
// helper knows it reached the drive the host chose.
#ifndef LARKIN_WRITER_VOLUME_NAME_H
#define LARKIN_WRITER_VOLUME_NAME_H

#include <string>
#include <string_view>

namespace larkin::writer {

// "\\?\Volume{...}\" of the volume mounted at letter ("E:"); "" when none is.
std::string VolumeNameAt(std::string_view letter);

}  // namespace larkin::writer

#endif
