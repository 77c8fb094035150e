#include "agreement_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <vector>

#include "image_catalog.h"

namespace larkin::frontend {
namespace {

constexpr int kConverterTimeoutMs = 15000;

// Groups whose text is not part of the document.
bool IsSkippedDestination(std::string_view word) {
    static constexpr std::string_view kSkipped[] = {"fonttbl",
                                                    "colortbl",
                                                    "stylesheet",
                                                    "info",
                                                    "pict",
                                                    "object",
                                                    "header",
                                                    "headerl",
                                                    "headerr",
                                                    "headerf",
                                                    "footer",
                                                    "footerl",
                                                    "footerr",
                                                    "footerf",
                                                    "fldinst",
                                                    "themedata",
                                                    "colorschememapping",
                                                    "datastore",
                                                    "latentstyles",
                                                    "listtable",
                                                    "listoverridetable",
                                                    "rsidtbl",
                                                    "generator",
                                                    "xmlnstbl",
                                                    "mmathPr",
                                                    "filetbl",
                                                    "revtbl",
                                                    "bkmkstart",
                                                    "bkmkend",
                                                    "nonshppict",
                                                    "userprops",
                                                    "docvar",
                                                    "pgdsctbl"};
    for (std::string_view skipped : kSkipped)
        if (word == skipped) return true;
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

bool LooksLikeRichText(const QByteArray& content) {
    QByteArray start = content.left(64);
    if (start.startsWith("\xEF\xBB\xBF")) start.remove(0, 3);
    return start.trimmed().startsWith("{\\rtf");
}

QString RichTextToPlainText(const QByteArray& content) {
    struct Group {
        bool skip = false;
        int unicodeSkip = 1;  // \ucN: characters that stand for a \u character
    };
    std::vector<Group> groups{Group{}};
    QString text;
    int pendingSkip = 0;  // fallback characters still to drop after \u
    const char* p = content.constData();
    const char* end = p + content.size();
    auto put = [&](QChar c) {
        if (pendingSkip > 0) {
            --pendingSkip;
            return;
        }
        if (!groups.back().skip) text.append(c);
    };
    while (p < end) {
        char c = *p++;
        if (c == '{') {
            // Nesting is bounded: a deeper group is read as part of its parent.
            if (groups.size() < 256) groups.push_back(groups.back());
            pendingSkip = 0;
        } else if (c == '}') {
            if (groups.size() > 1) groups.pop_back();
            pendingSkip = 0;
        } else if (c == '\r' || c == '\n') {
            continue;
        } else if (c != '\\') {
            put(QChar::fromLatin1(c));
        } else if (p == end) {
            break;
        } else if (IsLetter(*p)) {
            const char* wordStart = p;
            while (p < end && IsLetter(*p) && p - wordStart < 32) ++p;
            std::string_view word(wordStart, static_cast<size_t>(p - wordStart));
            while (p < end && IsLetter(*p)) ++p;  // an overlong word is dropped whole
            bool negative = p < end && *p == '-';
            if (negative) ++p;
            bool hasNumber = false;
            long number = 0;
            for (int digits = 0; p < end && *p >= '0' && *p <= '9'; ++p, ++digits) {
                if (digits < 9) number = number * 10 + (*p - '0');
                hasNumber = true;
            }
            if (negative) number = -number;
            if (p < end && *p == ' ') ++p;
            if (word == "par" || word == "line" || word == "sect" || word == "page" ||
                word == "row") {
                put(u'\n');
            } else if (word == "tab" || word == "cell") {
                put(u'\t');
            } else if (word == "u" && hasNumber) {
                long code = number < 0 ? number + 65536 : number;
                put(code > 0 && code < 65536 ? QChar(static_cast<char16_t>(code)) : QChar(u'?'));
                pendingSkip = groups.back().unicodeSkip;
            } else if (word == "uc" && hasNumber) {
                groups.back().unicodeSkip = number < 0 || number > 8 ? 1 : static_cast<int>(number);
            } else if (word == "emdash") {
                put(QChar(0x2014));
            } else if (word == "endash") {
                put(QChar(0x2013));
            } else if (word == "bullet") {
                put(QChar(0x2022));
            } else if (word == "lquote" || word == "rquote") {
                put(u'\'');
            } else if (word == "ldblquote" || word == "rdblquote") {
                put(u'"');
            } else if (IsSkippedDestination(word)) {
                groups.back().skip = true;
            }
        } else {
            char symbol = *p++;
            if (symbol == '\'') {
                int high = p < end ? HexDigit(*p) : -1;
                int low = p + 1 < end ? HexDigit(p[1]) : -1;
                if (high >= 0 && low >= 0) {
                    p += 2;
                    put(QChar::fromLatin1(static_cast<char>(high * 16 + low)));
                }
            } else if (symbol == '*') {
                groups.back().skip = true;
            } else if (symbol == '~') {
                put(QChar(0x00A0));
            } else if (symbol == '_') {
                put(u'-');
            } else if (symbol == '\r' || symbol == '\n') {
                put(u'\n');
            } else if (symbol == '\\' || symbol == '{' || symbol == '}') {
                put(QChar::fromLatin1(symbol));
            }
            // Other control symbols (\-, \|, \:) have no text.
        }
    }
    return text.trimmed();
}

QString ConvertRichTextToHtml(const QByteArray& content, const QString& converter) {
    // The converter may write picture files into its folder; give it one
    // that goes away. It reads the text already read, never the file again.
    QTemporaryDir scratch;
    if (!scratch.isValid()) return {};
    QString copy = QDir(scratch.path()).filePath(QStringLiteral("agreement.rtf"));
    QFile file(copy);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) return {};
    file.close();
    QProcess process;
    process.setWorkingDirectory(scratch.path());
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(converter, {QStringLiteral("--html"), QStringLiteral("--nopict"), copy});
    if (!process.waitForStarted()) return {};
    QByteArray html;
    while (process.state() != QProcess::NotRunning) {
        if (!process.waitForReadyRead(kConverterTimeoutMs) &&
            process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
            return {};
        }
        html += process.readAllStandardOutput();
        process.readAllStandardError();
        if (html.size() > kAgreementSizeLimit * 8) {
            process.kill();
            process.waitForFinished();
            return {};
        }
    }
    html += process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return {};
    QString result = QString::fromUtf8(html);
    static const QRegularExpression kPicture(QStringLiteral("<img[^>]*>"),
                                             QRegularExpression::CaseInsensitiveOption);
    result.remove(kPicture);
    static const QRegularExpression kTags(QStringLiteral("<[^>]*>|&nbsp;"));
    static const QRegularExpression kHead(
        QStringLiteral("<head>.*</head>"),
        QRegularExpression::DotMatchesEverythingOption | QRegularExpression::CaseInsensitiveOption);
    QString visible = result;
    visible.remove(kHead);
    visible.remove(kTags);
    if (visible.trimmed().isEmpty()) return {};
    return result;
}

Failure LoadAgreementText(const QString& path, AgreementText* out, const QString& converter) {
    *out = {};
    QByteArray content;
    QString why;
    if (ReadImageFile(path, kAgreementSizeLimit, &content, &why) != 0)
        return {runtime_error::kFileNotFound, QStringLiteral("File not found: %1").arg(why)};
    if (!LooksLikeRichText(content)) {
        out->text = DecodeSystemText(content);
        return {};
    }
    QString html = ConvertRichTextToHtml(content, converter);
    if (!html.isEmpty()) {
        out->isHtml = true;
        out->text = html;
    } else {
        out->text = RichTextToPlainText(content);
    }
    return {};
}

}  // namespace larkin::frontend
