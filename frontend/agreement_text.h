// The agreement file as the agreement window shows it: rich text turned
// into HTML by Debian's unrtf, or plain text where that cannot be done.
#ifndef LARKIN_FRONTEND_AGREEMENT_TEXT_H
#define LARKIN_FRONTEND_AGREEMENT_TEXT_H

#include <QByteArray>
#include <QString>

#include "failure.h"

namespace larkin::frontend {

struct AgreementText {
    bool isHtml = false;
    QString text;
};

// Agreement files larger than this are not shown (they cannot be one).
inline constexpr qint64 kAgreementSizeLimit = 8 * 1024 * 1024;

// Reads and converts the agreement file. A file that cannot be found or read,
// or is not a regular file of at most kAgreementSizeLimit bytes (a symbolic
// link is not followed), is failure 53. A file that is not rich text is shown as its text; rich
// text that the converter cannot handle (or no converter) as its plain text.
Failure LoadAgreementText(const QString& path, AgreementText* out,
                          const QString& converter = QStringLiteral("unrtf"));

// True when content starts like a rich-text file ("{\rtf", blanks and a
// UTF-8 byte-order mark before it allowed).
bool LooksLikeRichText(const QByteArray& content);

// The text of a rich-text document without control words, groups that hold
// no text (font and colour tables, pictures, ignorable destinations) left
// out. Tolerates any input.
QString RichTextToPlainText(const QByteArray& content);

// Runs the converter program on the rich text content and returns its HTML,
// with pictures removed; empty when it cannot (missing program, failure,
// time-out, no text).
QString ConvertRichTextToHtml(const QByteArray& content, const QString& converter);

}  // namespace larkin::frontend

#endif
