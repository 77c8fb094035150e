// The parts below the windows.
#include <sys/stat.h>
#include <unistd.h>

#include "fakes.h"
#include "output_capture.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

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

class UnitsTest : public QObject {
    Q_OBJECT
  private slots:
    void ErrorHandlerTitlesAndSystemErrors() {
        // The titles the window tests do not meet.
        QStringList titles;
        for (int code : {57, 68, 69, 70, 71, 75}) titles << MessageForFailure({code, "why"}).title;
        QCOMPARE(titles, (QStringList{"USB Drive Not Available"}
                          << QStringList(4, "USB Drive Is Not Ready") << "File Image Not Found"));
        // System errors by what was being done.
        using enum FailureContext;
        const std::tuple<int, FailureContext, int> codes[] = {
            {112, Drive, 61}, {3, ImageFolder, 76}, {2, ImageFolder, 76}, {2, Agreement, 53},
            {2, Drive, 68},   {1167, Drive, 68},    {15, Drive, 68},      {21, Drive, 71},
            {5, Drive, 70},   {5, ImageFolder, 75}, {31, Drive, 57},      {1460, Drive, 1460}};
        for (auto [error, context, code] : codes)
            QCOMPARE(FailureFromSystemError(error, context).code, code);
        QVERIFY(!FailureFromSystemError(0, Drive));
        QVERIFY(FailureFromSystemError(1460, Drive, "mcopy").description.contains("mcopy"));
    }

    // Under a capture also what programs write to the descriptor, and
    // nothing after it.
    void EngineOutputIsReadLineByLine() {
        std::vector<std::string> lines;
        std::string pending;
        auto keep = [&](std::string_view line) { lines.emplace_back(line); };
        TakeLines(pending, "\n Drive letter not found\n\n Copying Boot", keep);
        TakeLines(pending, " Files.....\r\n....Done\n", keep);
        QCOMPARE(lines, (std::vector<std::string>{"Drive letter not found",
                                                  "Copying Boot Files.....", "....Done"}));
        QVERIFY(pending.empty());
        lines.clear();
        {
            // Its reader thread is joined before the lines are read here.
            OutputCapture capture(keep);
            QVERIFY(capture.active());
            std::printf("\n first line\n");
            std::fflush(stdout);
            QCOMPARE(::write(STDOUT_FILENO, "second\nunfinished", 17), ssize_t{17});
        }
        std::printf("\nafter\n");
        std::fflush(stdout);
        QCOMPARE(lines, (std::vector<std::string>{"first line", "second", "unfinished"}));
    }

    // The platform's own library is no engine: it has none of the entries.
    void EngineBoundByName() {
        QCOMPARE(TesselEngine("NoSuchEngineLibrary").GetUSBDevCount().failure.code,
                 runtime_error::kDllLoad);
        TesselEngine other("LarkinPlatform");
        EngineResult create = other.CreateUSBBoot("Q:", "A:", 0);
        QCOMPARE(create.failure.code, runtime_error::kDllEntryPoint);
        QVERIFY(create.failure.description.contains("CreateUSBBoot"));
        std::array<char, 16> small{};
        QCOMPARE(other.GetUSBDevInfo(0, small).value, 6);
    }

    void ImageDescriptionLines() {
        // clang-format off
        const std::pair<QByteArray, QString> cases[] = {
            {"x=y\r\nFolder=FreeDOS\r\nAgreement=a=b.rtf\r\nName= Spaced \r\n", "FreeDOS|a=b.rtf| Spaced "},
            {"h\nDir\nNONE\nWhole name\n", "Dir|NONE|Whole name"},
            {"h\nk=D\nk=E\nk=N\nk=later\n", "D|E|N"},
            {"h\nk=D\nk=E", "D|E|"},
            {"", "||"},
            {"h\r\nk=D\nk=E\r\nk=N\rM\n", "D|E|N\rM"},
            {"h\nk=D\nk=E\nk=Caf\xE9\n", QStringLiteral("D|E|Caf\u00e9")},
            {"h\nk=D\nk=E\nk=Caf\xC3\xA9\n", QStringLiteral("D|E|Caf\u00e9")},
            {QByteArray("\x00\xff\n\x01=\x02\x00x", 9), QString::fromLatin1("\x02\x00x\x00||", 6)},
        };
        // clang-format on
        for (const auto& [text, expected] : cases) {
            FileImageEntry entry = ParseImageDescription(text);
            QCOMPARE(entry.imageDir + '|' + entry.eulaFile + '|' + entry.imageName, expected);
        }
        QVERIFY(HasNoAgreement({"nOnE", {}, {}}) && !HasNoAgreement({" NONE", {}, {}}));
        QVERIFY(IsPlainName("LarkinDemo") && IsPlainName(" spaced "));
        for (const char* bad : {"", ".", "..", "a/b", "a\\b", "/abs"})
            QVERIFY2(!IsPlainName(bad), bad);
    }

    // A description that cannot be read lists its image with empty values,
    // at once and with the reason; 256 images at most.
    void ImageFolderWalk() {
        ImageCatalog catalog;
        QStringList names;
        QTemporaryDir root;
        QDir images(root.path());
        WriteFile(images.filePath("loose-file.txt"), "not a folder");
        QVERIFY(LoadImageCatalog(root.path(), catalog, names) == CatalogLoad::NoSubFolders);
        QCOMPARE(catalog.Count(), 0);
        AddImage(root.path(), "Beta", "h\nk=Beta\nk=NONE\nk=Second\n");
        AddImage(root.path(), "Alpha", "h\nk=Alpha\nk=NONE\nk=First\n");
        AddImage(root.path(), "Big", "h\nk=Big\nk=NONE\nk=" + QByteArray(200000, 'n') + "\n");
        QVERIFY(images.mkpath("Empty") && images.mkpath("Upper") && images.mkpath("Pipe"));
        WriteFile(images.filePath("Upper/FI.INI"), "h\nk=Upper\nk=NONE\nk=Third\n");
        AddImage(root.path(), "Locked", "h\nk=Locked\nk=NONE\nk=Name\n");
        QFile::setPermissions(images.filePath("Locked/fi.ini"), QFileDevice::Permissions{});
        QCOMPARE(::mkfifo(QFile::encodeName(images.filePath("Pipe/fi.ini")).constData(), 0644), 0);
        AddImage(root.path(), "Real", "h\nk=Real\nk=NONE\nk=Secret\n");
        QVERIFY(images.mkpath("Link"));
        QVERIFY(QFile::link(images.filePath("Real/fi.ini"), images.filePath("Link/fi.ini")));
        QVERIFY(LoadImageCatalog(root.path(), catalog, names) == CatalogLoad::Loaded);
        QVERIFY(names.value(2).size() < kDescriptionReadLimit && names[2].startsWith("nnn"));
        names[2] = "Big";
        if (names[4] == "Name") names[4].clear();  // root reads it
        QCOMPARE(names, (QStringList{"First", "Second", "Big", "", "", "", "Secret", "Third"}));
        QCOMPARE(catalog.lastIndex, 7);
        QString problems = catalog.problems.join(u'\n');
        QVERIFY2(problems.contains(images.filePath("Link/fi.ini") + ": is a symbolic link") &&
                     problems.contains(images.filePath("Pipe/fi.ini") + ": is a FIFO"),
                 qPrintable(problems));
        QTemporaryDir many;
        for (int i = 0; i < 300; ++i) {
            QString name = QString("img%1").arg(i, 3, 10, QChar(u'0'));
            AddImage(many.path(), name, "h\nk=" + name.toUtf8() + "\nk=NONE\nk=N\n");
        }
        catalog = {};
        names.clear();
        LoadImageCatalog(many.path(), catalog, names);
        QCOMPARE(
            QString("%1 %2 ").arg(names.size()).arg(catalog.Count()) + catalog.rows[255].imageDir,
            "256 256 img255");
    }

    void AgreementRichTextBecomesFormattedHtmlOrPlainText() {
        QTemporaryDir dir;
        AgreementText text;
        QVERIFY(!LoadAgreementText(WriteFile(dir.filePath("a.rtf"), kAgreement), &text));
        QVERIFY(text.isHtml && text.text.contains("<b>"));
        QVERIFY(!text.text.contains("<img", Qt::CaseInsensitive));
        const QString converted =
            QStringLiteral("Heading\nBody text with caf\u00e9 and \u20ac euro.\nEnd.");
        QCOMPARE(VisibleText(text).trimmed(), converted);
        const QString cut = WriteFile(dir.filePath("b.rtf"),
                                      "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0 Cut \\b bold");
        QVERIFY(!LoadAgreementText(cut, &text));
        QCOMPARE(VisibleText(text).trimmed(), "Cut bold");

        // Plain text when no HTML can be made.
        const QString rtf = dir.filePath("a.rtf");
        const QString plain = WriteFile(dir.filePath("p.rtf"), "Plain terms {not rtf}\nline two");
        const std::array<std::array<QString, 3>, 3> cases = {{
            {rtf, "/nonexistent/unrtf", converted},
            {rtf, "false", converted},
            {plain, "unrtf", "Plain terms {not rtf}\nline two"},
        }};
        for (const auto& [file, converter, expected] : cases) {
            QVERIFY(!LoadAgreementText(file, &text, converter) && !text.isHtml);
            QCOMPARE(text.text, expected);
        }
        // clang-format off
        const std::pair<QByteArray, QString> rules[] = {
            {"{\\rtf1 a\\tab b\\line c\\~d\\_e\\\\f\\{g\\}}", QStringLiteral("a\tb\nc\u00a0d-e\\f{g}")},
            {"{\\rtf1\\uc2 \\u233xyZ}", QStringLiteral("\u00e9Z")}, {"{\\rtf1 \\u-3913?}", QString(QChar(0xF0B7))},
            {"}}{\\rtf1 x}}}\\", "x"}, {"{\\rtf1 \\'4", "4"}, {"{\\rtf1 \\verylongcontrolwordthatgoesonandonandonandon x}", "x"},
        };
        // clang-format on
        for (const auto& [rich, plain] : rules) QCOMPARE(RichTextToPlainText(rich), plain);
        QVERIFY(LooksLikeRichText("\xEF\xBB\xBF  {\\rtf1}") && !LooksLikeRichText("{\\rt"));

        // Anything but a small regular file is no agreement.
        QString large = WriteFile(dir.filePath("large.rtf"), "{\\rtf1 x}");
        QVERIFY(QFile::resize(large, kAgreementSizeLimit + 1));
        const std::pair<QString, const char*> refused[] = {
            {dir.filePath("none.rtf"), "cannot be read"},
            {dir.path(), "is a folder"},
            {"/dev/zero", "is a character device"},
            {large, "is 8,388,609 bytes, more than the 8,388,608"},
        };
        for (const auto& [path, why] : refused) {
            Failure failure = LoadAgreementText(path, &text);
            QCOMPARE(failure.code, 53);
            QVERIFY2(failure.description.contains(path + ": " + why),
                     qPrintable(failure.description));
        }
    }
};

QTEST_MAIN(UnitsTest)
#include "units_test.moc"
