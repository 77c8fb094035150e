// The make-bootable command on fake engines and drives: both paths, every
// way of stopping, the agreement window, the floppy prompts, the copy window
// and its timer in virtual time, and the error handler's messages.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QtTest>
#include <optional>

#include "fakes.h"
#include "frmCopyFiles.h"
#include "frmLicense.h"
#include "frmUSBBoot.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

const QString kErase = QStringLiteral("USB Drive ERASE Notification");
const QString kNotBootable = QStringLiteral("USB Drive Not Bootable");
using Setup = std::function<void(TestProgram&)>;

void Accept(frmLicense* license) {
    license->Command1_Click();
}

// The program with the demo image (or what `images` adds) and two USB
// drives, its window shown and loaded.
struct Command : ShownProgram {
    explicit Command(const Setup& images = {})
        : ShownProgram([&](TestProgram& p) {
              images ? images(p) : p.AddDemoImage();
              p.AddUsbDrives();
          }) {
        program.boxes.shown.clear();
    }
    void Start(int row, std::function<void(frmLicense*)> onAgreement = Accept) {
        if (row >= 0) window->lvDevices_ItemClick(window->lvDevices->topLevelItem(row));
        agreement.Arm(std::move(onAgreement));
        window->btnStart_Click();
    }
    QString LastText() const { return program.boxes.shown.back().text; }

    AgreementWindowDriver agreement;
};

Setup Image(const QByteArray& description, const QMap<QString, QByteArray>& files = {}) {
    return [=](TestProgram& program) { program.AddImage("Img", description, files); };
}

}  // namespace

class CommandTest : public QObject {
    Q_OBJECT
  private slots:
    // Each stops before the engine is called; the drive is neither held nor
    // written.
    void StopsBeforeTheEngineSayingWhy() {
        const QString why = QStringLiteral("it is held by larkin-cli boot E: (process 7)");
        const QString unwritable =
            "USB Drive E: cannot be written: " + why + ". Nothing was changed on the drive.";
        const QString unusable = QStringLiteral(
            " cannot make USB Drive E: bootable. Why.\r\n"
            "Nothing was written to the drive.");
        auto floppy = [](Command& c) { c.window->Option1[0]->setChecked(true); };
        auto check = [floppy](bool onFloppy) {
            return [=](Command& c) {
                c.program.drives.drives["A:"] = {true, true, "", 1474560};
                c.program.drives.checkFailure = {runtime_error::kDiskFull, "why"};
                if (onFloppy) floppy(c);
            };
        };
        auto decline = [](frmLicense* license) {
            QTest::mouseClick(license->Command2, Qt::LeftButton);
        };
        struct Case {
            const char* what;
            Setup images;
            std::function<void(Command&)> before;
            QStringList titles;
            QString said;
            int row = 0;
            std::function<void(frmLicense*)> onAgreement = Accept;
            bool declined = false;
        };
        // clang-format off
        const Case cases[] = {
            {"no drive selected", {}, {}, {"No USB Drive"}, {}, -1},
            {"erase cancelled", {}, [](Command& c) { c.program.boxes.answers = {Answer::Cancel}; }, {kErase}, {}},
            {"refused drive", {}, [&](Command& c) { c.program.drives.refusals["E:"] = why; }, {kNotBootable}, unwritable},
            {"drive held elsewhere", {}, [&](Command& c) { c.program.drives.holdErrors["E:"] = why; },
             {kErase, kNotBootable}, unwritable},
            {"agreement declined", {}, {}, {kErase}, {}, 0, decline, true},
            {"agreement closed", {}, [](Command&) { EulaAccepted = true; }, {kErase}, {}, 0,
             [](frmLicense* license) { license->close(); }, true},
            {"agreement missing", {}, [](Command& c) {
                 QFile::remove(QDir(c.program.ImagesFolder()).filePath("LarkinDemo/License.rtf")); },
             {kErase, "EULA Not Found"}, {}},
            {"image folder missing", Image("x\nFolder=Elsewhere\nEula=NONE\nName=Lost\n"), {},
             {kErase, "File Image Not Found"}, {}},
            {"image folder missing, with an agreement",
             Image("x\nFolder=Elsewhere\nEula=License.rtf\nName=Lost\n", {{"License.rtf", "{\\rtf1 Terms\\par}"}}),
             {}, {kErase, "File Image Not Found"}, {}},
            {"image folder outside File_Images", Image("x\nFolder=..\nEula=NONE\nName=Up\n"), {},
             {kErase, "File Image Not Found"}, {}},
            {"image without a kernel", Image("x\nFolder=Img\nEula=NONE\nName=Data\n", {{"KERNEL.BAK", "k"}}),
             [](Command& c) { QDir(c.program.ImagesFolder()).mkpath("Img/KERNEL.SYS"); },
             {kErase, "Boot Files Not Found"}, "has no KERNEL.SYS"},
            {"no image", [](TestProgram&) {}, {}, {kErase, "Unknown Error"}, "Unexpected Error 9  "},
            {"no floppy drive", {}, floppy, {kErase, "No Floppy Device"}, {}},
            {"floppy prompt cancelled", {}, [floppy](Command& c) {
                 c.program.drives.drives["A:"] = {true, false, "", 0};
                 c.program.boxes.answers = {Answer::Ok, Answer::Ok, Answer::Cancel};
                 floppy(c); },
             {kErase, "Insert Floppy", "Insert Floppy"}, {}},
            {"image refused by the check", {}, check(false), {kErase, "Boot Image Not Usable"},
             "The boot image Larkin demo boot disk" + unusable},
            {"floppy refused by the check", {}, check(true), {kErase, "Floppy Not Usable"},
             "The floppy in drive A:" + unusable},
        };
        // clang-format on
        for (const Case& c : cases) {
            Command command(c.images);
            if (c.before) c.before(command);
            command.Start(c.row, c.onAgreement);
            QVERIFY2(
                command.program.boxes.Titles() == c.titles,
                qPrintable(QString(c.what) + ": " + command.program.boxes.Titles().join(", ")));
            if (!c.said.isEmpty()) QVERIFY2(command.LastText().contains(c.said), c.what);
            QVERIFY2(command.program.engine.createCalls.empty(), c.what);
            QVERIFY2(command.program.drives.copies.empty(), c.what);
            QVERIFY2(command.program.drives.held.isEmpty(), c.what);
            if (c.declined) QVERIFY2(!EulaAccepted, c.what);
        }
    }

    // Through the writing helper: the window shows what it tells as it shows
    // the engine here; the want of root it has is no refusal, and it holds
    // the drive itself.
    void HelperOutcomesAreShownAsTheEngineInThisProcessWouldBe() {
        using larkin::writer::OutcomeKind;
        struct Case {
            OutcomeKind kind;
            bool writing;
            QString said;  // in the failure's message
        } cases[] = {
            {OutcomeKind::Done, true, {}},
            {OutcomeKind::Refused, false,
             "USB Drive E: cannot be written: the reason. Nothing was changed on the drive."},
            {OutcomeKind::NotAuthorised, false, "cannot be written: the reason."},
            {OutcomeKind::EngineFailed, true, "(engine status 6): Unable to Lock volume."},
            {OutcomeKind::Died, false,
             "could not be made bootable: the reason.\n\nThe drive was left as it was."},
        };
        for (const Case& c : cases) {
            Command command;
            const QString privileges = QStringLiteral("writing to a drive needs root");
            command.program.drives.refusals["E:"] = privileges;
            command.program.services.privilegeRefusal = privileges;
            larkin::writer::Request sent;
            command.program.services.runWriter = [&](const larkin::writer::Request& request,
                                                     const larkin::writer::Callbacks& callbacks) {
                sent = request;
                larkin::writer::Outcome outcome;
                outcome.kind = c.kind;
                outcome.writing = c.writing;
                outcome.status = c.kind == OutcomeKind::Done ? 0 : 6;
                outcome.lastLine = "Unable to Lock volume";
                outcome.reason = "the reason";
                if (c.kind == OutcomeKind::Done)
                    for (const char* file : {"KERNEL.SYS", "fi.ini"}) callbacks.onFile(file);
                return outcome;
            };
            command.Start(0);
            QStringList titles{kErase};
            if (!c.said.isEmpty()) titles << kNotBootable;
            QCOMPARE(command.program.boxes.Titles(), titles);
            if (!c.said.isEmpty())
                QVERIFY2(command.LastText().contains(c.said), qPrintable(command.LastText()));
            QCOMPARE(sent.destination, std::string("E:"));
            QCOMPARE(sent.name, std::string("SanDisk Cruzer Blade USB Device"));
            QCOMPARE(sent.image, std::string("LarkinDemo"));
            QVERIFY(command.program.engine.createCalls.empty());
            QVERIFY(command.program.drives.held.isEmpty());
            if (c.said.isEmpty())
                QVERIFY(command.window->timerEject->Enabled());
            else
                QTRY_VERIFY(command.window->copyWindow() == nullptr);
        }
    }

    void ImagePathWithAgreementAcceptedMakesAndCopies() {
        Command command;
        // format's prompt comes through the engine's output; the window says
        // what is being done instead.
        command.program.engine.createOutput = {"", "Insert new disk for drive E:",
                                               "and press ENTER when ready...", "Format complete."};
        bool shownDuringTheEngineCall = false;
        command.program.engine.duringCreate = [&] {
            QMetaObject::invokeMethod(
                qApp,
                [&] {
                    frmCopyFiles* copy = command.window->copyWindow();
                    shownDuringTheEngineCall = copy != nullptr && copy->isVisible();
                },
                Qt::BlockingQueuedConnection);
        };
        StepRecorder steps;
        qApp->installEventFilter(&steps);
        command.Start(
            0, [](frmLicense* license) { QTest::mouseClick(license->Command1, Qt::LeftButton); });
        qApp->removeEventFilter(&steps);

        QVERIFY(command.agreement.acceptHadFocus);
        QVERIFY(command.agreement.shownText.contains("Demo agreement"));
        QVERIFY(!command.agreement.shownText.contains("\\rtf"));
        QVERIFY(EulaAccepted);
        const FakeEngine& engine = command.program.engine;
        QCOMPARE(engine.createCalls.size(), size_t{1});
        QCOMPARE(engine.createCalls[0].destination, std::string("E:"));
        QCOMPARE(engine.createCalls[0].copyFiles, 0);
        QCOMPARE(command.program.drives.copies.size(), size_t{1});
        QCOMPARE(command.program.drives.copies[0].root, QStringLiteral("E:"));
        QCOMPARE(QDir(command.program.drives.copies[0].source).dirName(), "LarkinDemo");
        QCOMPARE(command.program.drives.checkedSources,
                 QStringList{command.program.drives.copies[0].source});
        // Held through the engine and the copy, let go after.
        QCOMPARE(command.program.drives.heldDuringCopy, QStringList{"E:"});
        QVERIFY(command.program.drives.held.isEmpty());
        QCOMPARE(command.program.boxes.Titles(), QStringList{kErase});
        // The erase warning's default is Cancel.
        QVERIFY(command.program.boxes.shown[0].buttons == Buttons::OkCancel);
        QCOMPARE(command.program.boxes.shown[0].defaultButton, 1);
        QVERIFY(shownDuringTheEngineCall);
        QCOMPARE(command.window->copyWindow()->Label1->text(),
                 QStringLiteral("Done: USB Drive E: is now bootable."));
        QCOMPARE(steps.lines,
                 (QStringList{"Formatting E: ...", "Copying files to E: ...", "Copying KERNEL.SYS",
                              "Copying License.rtf", "Copying fi.ini",
                              "3 file(s) copied. This window closes in 5 seconds."}));
        // The selection and the button are left as they were.
        QCOMPARE(command.window->lvDevices->selectedItems().size(), 1);
        QVERIFY(command.window->btnStart->isEnabled());
    }

    void AgreementNoneInAnyCaseSkipsTheWindowAndTheNameIsFoundInAnyCase() {
        for (const char* eula : {"NONE", "None", "none", "LICENSE.RTF"}) {
            Command command(Image(QByteArray("x\nFolder=img\nEula=") + eula + "\nName=Free\n",
                                  {{"license.rtf", "{\\rtf1 Terms\\par}"}, {"kernel.sys", "k"}}));
            command.Start(1);
            QCOMPARE(command.program.boxes.Titles(), QStringList{kErase});
            QCOMPARE(command.agreement.shownText.trimmed(),
                     QString(eula).startsWith("L") ? "Terms" : "");
            QCOMPARE(command.program.engine.createCalls.size(), size_t{1});
            QCOMPARE(command.program.drives.copies.size(), size_t{1});
        }
    }

    void CopyWindowClosesFiveSecondsAfterTheCopyAndOutlivesNoTimer() {
        Command command;
        command.program.drives.drives["A:"] = {true, true, "", 1474560};
        // A second command within the 5 seconds: the first window goes with it.
        command.Start(0);
        QPointer<frmCopyFiles> first = command.window->copyWindow();
        QVERIFY(first);
        command.program.timer->Advance(2000);
        command.Start(0);
        QPointer<frmCopyFiles> second = command.window->copyWindow();
        QVERIFY(second && second != first);
        QTRY_VERIFY(first.isNull());
        // Closed five seconds after the copy, by a timer that then stops.
        command.program.timer->Advance(4999);
        QVERIFY(second && second->isVisible());
        command.program.timer->Advance(1);
        QTRY_VERIFY(second.isNull());
        QVERIFY(!command.window->timerEject->Enabled());

        // ... and so with a floppy command, whose engine call the timer
        // might outlast.
        command.Start(0);
        first = command.window->copyWindow();
        QVERIFY(first);
        command.window->Option1[0]->setChecked(true);
        command.Start(0);
        QTRY_VERIFY(first.isNull());

        // The timer firing while the window thread waits for the engine (a
        // Rescan here) still closes the window.
        command.window->Option1[1]->setChecked(true);
        command.Start(0);
        first = command.window->copyWindow();
        QVERIFY(first);
        command.program.engine.duringCount = [&] {
            QMetaObject::invokeMethod(
                qApp, [&] { command.program.timer->Advance(5000); }, Qt::BlockingQueuedConnection);
        };
        command.window->btnScan_Click();
        QTRY_VERIFY(first.isNull());
    }

    // The engine or the copy fails: a message, and no copy window left.
    void FailuresAfterTheEraseCloseTheCopyWindowBeforeTheirMessage() {
        struct Case {
            std::function<void(Command&)> fail;
            QString title;
            QString said;
        };
        auto copyFails = [](int code) {
            return [code](Command& c) { c.program.drives.copyFailure = {code, "x"}; };
        };
        // clang-format off
        const Case cases[] = {
            {[](Command& c) { c.program.engine.createResult = 6; c.program.engine.createOutput = {"", " Unable to Lock volume"}; },
             kNotBootable, "USB Drive E: could not be made bootable"},
            {[](Command& c) { c.program.engine.createFailure = {runtime_error::kDllEntryPoint, "Can't find DLL entry point"}; },
             "Unknown Error", "Unexpected Error 453  Can't find DLL entry point"},
            {copyFails(runtime_error::kDiskFull), "USB Drive Full", {}},
            {copyFails(runtime_error::kDeviceUnavailable), "USB Drive Is Not Ready", {}},
            {copyFails(runtime_error::kDeviceIo), "USB Drive Not Available", {}},
            {copyFails(runtime_error::kPathNotFound), "File Image Not Found", {}},
        };
        // clang-format on
        for (const Case& c : cases) {
            Command command;
            c.fail(command);
            bool copyWindowOpenAtMessage = true;
            command.program.boxes.onShow = [&](const MessageBoxRequest& request) {
                if (request.title == c.title)
                    copyWindowOpenAtMessage = command.window->copyWindow() != nullptr &&
                                              command.window->copyWindow()->isVisible();
            };
            command.Start(0);
            QCOMPARE(command.program.boxes.Titles(), (QStringList{kErase, c.title}));
            QVERIFY2(command.LastText().contains(c.said), qPrintable(command.LastText()));
            QVERIFY(!copyWindowOpenAtMessage);
            QVERIFY(!command.window->timerEject->Enabled());
        }
    }

    // Copy files = 1, no copy window; the prompt repeats until a disk is in;
    // the end says so, then what was pointed at the stick's own drive.
    void FloppyPathPromptsThenPassesCopyFilesOne() {
        Command command;
        command.program.drives.drives["A:"] = {true, false, "", 1474560};
        command.program.drives.floppyReady = {false, false, false, false, false, true};
        command.program.drives.pointedLines = {"CONFIG.SYS named drive A:"};
        command.window->Option1[0]->setChecked(true);
        command.Start(1);
        QCOMPARE(command.program.engine.createCalls.size(), size_t{1});
        QCOMPARE(command.program.engine.createCalls[0].destination, std::string("F:"));
        QCOMPARE(command.program.engine.createCalls[0].source, std::string("A:"));
        QCOMPARE(command.program.engine.createCalls[0].copyFiles, 1);
        QVERIFY(command.program.drives.copies.empty());
        QVERIFY(command.window->copyWindow() == nullptr);
        QCOMPARE(command.program.boxes.Titles(),
                 (QStringList{kErase, "Insert Floppy", "Insert Floppy", "USB Drive Bootable",
                              "Floppy Paths Pointed at C:"}));
        QVERIFY(command.program.boxes.shown[3].text.startsWith("Done: USB Drive F:"));
        QCOMPARE(command.LastText(), QStringLiteral("CONFIG.SYS named drive A:"));
        QCOMPARE(command.program.drives.pointedRoots, QStringList{"F:"});
        QCOMPARE(command.program.drives.checkedSources, QStringList{"A:"});
    }

    void FloppyPathEngineFailureSaysWhatFailedAndWhatIsLeft() {
        struct Case {
            std::vector<std::string> output;
            std::optional<DriveFacts> after;  // none: the drive is gone
            QString failed;
            QString left;
        };
        const DriveFacts before = {true, true, "CRUZER", 4004511744ULL, 1000000, 0x1234ABCD};
        const Case cases[] = {
            // The floppy was empty: found out after the drive was erased.
            {{"", " Copying Boot Files.....", "        0 file(s) copied.", "",
              " Unable to copy the Boot Files"},
             DriveFacts{true, true, "FREEDOS", 2000000000ULL, 2000000000ULL, 0x5678EF01},
             ": Unable to copy the Boot Files.",
             "The drive was erased before this step failed"},
            {{"", " Drive letter not found"},
             before,
             ": Drive letter not found.",
             "The drive was left as it was."},
            {{"", " ERROR Writing to Dest"},
             std::nullopt,
             ": ERROR Writing to Dest.",
             "The drive can no longer be found"},
        };
        for (const Case& c : cases) {
            Command command;
            command.program.drives.drives["A:"] = {true, true, "", 1474560};
            command.program.drives.drives["E:"] = before;
            command.program.engine.createResult = 6;
            command.program.engine.createOutput = c.output;
            command.program.engine.duringCreate = [&] {
                if (c.after)
                    command.program.drives.drives["E:"] = *c.after;
                else
                    command.program.drives.drives.remove("E:");
            };
            command.window->Option1[0]->setChecked(true);
            command.Start(0);
            QCOMPARE(command.program.boxes.Titles(), (QStringList{kErase, kNotBootable}));
            const QString text = command.LastText();
            QVERIFY2(text.startsWith("USB Drive E: could not be made bootable from the floppy in "
                                     "A: (engine status 6)" +
                                     c.failed),
                     qPrintable(text));
            QVERIFY2(text.contains(c.left), qPrintable(text));
        }
    }

    void WindowsTakeNoInputButStayResponsiveDuringTheEngineCall() {
        Command command;
        bool endedDuringCall = true;
        bool paintedDuringCall = false;
        command.program.engine.duringCreate = [&] {
            QMetaObject::invokeMethod(
                qApp,
                [&] {
                    // Clicks on Quit and Rescan, and closing, are dropped.
                    QTest::mouseClick(command.window->Command1, Qt::LeftButton);
                    QTest::mouseClick(command.window->btnScan, Qt::LeftButton);
                    endedDuringCall = command.program.ended;
                    command.window->repaint();
                    paintedDuringCall = true;
                    command.window->close();
                },
                Qt::BlockingQueuedConnection);
        };
        command.Start(0);
        QVERIFY(paintedDuringCall);
        QVERIFY(!endedDuringCall);
        QCOMPARE(command.program.engine.countCalls, 1);
        QVERIFY(command.window->isVisible());
        QVERIFY(!command.program.engine.onWindowThread);
        QTest::mouseClick(command.window->Command1, Qt::LeftButton);
        QVERIFY(command.program.ended);
    }
};

QTEST_MAIN(CommandTest)
#include "command_test.moc"
