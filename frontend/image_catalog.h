// The image catalogue: one row per boot image found under File_Images, read
// from each image folder's fi.ini.
#ifndef LARKIN_FRONTEND_IMAGE_CATALOG_H
#define LARKIN_FRONTEND_IMAGE_CATALOG_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>

namespace larkin::frontend {

struct FileImageEntry {
    QString eulaFile;   // agreement file name inside imageDir, or "NONE" in any case
    QString imageName;  // shown in the image list
    QString imageDir;   // folder under File_Images holding the image's files
};

inline constexpr int kCatalogCapacity = 256;

struct ImageCatalog {
    std::array<FileImageEntry, kCatalogCapacity> rows;
    // Index of the last image found; -1 while empty. It keeps counting past
    // the last row, so it may exceed kCatalogCapacity - 1.
    int lastIndex = -1;

    int Count() const { return lastIndex < kCatalogCapacity ? lastIndex + 1 : kCatalogCapacity; }

    // Why a description could not be read, one line each naming the file
    // (its image is listed all the same, with empty values).
    QStringList problems;
};

// The description file of an image folder.
inline constexpr char kDescriptionFile[] = "fi.ini";
// Only the first bytes of a description are read: four short lines fit many
// times over, and a large or binary file costs nothing.
inline constexpr qsizetype kDescriptionReadLimit = 64 * 1024;

// A small file of an image folder (its description, its agreement): only a
// regular file, not a symbolic link, read whole when it has at most limit
// bytes (with firstBytes, a larger one gives its first limit bytes). A pipe
// or a device is refused at once rather than waited on. 0, or the system's
// error code with a line naming the file in why.
uint32_t ReadImageFile(const QString& path, qsizetype limit, QByteArray* content, QString* why,
                       bool firstBytes = false);

// Text in the system's 8-bit code page. The code page here is UTF-8; bytes
// that are not valid UTF-8 are taken as Latin-1, so every byte stays a
// character.
QString DecodeSystemText(const QByteArray& bytes);

// Everything after the first "=" exactly as written; the whole line when it
// has none.
QString ValueAfterFirstEquals(const QString& line);

// Lines 2 to 4 of a description (line 1 is ignored, later lines too). Lines
// end at LF or CR LF; a line the text does not have gives an empty value.
FileImageEntry ParseImageDescription(const QByteArray& content);

enum class CatalogLoad {
    Loaded,         // the folder exists and has sub-folders (possibly no image)
    FolderMissing,  // no File_Images folder
    NoSubFolders,   // File_Images holds no folder
};

// Reads every sub-folder of imagesFolder that holds a description, in name
// order, into catalog (rows beyond the capacity are counted, not stored) and
// appends each stored image's name to names.
CatalogLoad LoadImageCatalog(const QString& imagesFolder, ImageCatalog& catalog,
                             QStringList& names);

// True when the agreement file name means "no agreement".
bool HasNoAgreement(const FileImageEntry& entry);

// A single folder or file name: not empty, not "." or "..", no separator.
// Names from a description are used as one path element only.
bool IsPlainName(const QString& name);

// The path of the entry called name in folder, letter case ignored as file
// names are on the system the images are made for (an exact match first);
// empty when there is none or name is not a plain name.
QString FindEntry(const QString& folder, const QString& name);

// The file the boot sector written by the make-bootable flow loads from the
// drive's root directory.
inline constexpr char kKernelFile[] = "KERNEL.SYS";

// True when imageFolder holds kKernelFile (any letter case) as a file: a
// drive made from a folder without it does not start.
bool HoldsKernel(const QString& imageFolder);

}  // namespace larkin::frontend

#endif
