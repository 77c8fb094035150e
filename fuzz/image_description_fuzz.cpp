// The image description reader (fi.ini) on any bytes: it must never fail,
// and what it reads must follow its rules.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "image_catalog.h"

namespace {

void Require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "image description read against the rule: %s\n", rule);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace larkin::frontend;
    QByteArray content(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    FileImageEntry entry = ParseImageDescription(content);
    // No value is longer than the input, and none holds a line end (a CR
    // only inside a line).
    for (const QString* value : {&entry.imageDir, &entry.eulaFile, &entry.imageName}) {
        Require(value->size() <= static_cast<qsizetype>(size), "a value longer than the file");
        Require(!value->contains(u'\n'), "a value holding a line end");
    }
    // The value after the first "=" is a suffix of its line.
    QString line = DecodeSystemText(content);
    QString value = ValueAfterFirstEquals(line);
    Require(line.endsWith(value), "a value that is not the end of its line");
    Require(IsPlainName(entry.imageDir) ==
                (!entry.imageDir.isEmpty() && !entry.imageDir.contains(u'/') &&
                 !entry.imageDir.contains(u'\\') && !entry.imageDir.contains(QChar(0)) &&
                 entry.imageDir != u"." && entry.imageDir != u".."),
            "a folder name judged plain against the rule");
    return 0;
}
