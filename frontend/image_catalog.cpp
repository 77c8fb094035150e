#include "image_catalog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <array>

#include "larkin/platform.h"

namespace larkin::frontend {

QString DecodeSystemText(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes);
}

uint32_t ReadImageFile(const QString& path, qsizetype limit, QByteArray* content, QString* why,
                       bool firstBytes) {
    content->clear();
    QByteArray bytes(limit, Qt::Uninitialized);
    QByteArray name = QFile::encodeName(path);
    std::array<char, 512> line{};
    DWORD size = 0;
    DWORD flags = LARKIN_READ_NO_LINK | (firstBytes ? LARKIN_READ_FIRST_BYTES : 0u);
    DWORD error =
        LarkinReadSmallFile(name.constData(), static_cast<DWORD>(limit), flags, bytes.data(), &size,
                            line.data(), static_cast<DWORD>(line.size()));
    if (error != ERROR_SUCCESS) {
        if (why) *why = QString::fromLocal8Bit(line.data());
        return error;
    }
    bytes.truncate(size);
    *content = std::move(bytes);
    return 0;
}

QString ValueAfterFirstEquals(const QString& line) {
    qsizetype equals = line.indexOf(u'=');
    return equals < 0 ? line : line.mid(equals + 1);
}

FileImageEntry ParseImageDescription(const QByteArray& content) {
    QByteArray lines[4];
    qsizetype start = 0;
    for (int i = 0; i < 4 && start < content.size(); ++i) {
        qsizetype end = content.indexOf('\n', start);
        if (end < 0) end = content.size();
        QByteArray line = content.mid(start, end - start);
        if (line.endsWith('\r')) line.chop(1);
        lines[i] = line;
        start = end + 1;
    }
    FileImageEntry entry;
    entry.imageDir = ValueAfterFirstEquals(DecodeSystemText(lines[1]));
    entry.eulaFile = ValueAfterFirstEquals(DecodeSystemText(lines[2]));
    entry.imageName = ValueAfterFirstEquals(DecodeSystemText(lines[3]));
    return entry;
}

CatalogLoad LoadImageCatalog(const QString& imagesFolder, ImageCatalog& catalog,
                             QStringList& names) {
    QDir folder(imagesFolder);
    if (!QFileInfo(imagesFolder).isDir()) return CatalogLoad::FolderMissing;
    const QStringList subFolders =
        folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    if (subFolders.isEmpty()) return CatalogLoad::NoSubFolders;
    for (const QString& name : subFolders) {
        QString path = FindEntry(folder.filePath(name), QLatin1String(kDescriptionFile));
        if (path.isEmpty() || QFileInfo(path).isDir()) continue;
        QFileInfo description(path);
        ++catalog.lastIndex;
        if (catalog.lastIndex >= kCatalogCapacity) continue;
        // An unreadable description still lists the image, with empty values.
        QByteArray content;
        QString why;
        if (ReadImageFile(description.filePath(), kDescriptionReadLimit, &content, &why, true) != 0)
            catalog.problems.append(why);
        FileImageEntry& row = catalog.rows[static_cast<size_t>(catalog.lastIndex)];
        row = ParseImageDescription(content);
        names.append(row.imageName);
    }
    return CatalogLoad::Loaded;
}

QString FindEntry(const QString& folder, const QString& name) {
    QDir dir(folder);
    if (!IsPlainName(name) || !dir.exists()) return {};
    if (dir.exists(name)) return dir.filePath(name);
    const QStringList entries = dir.entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& entry : entries)
        if (entry.compare(name, Qt::CaseInsensitive) == 0) return dir.filePath(entry);
    return {};
}

bool HoldsKernel(const QString& imageFolder) {
    QString kernel = FindEntry(imageFolder, QLatin1String(kKernelFile));
    return !kernel.isEmpty() && QFileInfo(kernel).isFile();
}

bool HasNoAgreement(const FileImageEntry& entry) {
    return entry.eulaFile.toUpper() == u"NONE";
}

bool IsPlainName(const QString& name) {
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
           !name.contains(u'\\') && !name.contains(QChar(0));
}

}  // namespace larkin::frontend
