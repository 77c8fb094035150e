// The agreement file as the agreement window gets it.
#include <QFile>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>
#include <array>
#include <sys/stat.h>

#include "agreement_text.h"
#include "fakes.h"

using namespace larkin::frontend;
using larkin::frontend::test::WriteFile;

namespace {

QString VisibleText(const AgreementText& text) {
    if (!text.isHtml) return text.text;
    QTextDocument document;
    document.setHtml(text.text);
    return document.toPlainText();
}

const QByteArray kAgreement =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}"
    "{\\colortbl;\\red0\\green0\\blue0;}\\f0\\fs20"
    "{\\b\\fs24 Heading\\par}Body text with caf\\'e9 and \\u8364? euro.\\par"
    "{\\*\\generator Writer;}{\\pict\\wmetafile8 0102ABCD}End.\\par}";

}  // namespace

class AgreementTextTest : public QObject {
    Q_OBJECT
  private slots:
    void RichTextBecomesFormattedHtml() {
        QTemporaryDir dir;
        AgreementText text;
        QVERIFY(!LoadAgreementText(WriteFile(dir.filePath("a.rtf"), kAgreement), &text));
        QVERIFY(text.isHtml);
        QVERIFY(text.text.contains("<b>"));
        QString visible = VisibleText(text);
        QVERIFY(visible.contains("Heading"));
        QVERIFY(visible.contains(QStringLiteral("caf\u00e9")));
        QVERIFY(visible.contains(QStringLiteral("\u20ac euro")));
        QVERIFY(!visible.contains("\\"));
        QVERIFY(!visible.contains("Arial"));
        QVERIFY(!visible.contains("ABCD"));
        QVERIFY(!text.text.contains("<img", Qt::CaseInsensitive));
    }

    // Without the converter, when it fails ("false" runs and fails without
    // output), and for a file that is no rich text.
    void PlainTextWhenNoHtmlCanBeMade() {
        QTemporaryDir dir;
        const QString rtf = WriteFile(dir.filePath("a.rtf"), kAgreement);
        const QString plain = WriteFile(dir.filePath("p.rtf"), "Plain terms {not rtf}\nline two");
        const QString converted =
            QStringLiteral("Heading\nBody text with caf\u00e9 and \u20ac euro.\nEnd.");
        const std::array<std::array<QString, 3>, 3> cases = {{
            {rtf, QStringLiteral("/nonexistent/unrtf"), converted},
            {rtf, QStringLiteral("false"), converted},
            {plain, QStringLiteral("unrtf"), QStringLiteral("Plain terms {not rtf}\nline two")},
        }};
        for (const auto& [file, converter, expected] : cases) {
            AgreementText text;
            QVERIFY(!LoadAgreementText(file, &text, converter));
            QVERIFY(!text.isHtml);
            QCOMPARE(text.text, expected);
        }
    }

    // Only a small regular file is an agreement: a pipe is not waited on, a
    // device not read without end, a link not followed out of the folder.
    void AnythingButASmallRegularFileIsFileNotFound() {
        QTemporaryDir dir;
        QString fifo = dir.filePath("fifo.rtf");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        QString link = dir.filePath("link.rtf");
        QVERIFY(QFile::link(WriteFile(dir.filePath("real.rtf"), kAgreement), link));
        QString large = WriteFile(dir.filePath("large.rtf"), "{\\rtf1 x}");
        QVERIFY(QFile::resize(large, kAgreementSizeLimit + 1));
        struct NoAgreement {
            QString path;
            const char* why;
        };
        for (const NoAgreement& bad : {
                 NoAgreement{dir.filePath("none.rtf"), "cannot be read"},
                 NoAgreement{dir.path(), "is a folder"},
                 NoAgreement{fifo, "is a FIFO"},
                 NoAgreement{link, "is a symbolic link"},
                 NoAgreement{QStringLiteral("/dev/zero"), "is a character device"},
                 NoAgreement{large, "is 8,388,609 bytes, more than the 8,388,608"},
             }) {
            AgreementText text;
            Failure failure = LoadAgreementText(bad.path, &text);
            QCOMPARE(failure.code, 53);
            QVERIFY2(failure.description.contains(bad.path + QStringLiteral(": ") + bad.why),
                     qPrintable(failure.description));
        }
    }

    void TruncatedRichTextShowsNoControlWords() {
        QTemporaryDir dir;
        AgreementText text;
        QVERIFY(!LoadAgreementText(WriteFile(dir.filePath("a.rtf"),
                                             "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0 "
                                             "Cut off here \\b bold"),
                                   &text));
        QString visible = VisibleText(text);
        QVERIFY(visible.contains("Cut off here"));
        QVERIFY(!visible.contains("\\"));
        QVERIFY(!visible.contains("fonttbl"));
    }

    void PlainTextReaderRules() {
        QCOMPARE(RichTextToPlainText("{\\rtf1 a\\tab b\\line c\\~d\\_e\\\\f\\{g\\}}"),
                 QStringLiteral("a\tb\nc\u00a0d-e\\f{g}"));
        // \ucN: N fallback characters after each \u are dropped.
        QCOMPARE(RichTextToPlainText("{\\rtf1\\uc2 \\u233xyZ}"), QStringLiteral("\u00e9Z"));
        QCOMPARE(RichTextToPlainText("{\\rtf1 \\u-3913?}"), QString(QChar(0xF0B7)));
        // Unbalanced braces and a trailing backslash are tolerated.
        QCOMPARE(RichTextToPlainText("}}{\\rtf1 x}}}\\"), QStringLiteral("x"));
        QCOMPARE(RichTextToPlainText("{\\rtf1 \\'4"), QStringLiteral("4"));
        QCOMPARE(RichTextToPlainText("{\\rtf1 \\verylongcontrolwordthatgoesonandonandonandon x}"),
                 QStringLiteral("x"));
        QVERIFY(LooksLikeRichText("\xEF\xBB\xBF  {\\rtf1}"));
        QVERIFY(!LooksLikeRichText("{\\rt"));
    }
};

QTEST_MAIN(AgreementTextTest)
#include "agreement_text_test.moc"
