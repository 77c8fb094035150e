// The desktop program offscreen: the parts below the windows, then the main
// window on fake engines and drives.
#include <sys/stat.h>
#include <unistd.h>

#include "fakes.h"
#include "output_capture.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

const QString kErase = "USB Drive ERASE Notification";
const QString kNotBootable = "USB Drive Not Bootable";
const QString kWriter = "writer E: SanDisk Cruzer Blade USB Device LarkinDemo";
using Setup = std::function<void(TestProgram&)>;
using larkin::writer::OutcomeKind;

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

void ClickRow(TestProgram& program, int index) {
    QTreeWidget* list = program.window->lvDevices;
    QRect area = list->visualItemRect(list->topLevelItem(index));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, area.center());
}

Setup Image(const QByteArray& description, const QMap<QString, QByteArray>& files = {}) {
    return [=](TestProgram& program) {
        AddImage(program.ImagesFolder(), "Img", description, files);
        program.AddUsbDrives();
    };
}

// The writing helper answers with `kind`; it holds the drive itself, so the
// want of root is no refusal.
Setup Helper(OutcomeKind kind) {
    return [kind](TestProgram& c) {
        c.drives.refusals["E:"] = c.services.privilegeRefusal = "no root";
        c.services.runWriter = [&c, kind](const larkin::writer::Request& request,
                                          const larkin::writer::Callbacks& callbacks) {
            c.log << QString::fromStdString("writer " + request.destination + ' ' + request.name +
                                            ' ' + request.image);
            if (kind == OutcomeKind::Done) callbacks.onFile("KERNEL.SYS");
            return larkin::writer::Outcome{.kind = kind,
                                           .reason = "the reason",
                                           .lastLine = "Unable to Lock volume",
                                           .writing = kind != OutcomeKind::Died};
        };
    };
}

}  // namespace

class ProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void ErrorHandlerTitlesAndSystemErrors() {
        // The titles the commands below do not meet.
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
            {"h\nk=D\nk=E", "D|E|"},
            {"", "||"},
            {"h\r\nk=D\nk=E\r\nk=N\rM\n", "D|E|N\rM"},
            {"h\nk=D\nk=E\nk=Caf\xE9\nk=later\n", QStringLiteral("D|E|Caf\u00e9")},
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
        AddImage(root.path(), "Beta", "h\nk=Beta\nk=NONE\nk=Second\n");
        AddImage(root.path(), "Alpha", "h\nk=Alpha\nk=NONE\nk=First\n");
        AddImage(root.path(), "Big", "h\nk=Big\nk=NONE\nk=" + QByteArray(200000, 'n') + "\n");
        QVERIFY(images.mkpath("Empty") && images.mkpath("Upper") && images.mkpath("Pipe"));
        WriteFile(images.filePath("Upper/FI.INI"), "h\nk=Upper\nk=NONE\nk=Third\n");
        AddImage(root.path(), "Locked", "h\nk=Locked\nk=NONE\nk=Name\n");
        QFile::setPermissions(images.filePath("Locked/fi.ini"), QFileDevice::Permissions{});
        QCOMPARE(::mkfifo(QFile::encodeName(images.filePath("Pipe/fi.ini")).constData(), 0644), 0);
        AddImage(root.path(), "Real", "h\nk=Real\nk=NONE\nk=Secret\n");
        QVERIFY(images.mkpath("Link") &&
                QFile::link(images.filePath("Real/fi.ini"), images.filePath("Link/fi.ini")));
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
        QVERIFY(text.isHtml && text.text.contains("<b>") &&
                !text.text.contains("<img", Qt::CaseInsensitive));
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

    void TabOrderMenusAndQuit() {
        TestProgram program;
        frmUSBBoot& window = *program.window;
        window.btnStart->setEnabled(true);
        QApplication::setActiveWindow(&window);
        QTRY_COMPARE(QApplication::focusWidget(), window.Command1);
        QWidgetList order;
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget();
        }
        if (order[3] == window.Option1[0]) order[3] = window.Option1[1];
        QCOMPARE(order, (QWidgetList{window.btnStart, window.lvDevices, window.Combo1,
                                     window.Option1[1], window.btnScan}));
        const QString page = WriteFile(program.folder.filePath("larkinhelp.htm"), "help");
        QStringList opened;
        program.services.openPage = [&](const QUrl& u) { return opened << u.toLocalFile(), true; };
        window.mnuProgHelp->trigger();
        QFile::remove(page);
        window.mnuProgHelp->trigger();
        QCOMPARE(opened, QStringList{page});
        window.mnuAbout->trigger();
        QVERIFY(program.boxes.texts.last().contains(QString("Version ") + LARKIN_VERSION));
        QVERIFY(program.boxes.texts.last().contains(program.folder.filePath("COPYRIGHT")));
        QStringList picks = {"", "/x/disk.img", "/x/boot.img"};
        program.services.chooseFloppyImage = [&] { return picks.takeFirst(); };
        program.drives.imageRefusals["/x/disk.img"] = "it holds a partition table";
        window.mnuFloppyImage->trigger();  // no file picked
        window.mnuFloppyImage->trigger();
        QVERIFY(program.boxes.texts.last().endsWith("it holds a partition table") &&
                !window.Option1[0]->isChecked());
        window.mnuFloppyImage->trigger();
        QVERIFY(program.log.filter("use ") == (QStringList{"use /x/disk.img", "use /x/boot.img"}) &&
                window.Option1[0]->isChecked() && program.services.floppyImageInUse);
        QCOMPARE(program.boxes.titles,
                 (QStringList{"Larkin Help", "About Larkin", "Floppy Image Not Usable"}));
        window.mnuExit->trigger();
        QVERIFY(!window.isVisible() && !program.ended);
    }

    void StartUpProblemsAreSaidAndEndTheProgramOnlyWhenNothingCanBeDone() {
        // clang-format off
        const std::tuple<const char*, Setup, QStringList, bool, QStringList> cases[] = {
            {"no File_Images", [](TestProgram& p) { QDir(p.ImagesFolder()).removeRecursively(); p.AddUsbDrives(); }, {"File_Images Not Found"}, true, {}},
            {"no image", [](TestProgram& p) { p.AddUsbDrives(); }, {"File Images Missing"}, false,
             {"E:|CRUZER|SanDisk Cruzer Blade USB Device|4,004.51 MB", "F:||Kingston DataTraveler 2.0|64.00 MB"}},
            {"no drive", &TestProgram::AddDemoImage, {"No USB Drives"}, true, {}},
            {"no drive listed", [](TestProgram& p) { p.AddDemoImage(); p.engine.counted.value = 1; p.engine.texts = {"C: "}; }, {"No USB Drives"}, false, {}},
            {"no engine", [](TestProgram& p) { p.AddDemoImage(); p.engine.counted.failure = {runtime_error::kDllLoad, "gone"}; }, {"No USB Drives"}, false, {}},
            // The first row is added before its drive is asked; the fill ends there.
            {"drive query failure", [](TestProgram& p) { p.AddDemoImage(); p.AddUsbDrives(); p.drives.driveFailure = {runtime_error::kDeviceIo, "broken"}; }, {}, false, {"E:|||"}},
        };
        // clang-format on
        for (const auto& [what, setup, titles, ended, rows] : cases) {
            TestProgram shown(setup);
            QVERIFY2(shown.boxes.titles == titles && shown.ended == ended, what);
            // Ended: without asking the engine when there is no File_Images.
            QVERIFY2(ended ? shown.log.contains("count") == (titles[0] == "No USB Drives")
                           : Rows(*shown.window) == rows,
                     what);
        }
    }

    // Texts without a capital drive letter, and the system drive's bare
    // letter, are not listed; a failed GetUSBDevInfo skips its index. The
    // system drive's row is dimmed and refused by mouse and keyboard; the
    // status names the selected drive and where the files come from.
    void DeviceRowsTheRefusedSystemRowAndTheStatus() {
        TestProgram shown([](TestProgram& p) {
            AddImage(p.ImagesFolder(), "Alpha", "x\nFolder=Alpha\nEula=NONE\nName=Alpha disk\n");
            AddImage(p.ImagesFolder(), "Beta", "x\nFolder=Beta\nEula=NONE\nName= Beta disk\n");
            p.services.windowsDirectory = [] { return QString("  C:\\WINDOWS "); };
            // clang-format off
            p.engine.texts = {"E: Generic Flash Disk", "G: Slow Reader", kInfoFails, "H: Gone Stick", "I: Raw Stick", "J:;L: Two Volumes",
                              "", "   ", "e: lower case", "1: digit", "C: ", " Kingston no letter", "  F: leading blanks", "C: Some Disk"};
            p.drives.drives = {{"C:", {true, true, "SYSTEM", 256000000}}, {"E:", {true, true, "MYLABEL", 4004511744ULL}},
                               {"G:", {true, false, "IGNORED", 1000}}, {"I:", {true, true, "", 999999}}, {"J:", {true, true, "FIRST", 2000000}}};
            // clang-format on
            p.engine.counted.value = 15;
        });
        frmUSBBoot& window = *shown.window;
        QCOMPARE(window.lblStatus->text(),
                 "No Drive selected.\n Files will be copied from Alpha disk image file.");
        window.btnScan_Click();
        QCOMPARE(Rows(*shown.window),
                 (QStringList{"E:|MYLABEL|Generic Flash Disk|4,004.51 MB", "G:|NOT READY||",
                              "H:|NOT READY||", "I:||Raw Stick|1.00 MB",
                              "J:|FIRST|Two Volumes (also L:)|2.00 MB",
                              "C:|SYSTEM|Some Disk|256.00 MB (dimmed)"}));
        ClickRow(shown, 5);
        QCOMPARE(shown.boxes.titles, QStringList{"Format Error!"});
        QVERIFY(window.lvDevices->selectedItems().isEmpty() && !window.btnStart->isEnabled());
        window.Combo1->setCurrentIndex(1);
        ClickRow(shown, 4);
        QCOMPARE(window.lblStatus->text(),
                 "Drive J: selected.\n Files will be copied from  Beta disk image file.");
        QTest::mouseClick(window.Option1[0], Qt::LeftButton);
        QVERIFY(!window.Combo1->isEnabled() && !window.Label1->isEnabled() &&
                window.lblStatus->text().endsWith("\n Files will be copied from Floppy (A:)."));
        QTest::mouseClick(window.Option1[1], Qt::LeftButton);
        QVERIFY(window.Combo1->isEnabled() && window.Label1->isEnabled() &&
                window.lblStatus->text().endsWith("from  Beta disk image file."));
        // Refusing the system drive later, or a Rescan, leaves the button on.
        ClickRow(shown, 5);
        QVERIFY(window.lvDevices->selectedItems().isEmpty() &&
                window.lblStatus->text().startsWith("No Drive selected."));
        ClickRow(shown, 4);
        window.btnScan_Click();
        QVERIFY(window.btnStart->isEnabled() &&
                window.lblStatus->text().startsWith("No Drive selected.\n"));
        ClickRow(shown, 4);
        window.lvDevices->setFocus();
        QTest::keyClick(window.lvDevices, Qt::Key_Down);
        QTRY_COMPARE(shown.boxes.titles, QStringList(3, "Format Error!"));
        QTRY_VERIFY(window.lvDevices->selectedItems().isEmpty());
        shown.engine.counted.value = -1;
        window.btnScan_Click();
        QVERIFY(shown.ended && shown.boxes.titles.last() == "No USB Drives");
    }

    // A command stopped before the engine creates and copies nothing and
    // leaves no agreement accepted; one that failed after the erase says what
    // failed and what is left once its copy window is gone; one from the
    // floppy says it is done. Every way the drive is released.
    void CommandsSayWhyTheyStoppedOrHowTheyEnded() {
        const QString why = "it is held by larkin-cli boot E: (process 7)";
        const QString unwritable =
            "USB Drive E: cannot be written: " + why + ". Nothing was changed on the drive.";
        const QString unusable = " cannot make USB Drive E: bootable. Why.\r\nNothing was written";
        const QString image = "USB Drive E: could not be made bootable (engine status 6): ";
        const QString floppy =
            "USB Drive E: could not be made bootable from the floppy in A: (engine status 6): ";
        struct Case {
            const char* what;
            Setup images;
            std::function<void(TestProgram&)> before;
            QStringList titles;
            QString said;
            bool engineRan = false;
            int row = 0;
            std::function<void(frmLicense*)> onAgreement = {};
        };
        // clang-format off
        const Case cases[] = {
            {"no drive selected", {}, {}, {"No USB Drive"}, {}, false, -1},
            {"erase cancelled", {}, [](TestProgram& c) { c.boxes.answers = {Answer::Cancel}; }, {kErase}, {}},
            {"refused drive", {}, [&](TestProgram& c) { c.drives.refusals["E:"] = why; }, {kNotBootable}, unwritable},
            {"drive held elsewhere", {}, [&](TestProgram& c) { c.drives.holdErrors["E:"] = why; }, {kErase, kNotBootable}, unwritable},
            {"agreement declined", {}, {}, {kErase}, {}, false, 0, [](frmLicense* license) { QTest::mouseClick(license->Command2, Qt::LeftButton); }},
            {"agreement closed", {}, [](TestProgram&) { EulaAccepted = true; }, {kErase}, {}, false, 0, [](frmLicense* license) { license->close(); }},
            {"agreement missing", {}, [](TestProgram& c) { QFile::remove(c.ImagesFolder() + "/LarkinDemo/License.rtf"); }, {kErase, "EULA Not Found"}, {}},
            {"image folder missing, with an agreement", Image("x\nFolder=Elsewhere\nEula=License.rtf\nName=Lost\n", {{"License.rtf", "{\\rtf1 Terms\\par}"}}), {}, {kErase, "File Image Not Found"}, {}},
            {"image folder outside File_Images", Image("x\nFolder=..\nEula=NONE\nName=Up\n"), {}, {kErase, "File Image Not Found"}, {}},
            {"image without a kernel", Image("x\nFolder=Img\nEula=NONE\nName=Data\n", {{"KERNEL.BAK", "k"}}),
             [](TestProgram& c) { QDir(c.ImagesFolder()).mkpath("Img/KERNEL.SYS"); }, {kErase, "Boot Files Not Found"}, "has no KERNEL.SYS"},
            {"no image", [](TestProgram& p) { p.AddUsbDrives(); }, {}, {kErase, "Unknown Error"}, "Unexpected Error 9  "},
            {"no floppy drive", {}, [](TestProgram& c) { c.FromFloppy(); }, {kErase, "No Floppy Device"}, {}},
            {"floppy prompt cancelled", {}, [](TestProgram& c) { c.drives.drives["A:"] = {true, false, "", 0}; c.boxes.answers = {Answer::Ok, Answer::Ok, Answer::Cancel}; c.FromFloppy(); },
             {kErase, "Insert Floppy", "Insert Floppy"}, {}},
            {"image refused by the check", {}, [](TestProgram& c) { c.drives.checkFailure = {runtime_error::kDiskFull, "why"}; }, {kErase, "Boot Image Not Usable"}, "The boot image Larkin demo boot disk" + unusable},
            {"floppy refused by the check", {}, [](TestProgram& c) { c.drives.drives["A:"] = {true, true, "", 1474560}; c.drives.checkFailure = {runtime_error::kDiskFull, "why"}; c.FromFloppy(); },
             {kErase, "Floppy Not Usable"}, "The floppy in drive A:" + unusable},
            {"volume not locked", {}, [](TestProgram& c) { c.EngineFails({"", " Unable to Lock volume"}); }, {kErase, kNotBootable}, image + "Unable to Lock volume.\n\nThe drive was left as it was.", true},
            {"engine entry missing", {}, [](TestProgram& c) { c.engine.created.failure = {runtime_error::kDllEntryPoint, "No entry"}; }, {kErase, "Unknown Error"}, "Unexpected Error 453  No entry", true},
            {"drive full", {}, [](TestProgram& c) { c.drives.copyFailure = {runtime_error::kDiskFull, "x"}; }, {kErase, "USB Drive Full"}, {}, true},
            // The floppy was empty: found out after the drive was erased.
            {"empty floppy", {}, [](TestProgram& c) { c.EngineFails({"", " Copying Boot Files.....", "        0 file(s) copied.", "", " Unable to copy the Boot Files"}, DriveFacts{true, true, "FREEDOS", 2000000000ULL, 2000000000ULL, 0x5678EF01}, true); },
             {kErase, kNotBootable}, floppy + "Unable to copy the Boot Files.\n\nThe drive was erased before this step failed", true},
            {"no drive letter", {}, [](TestProgram& c) { c.EngineFails({"", " Drive letter not found"}, {}, true); }, {kErase, kNotBootable}, floppy + "Drive letter not found.\n\nThe drive was left as it was.", true},
            {"drive gone", {}, [](TestProgram& c) { c.EngineFails({"", " ERROR Writing to Dest"}, DriveFacts{}, true); }, {kErase, kNotBootable}, floppy + "ERROR Writing to Dest.\n\nThe drive can no longer be found", true},
            {"helper refused", {}, Helper(OutcomeKind::Refused), {kErase, kNotBootable}, "USB Drive E: cannot be written: the reason. Nothing was changed on the drive.", true},
            {"helper not authorised", {}, Helper(OutcomeKind::NotAuthorised), {kErase, kNotBootable}, "USB Drive E: cannot be written: the reason.", true},
            {"helper's engine failed", {}, Helper(OutcomeKind::EngineFailed), {kErase, kNotBootable}, image + "Unable to Lock volume.\n\nThe drive was left as it was.", true},
            {"helper died", {}, Helper(OutcomeKind::Died), {kErase, kNotBootable}, "bootable: the reason.\n\nThe drive was left as it was.", true},
            {"floppy ready after two prompts", {}, [](TestProgram& c) { c.drives.drives["A:"] = {true, true, "", 1474560}; c.drives.floppyUnreadyAsks = 5; c.drives.pointedLines = {"CONFIG.SYS named drive A:"}; c.FromFloppy(); },
             {kErase, "Insert Floppy", "Insert Floppy", "USB Drive Bootable", "Floppy Paths Pointed at C:"}, "Done: USB Drive F: is now bootable. The files of the floppy in A: were copied onto it.\nCONFIG.SYS named drive A:", true, 1},
        };
        // clang-format on
        for (const Case& c : cases) {
            TestProgram command(c.images);
            if (c.before) c.before(command);
            command.Start(c.row, c.onAgreement);
            QVERIFY2(
                command.boxes.titles == c.titles && command.boxes.texts.join('\n').contains(c.said),
                qPrintable(QString(c.what) + ": " + command.boxes.titles.join(", ") + ": " +
                           command.boxes.texts.join('\n')));
            // From the floppy the engine copies its files itself.
            const QString copyFiles = command.window->Option1[0]->isChecked() ? " 1" : " 0";
            for (const QString& create : command.log.filter(QRegularExpression("^create ")))
                QVERIFY2(create.endsWith(copyFiles), c.what);
            QVERIFY2(command.log.filter(QRegularExpression("^(create|writer)")).isEmpty() !=
                             c.engineRan &&
                         command.log.filter(QRegularExpression("^hold ")).size() ==
                             command.log.filter(QRegularExpression("^release ")).size(),
                     c.what);
            QVERIFY2((c.engineRan || !EulaAccepted) && !command.boxes.overCopyWindow &&
                         !command.window->timerEject->Enabled(),
                     c.what);
        }
    }

    void ImagePathMakesAndCopiesAndTheCopyWindowClosesFiveSecondsLater() {
        TestProgram command;
        // format's prompt comes through the engine's output; the window says
        // what is being done instead.
        command.engine.createOutput = {"Insert new disk for drive E:", "and press ENTER"};
        bool shownDuringTheEngineCall = false;
        command.engine.duringCreate = [&] {
            frmCopyFiles* copy = command.window->copyWindow();
            shownDuringTheEngineCall = copy != nullptr && copy->isVisible();
            // Quit, Rescan USB and closing are refused meanwhile.
            QTest::mouseClick(command.window->Command1, Qt::LeftButton);
            QTest::mouseClick(command.window->btnScan, Qt::LeftButton);
            command.window->close();
        };
        QStringList steps, agreements;
        auto recorder = RecordSteps(&steps);
        const auto read = [&](frmLicense* license) {
            agreements << license->RichTextBox1->toPlainText().trimmed() +
                              (license->focusWidget() == license->Command1 ? "" : " (unfocused)");
            QTest::mouseClick(license->Command1, Qt::LeftButton);
        };
        command.Start(0, read);
        QCOMPARE(agreements, QStringList{"Demo agreement"});
        QCOMPARE(command.log, (QStringList{"hold E:", "check LarkinDemo", "create E: A: 0",
                                           "copy LarkinDemo to E:", "release E:"}));
        QCOMPARE(command.boxes.titles, QStringList{kErase});
        // Cancel, the erase's safe answer, is the default.
        QVERIFY(command.boxes.last.buttons == Buttons::OkCancel &&
                command.boxes.last.defaultButton == 1);
        QVERIFY(EulaAccepted && shownDuringTheEngineCall && !command.ended &&
                command.window->isVisible() && !command.engine.onWindowThread);
        QPointer<frmCopyFiles> first = command.window->copyWindow();
        QCOMPARE(first->Label1->text(), "Done: USB Drive E: is now bootable.");
        QVERIFY(first->lblStep->text() == steps.value(5) && first->barBusy->maximum() > 0);
        QCOMPARE(steps, (QStringList{"Formatting E: ...", "Copying files to E: ...",
                                     "Copying KERNEL.SYS", "Copying License.rtf", "Copying fi.ini",
                                     "3 file(s) copied. This window closes in 5 seconds."}));
        QVERIFY(command.window->lvDevices->selectedItems().size() == 1 &&
                command.window->btnStart->isEnabled());
        command.timer->Advance(2000);
        // So through the writing helper, which shows its files as the engine's.
        Helper(OutcomeKind::Done)(command);
        command.Start(0);
        QCOMPARE(command.log, (QStringList{"check LarkinDemo", kWriter}));
        QCOMPARE(command.boxes.titles, QStringList{kErase});
        QVERIFY(steps.endsWith("1 file(s) copied. This window closes in 5 seconds."));
        QPointer<frmCopyFiles> second = command.window->copyWindow();
        QVERIFY(second && second != first);
        QTRY_VERIFY(first.isNull());
        command.timer->Advance(4999);
        QVERIFY(second && second->isVisible());
        command.timer->Advance(1);
        QTRY_VERIFY(second.isNull());
        QVERIFY(!command.window->timerEject->Enabled());
        // The image without an agreement, its names in other cases.
        command.window->Combo1->setCurrentIndex(1);
        command.Start(1);
        QCOMPARE(command.log,
                 (QStringList{"check free", "writer F: Kingston DataTraveler 2.0 free"}));
        first = command.window->copyWindow();
        QVERIFY(first);
        command.engine.duringCount = [&] { command.timer->Advance(5000); };
        command.window->btnScan_Click();
        QTRY_VERIFY(first.isNull());
        QTest::mouseClick(command.window->Command1, Qt::LeftButton);
        QVERIFY(command.ended);
    }
};

QTEST_MAIN(ProgramTest)
#include "program_test.moc"
