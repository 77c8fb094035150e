// The make-bootable command on fake engines and drives: both paths, every
// way of stopping, the agreement window, the floppy prompts, the copy window
// and its timer in virtual time, and the error handler's messages.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBrowser>
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

const QString kEraseTitle = QStringLiteral("USB Drive ERASE Notification");

class CommandFixture {
  public:
    CommandFixture() {
        program.AddDemoImage();
        program.AddUsbDrives();
        window = std::make_unique<frmUSBBoot>(program.services);
        window->show();
        window->Form_Load();
        program.boxes.shown.clear();
    }

    void SelectRow(int index) {
        window->lvDevices_ItemClick(window->lvDevices->topLevelItem(index));
    }

    TestProgram program;
    std::unique_ptr<frmUSBBoot> window;
};

// The USB drives listed in a window of program, row clicked, the command
// started.
void StartOnRow(TestProgram& program, int row) {
    program.AddUsbDrives();
    frmUSBBoot window(program.services);
    window.Form_Load();
    window.lvDevices_ItemClick(window.lvDevices->topLevelItem(row));
    window.btnStart_Click();
}

}  // namespace

class CommandTest : public QObject {
    Q_OBJECT
  private slots:
    void NoSelectedDriveStopsAtOnce() {
        CommandFixture f;
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), QStringList{"No USB Drive"});
        QCOMPARE(f.program.boxes.shown[0].text, QStringLiteral("No USB drive selected."));
        QVERIFY(f.program.engine.createCalls.empty());
    }

    void EraseWarningDefaultsToCancelAndCancelTouchesNothing() {
        CommandFixture f;
        f.SelectRow(0);
        f.program.boxes.answers = {Answer::Cancel};
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), QStringList{kEraseTitle});
        const MessageBoxRequest& erase = f.program.boxes.shown[0];
        QCOMPARE(erase.text,
                 QStringLiteral("WARNING: This action will ERASE the selected USB DRIVE and copy "
                                "new data to it.\r\nIf you have not backed up the data on the "
                                "drive, click CANCEL to stop and backup your data."));
        QVERIFY(erase.buttons == Buttons::OkCancel);
        QVERIFY(erase.icon == Icon::Stop);
        QCOMPARE(erase.defaultButton, 1);
        QVERIFY(f.program.engine.createCalls.empty());
        QVERIFY(f.program.drives.copies.empty());
        QVERIFY(f.window->copyWindow() == nullptr);
    }

    // A drive the platform refuses is said before the erase warning; one
    // that cannot be held after it; neither reaches the engine.
    void UnwritableOrHeldDriveIsRefusedBeforeTheEngine() {
        for (bool heldElsewhere : {false, true}) {
            CommandFixture f;
            f.SelectRow(0);
            const QString why = QStringLiteral("it is held by larkin-cli boot E: (process 7)");
            (heldElsewhere ? f.program.drives.holdErrors : f.program.drives.refusals)["E:"] = why;
            f.program.boxes.answers = {Answer::Ok};
            f.window->btnStart_Click();
            QStringList titles{"USB Drive Not Bootable"};
            if (heldElsewhere) titles.prepend(kEraseTitle);
            QCOMPARE(f.program.boxes.Titles(), titles);
            QCOMPARE(f.program.boxes.shown.back().text,
                     QStringLiteral("USB Drive E: cannot be written: ") + why +
                         QStringLiteral(". Nothing was changed on the drive."));
            QVERIFY(f.program.engine.createCalls.empty());
            QVERIFY(f.program.drives.held.isEmpty());
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
            QString title;  // after the erase warning; "" for none
            QString said;
        } cases[] = {
            {OutcomeKind::Done, true, QString(), QString()},
            {OutcomeKind::Refused, false, "USB Drive Not Bootable",
             "USB Drive E: cannot be written: the drive at E: is now another. Nothing was "
             "changed on the drive."},
            {OutcomeKind::NotAuthorised, false, "USB Drive Not Bootable",
             "cannot be written: writing was not authorised (Not authorized)."},
            {OutcomeKind::EngineFailed, true, "USB Drive Not Bootable",
             "(engine status 6): Unable to Lock volume."},
            {OutcomeKind::Died, false, "USB Drive Not Bootable",
             "could not be made bootable: the writing helper was ended by signal 9 before it "
             "finished.\n\nThe drive was left as it was."},
        };
        for (const Case& c : cases) {
            CommandFixture f;
            const QString privileges = QStringLiteral("writing to a drive needs root");
            f.program.drives.refusals["E:"] = privileges;
            f.program.services.privilegeRefusal = privileges;
            larkin::writer::Request sent;
            f.program.services.runWriter = [&](const larkin::writer::Request& request,
                                               const larkin::writer::Callbacks& callbacks) {
                sent = request;
                larkin::writer::Outcome outcome;
                outcome.kind = c.kind;
                outcome.writing = c.writing;
                outcome.status = c.kind == OutcomeKind::Done ? 0 : 6;
                outcome.lastLine = "Unable to Lock volume";
                outcome.reason =
                    c.kind == OutcomeKind::Refused ? "the drive at E: is now another"
                    : c.kind == OutcomeKind::NotAuthorised
                        ? "writing was not authorised (Not authorized)"
                        : "the writing helper was ended by signal 9 before it finished";
                if (c.kind == OutcomeKind::Done)
                    for (const char* file : {"KERNEL.SYS", "fi.ini"}) callbacks.onFile(file);
                return outcome;
            };
            f.SelectRow(0);
            AgreementWindowDriver agreement;
            agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
            f.program.boxes.answers = {Answer::Ok};
            f.window->btnStart_Click();
            QStringList titles{kEraseTitle};
            if (!c.title.isEmpty()) titles << c.title;
            QCOMPARE(f.program.boxes.Titles(), titles);
            if (!c.said.isEmpty())
                QVERIFY2(f.program.boxes.shown.back().text.contains(c.said),
                         qPrintable(f.program.boxes.shown.back().text));
            QCOMPARE(sent.destination, std::string("E:"));
            QCOMPARE(sent.name, std::string("SanDisk Cruzer Blade USB Device"));
            QCOMPARE(sent.image, std::string("LarkinDemo"));
            QVERIFY(f.program.engine.createCalls.empty());
            QVERIFY(f.program.drives.copies.empty());
            QVERIFY(f.program.drives.held.isEmpty());
            if (c.kind == OutcomeKind::Done) {
                QVERIFY(f.window->copyWindow() != nullptr);
                QCOMPARE(f.window->copyWindow()->Label1->text(),
                         QStringLiteral("Done: USB Drive E: is now bootable."));
                QVERIFY(f.window->timerEject->Enabled());
            } else {
                QTRY_VERIFY(f.window->copyWindow() == nullptr);
            }
        }
    }

    void ImagePathWithAgreementAcceptedMakesAndCopies() {
        CommandFixture f;
        f.SelectRow(0);
        // format's prompt comes through the engine's output; the window says
        // what is being done instead.
        f.program.engine.createOutput = {"", "Insert new disk for drive E:",
                                         "and press ENTER when ready...", "Format complete."};
        bool shownDuringTheEngineCall = false;
        f.program.engine.duringCreate = [&] {
            QMetaObject::invokeMethod(
                qApp,
                [&] {
                    frmCopyFiles* copy = f.window->copyWindow();
                    shownDuringTheEngineCall =
                        copy != nullptr && copy->isVisible() &&
                        copy->Label1->text() ==
                            QStringLiteral(
                                "Copying files from the Image directory to the USB "
                                "Device. Please wait...");
                },
                Qt::BlockingQueuedConnection);
        };
        AgreementWindowDriver agreement;
        agreement.Arm(
            [](frmLicense* license) { QTest::mouseClick(license->Command1, Qt::LeftButton); });
        StepRecorder steps;
        qApp->installEventFilter(&steps);
        f.window->btnStart_Click();
        qApp->removeEventFilter(&steps);

        QCOMPARE(agreement.title, QStringLiteral("License Agreement"));
        QVERIFY(agreement.acceptHadFocus);
        QVERIFY(agreement.shownText.contains("Demo agreement"));
        QVERIFY(!agreement.shownText.contains("\\rtf"));
        QVERIFY(EulaAccepted);
        QCOMPARE(f.program.engine.createCalls.size(), size_t{1});
        QCOMPARE(f.program.engine.createCalls[0].destination, std::string("E:"));
        QCOMPARE(f.program.engine.createCalls[0].source, std::string("A:"));
        QCOMPARE(f.program.engine.createCalls[0].copyFiles, 0);
        QCOMPARE(f.program.drives.copies.size(), size_t{1});
        QCOMPARE(f.program.drives.copies[0].root, QStringLiteral("E:"));
        QCOMPARE(QDir(f.program.drives.copies[0].source).dirName(), QStringLiteral("LarkinDemo"));
        QCOMPARE(f.program.drives.copies[0].files,
                 (QStringList{"KERNEL.SYS", "License.rtf", "fi.ini"}));
        // Held through the engine and the copy, let go after.
        QCOMPARE(f.program.drives.heldDuringCopy, QStringList{"E:"});
        QVERIFY(f.program.drives.held.isEmpty());
        // No message box; the copy window ends with the success and stays
        // until the timer.
        QCOMPARE(f.program.boxes.Titles(), QStringList{kEraseTitle});
        QVERIFY(shownDuringTheEngineCall);
        QVERIFY(f.window->copyWindow() != nullptr);
        QVERIFY(f.window->copyWindow()->isVisible());
        QCOMPARE(f.window->copyWindow()->windowTitle(), QStringLiteral("Copying Files..."));
        QCOMPARE(f.window->copyWindow()->Label1->text(),
                 QStringLiteral("Done: USB Drive E: is now bootable."));
        QCOMPARE(steps.lines,
                 (QStringList{"Formatting E: ...", "Copying files to E: ...", "Copying KERNEL.SYS",
                              "Copying License.rtf", "Copying fi.ini",
                              "3 file(s) copied. This window closes in 5 seconds."}));
        QVERIFY(f.window->timerEject->Enabled());

        // The selection, the list and the button are left as they were.
        QCOMPARE(f.window->lvDevices->selectedItems().size(), 1);
        QVERIFY(f.window->btnStart->isEnabled());
        QCOMPARE(f.program.engine.countCalls, 1);
    }

    void TimerClosesTheCopyWindowFiveSecondsAfterTheCopy() {
        CommandFixture f;
        f.SelectRow(0);
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
        f.window->btnStart_Click();
        QPointer<frmCopyFiles> copy = f.window->copyWindow();
        QVERIFY(copy);
        f.program.timer->Advance(4999);
        QVERIFY(copy && copy->isVisible());
        f.program.timer->Advance(1);
        QTRY_VERIFY(copy.isNull());
        QVERIFY(!f.window->timerEject->Enabled());
        // Once only.
        f.program.timer->Advance(20000);
        QVERIFY(!f.window->timerEject->Enabled());
    }

    void NoCopyWindowOutlivesItsTimer() {
        CommandFixture f;
        f.program.drives.drives["A:"] = {true, true, "", 1474560};
        f.SelectRow(0);
        auto accept = [] {
            auto* agreement = new AgreementWindowDriver;
            agreement->Arm([agreement](frmLicense* license) {
                license->Command1_Click();
                delete agreement;
            });
        };
        // A second command within the 5 seconds: the first window goes with it.
        accept();
        f.window->btnStart_Click();
        QPointer<frmCopyFiles> first = f.window->copyWindow();
        QVERIFY(first);
        f.program.timer->Advance(2000);
        accept();
        f.window->btnStart_Click();
        QPointer<frmCopyFiles> second = f.window->copyWindow();
        QVERIFY(second && second != first);
        QTRY_VERIFY(first.isNull());
        f.program.timer->Advance(5000);
        QTRY_VERIFY(second.isNull());

        // ... and so with a floppy command, whose engine call the timer
        // might outlast.
        accept();
        f.window->btnStart_Click();
        first = f.window->copyWindow();
        QVERIFY(first);
        f.window->Option1[0]->setChecked(true);
        f.window->btnStart_Click();
        QTRY_VERIFY(first.isNull());

        // The timer firing while the window thread waits for the engine (a
        // Rescan here) still closes the window.
        f.window->Option1[1]->setChecked(true);
        accept();
        f.window->btnStart_Click();
        first = f.window->copyWindow();
        QVERIFY(first);
        f.program.engine.duringCount = [&] {
            QMetaObject::invokeMethod(
                qApp, [&] { f.program.timer->Advance(5000); }, Qt::BlockingQueuedConnection);
        };
        f.window->btnScan_Click();
        QTRY_VERIFY(first.isNull());
    }

    void DoNoAcceptEndsSilently() {
        CommandFixture f;
        f.SelectRow(0);
        AgreementWindowDriver agreement;
        agreement.Arm(
            [](frmLicense* license) { QTest::mouseClick(license->Command2, Qt::LeftButton); });
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), QStringList{kEraseTitle});
        QVERIFY(!EulaAccepted);
        QVERIFY(f.program.engine.createCalls.empty());
        QVERIFY(f.program.drives.copies.empty());
    }

    void ClosingTheAgreementWindowEndsSilently() {
        CommandFixture f;
        f.SelectRow(0);
        EulaAccepted = true;  // left from an earlier command
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->close(); });
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), QStringList{kEraseTitle});
        QVERIFY(!EulaAccepted);
        QVERIFY(f.program.engine.createCalls.empty());
    }

    void AgreementNoneInAnyCaseSkipsTheWindow() {
        for (const char* none : {"NONE", "None", "none"}) {
            TestProgram program;
            program.AddImage("Free", QByteArray("x\nFolder=Free\nEula=") + none + "\nName=Free\n",
                             {{"KERNEL.SYS", "k"}});
            StartOnRow(program, 1);
            QCOMPARE(program.boxes.Titles(), QStringList{kEraseTitle});
            QCOMPARE(program.engine.createCalls.size(), size_t{1});
            QCOMPARE(program.engine.createCalls[0].destination, std::string("F:"));
            QCOMPARE(program.drives.copies.size(), size_t{1});
        }
    }

    void MissingAgreementIsEulaNotFound() {
        CommandFixture f;
        QFile::remove(QDir(f.program.ImagesFolder()).filePath("LarkinDemo/License.rtf"));
        f.SelectRow(0);
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), (QStringList{kEraseTitle, "EULA Not Found"}));
        QCOMPARE(f.program.boxes.shown[1].text,
                 QStringLiteral("End User License not found. Try reinstalling the selected file "
                                "image."));
        QVERIFY(f.program.boxes.shown[1].buttons == Buttons::Ok);
        QVERIFY(f.program.boxes.shown[1].icon == Icon::None);
        QVERIFY(f.program.engine.createCalls.empty());
    }

    void AgreementNameIsFoundWhateverItsCase() {
        TestProgram program;
        program.AddImage("Img", "x\nFolder=img\nEula=LICENSE.RTF\nName=Img\n",
                         {{"license.rtf", "{\\rtf1 Terms\\par}"}, {"kernel.sys", "k"}});
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
        StartOnRow(program, 0);
        QCOMPARE(agreement.shownText.trimmed(), QStringLiteral("Terms"));
        QCOMPARE(program.drives.copies.size(), size_t{1});
    }

    void MissingImageFolderStopsBeforeTheDriveIsTouched() {
        // The description names a folder that is not there, with and without
        // an agreement (which would live in that folder).
        for (const char* agreement : {"NONE", "License.rtf"}) {
            TestProgram program;
            program.AddImage("Desc",
                             QByteArray("x\nFolder=Elsewhere\nEula=") + agreement + "\nName=Lost\n",
                             {{"License.rtf", "{\\rtf1 Terms\\par}"}});
            StartOnRow(program, 0);
            QCOMPARE(program.boxes.Titles(), (QStringList{kEraseTitle, "File Image Not Found"}));
            QCOMPARE(program.boxes.shown[1].text,
                     QStringLiteral("Selected file image directory cannot be found. Try "
                                    "reinstalling the selected file image."));
            QVERIFY(program.engine.createCalls.empty());
        }
    }

    void ImageWithoutKernelStopsBeforeTheDriveIsTouched() {
        TestProgram program;
        program.AddImage("Data", "x\nFolder=Data\nEula=NONE\nName=Data\n",
                         {{"README.TXT", "r"}, {"KERNEL.BAK", "k"}});
        QDir(program.ImagesFolder()).mkpath("Data/KERNEL.SYS");  // a folder is no kernel
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        window.lvDevices_ItemClick(window.lvDevices->topLevelItem(0));
        window.btnStart_Click();
        QCOMPARE(program.boxes.Titles(), (QStringList{kEraseTitle, "Boot Files Not Found"}));
        QVERIFY(program.boxes.shown[1].text.contains("has no KERNEL.SYS"));
        QVERIFY(program.boxes.shown[1].text.contains("The USB drive was not changed."));
        QVERIFY(program.engine.createCalls.empty());
        QVERIFY(program.drives.copies.empty());
    }

    void ImageFolderNameThatLeavesFileImagesIsRefused() {
        TestProgram program;
        program.AddImage("Desc", "x\nFolder=..\nEula=NONE\nName=Up\n");
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        window.lvDevices_ItemClick(window.lvDevices->topLevelItem(0));
        window.btnStart_Click();
        QCOMPARE(program.boxes.Titles(), (QStringList{kEraseTitle, "File Image Not Found"}));
        QVERIFY(program.engine.createCalls.empty());
    }

    void NoImageSelectedIsAnUnknownErrorBeforeAnyWrite() {
        TestProgram program;
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        program.boxes.shown.clear();
        window.lvDevices_ItemClick(window.lvDevices->topLevelItem(0));
        window.btnStart_Click();
        QCOMPARE(program.boxes.Titles(), (QStringList{kEraseTitle, "Unknown Error"}));
        QVERIFY(program.boxes.shown[1].text.startsWith("Unexpected Error 9  "));
        QVERIFY(program.engine.createCalls.empty());
    }

    void EngineFailureStopsBeforeTheCopyWithAMessage() {
        CommandFixture f;
        f.SelectRow(0);
        f.program.engine.createResult = 6;
        f.program.engine.createOutput = {"", " Unable to Lock volume"};
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), (QStringList{kEraseTitle, "USB Drive Not Bootable"}));
        QVERIFY(f.program.boxes.shown[1].text.contains("Unable to Lock volume"));
        QVERIFY(f.program.boxes.shown[1].text.contains("E:"));
        QVERIFY(f.program.drives.copies.empty());
        QTRY_VERIFY(f.window->copyWindow() == nullptr);
        QVERIFY(!f.window->timerEject->Enabled());
    }

    void EngineThatCannotBeReachedIsAnUnknownError() {
        CommandFixture f;
        f.SelectRow(0);
        f.program.engine.createFailure = {runtime_error::kDllEntryPoint,
                                          "Can't find DLL entry point CreateUSBBoot in Tessel"};
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), (QStringList{kEraseTitle, "Unknown Error"}));
        QCOMPARE(f.program.boxes.shown[1].text,
                 QStringLiteral("Unexpected Error 453  Can't find DLL entry point CreateUSBBoot "
                                "in Tessel"));
        QVERIFY(f.program.drives.copies.empty());
    }

    void FailedCopyClosesTheCopyWindowBeforeItsMessage() {
        struct Case {
            Failure failure;
            QString title;
        };
        const Case cases[] = {
            {{runtime_error::kDiskFull, "full"}, "USB Drive Full"},
            {{runtime_error::kDeviceUnavailable, "gone"}, "USB Drive Is Not Ready"},
            {{runtime_error::kDeviceIo, "io"}, "USB Drive Not Available"},
            {{runtime_error::kPathNotFound, "no folder"}, "File Image Not Found"},
        };
        for (const Case& c : cases) {
            CommandFixture f;
            f.SelectRow(0);
            f.program.drives.copyFailure = c.failure;
            bool copyWindowOpenAtMessage = true;
            f.program.boxes.onShow = [&](const MessageBoxRequest& request) {
                if (request.title == c.title)
                    copyWindowOpenAtMessage =
                        f.window->copyWindow() != nullptr && f.window->copyWindow()->isVisible();
            };
            AgreementWindowDriver agreement;
            agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
            f.window->btnStart_Click();
            QCOMPARE(f.program.boxes.Titles(), (QStringList{kEraseTitle, c.title}));
            QVERIFY(!copyWindowOpenAtMessage);
            QVERIFY(!f.window->timerEject->Enabled());
        }
    }

    void FloppyPathPassesCopyFilesOneAndShowsNoCopyWindow() {
        CommandFixture f;
        f.program.drives.drives["A:"] = {true, true, "", 1474560};
        f.program.drives.pointedLines = {"CONFIG.SYS named drive A:"};
        f.window->Option1[0]->setChecked(true);
        f.SelectRow(1);
        f.window->btnStart_Click();
        QCOMPARE(f.program.engine.createCalls.size(), size_t{1});
        QCOMPARE(f.program.engine.createCalls[0].destination, std::string("F:"));
        QCOMPARE(f.program.engine.createCalls[0].source, std::string("A:"));
        QCOMPARE(f.program.engine.createCalls[0].copyFiles, 1);
        QVERIFY(f.program.drives.copies.empty());
        QVERIFY(f.window->copyWindow() == nullptr);
        QVERIFY(!f.window->timerEject->Enabled());
        // It ends by saying so, then what it pointed at the stick's own drive.
        QCOMPARE(f.program.boxes.Titles(),
                 (QStringList{kEraseTitle, "USB Drive Bootable", "Floppy Paths Pointed at C:"}));
        QVERIFY(f.program.boxes.shown[1].text.startsWith("Done: USB Drive F: is now bootable."));
        QCOMPARE(f.program.boxes.shown[2].text, QStringLiteral("CONFIG.SYS named drive A:"));
        QCOMPARE(f.program.drives.pointedRoots, QStringList{"F:"});
    }

    void NoFloppyDriveIsReported() {
        CommandFixture f;
        f.window->Option1[0]->setChecked(true);
        f.SelectRow(0);
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), (QStringList{kEraseTitle, "No Floppy Device"}));
        QCOMPARE(f.program.boxes.shown[1].text,
                 QStringLiteral("No Floppy device found at A:. Please attach a floppy device and "
                                "try again."));
        QVERIFY(f.program.boxes.shown[1].icon == Icon::Stop);
        QVERIFY(f.program.engine.createCalls.empty());
    }

    void FloppyPromptRepeatsUntilADiskIsIn() {
        CommandFixture f;
        f.program.drives.drives["A:"] = {true, false, "", 0};
        // Not ready for the first two prompts' checks, then ready.
        f.program.drives.floppyReady = {false, false, false, false, false, true};
        f.window->Option1[0]->setChecked(true);
        f.SelectRow(0);
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(), (QStringList{kEraseTitle, "Insert Floppy",
                                                        "Insert Floppy", "USB Drive Bootable"}));
        const MessageBoxRequest& prompt = f.program.boxes.shown[1];
        QCOMPARE(prompt.text, QStringLiteral("Insert a floppy into Drive A: and click OK"));
        QVERIFY(prompt.buttons == Buttons::OkCancel);
        QVERIFY(prompt.icon == Icon::None);
        QCOMPARE(f.program.engine.createCalls.size(), size_t{1});
        QCOMPARE(f.program.engine.createCalls[0].copyFiles, 1);
    }

    void CancelAtTheFloppyPromptEndsSilently() {
        CommandFixture f;
        f.program.drives.drives["A:"] = {true, false, "", 0};
        f.window->Option1[0]->setChecked(true);
        f.SelectRow(0);
        f.program.boxes.answers = {Answer::Ok, Answer::Ok, Answer::Cancel};
        f.window->btnStart_Click();
        QCOMPARE(f.program.boxes.Titles(),
                 (QStringList{kEraseTitle, "Insert Floppy", "Insert Floppy"}));
        QVERIFY(f.program.engine.createCalls.empty());
    }

    void FloppyPathEngineFailureSaysWhatFailedAndWhatIsLeft() {
        struct Case {
            std::vector<std::string> output;
            // What the drive looks like once the engine has failed; absent:
            // no such drive any more.
            std::optional<DriveFacts> after;
            QString failed;
            QString left;
        };
        const DriveFacts before = {true, true, "CRUZER", 4004511744ULL, 1000000, 0x1234ABCD};
        const DriveFacts formatted = {true,          true,          "FREEDOS",
                                      2000000000ULL, 2000000000ULL, 0x5678EF01};
        const Case cases[] = {
            // The floppy was empty: found out after the drive was erased.
            {{"", " Copying Boot Files.....", "The system cannot find the file specified.",
              "        0 file(s) copied.", "", " Unable to copy the Boot Files"},
             formatted,
             ": Unable to copy the Boot Files.",
             "The drive was erased before this step failed"},
            // Refused before anything was written.
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
            CommandFixture f;
            f.program.drives.drives["A:"] = {true, true, "", 1474560};
            f.program.drives.drives["E:"] = before;
            f.program.engine.createResult = 6;
            f.program.engine.createOutput = c.output;
            f.program.engine.duringCreate = [&] {
                if (c.after)
                    f.program.drives.drives["E:"] = *c.after;
                else
                    f.program.drives.drives.remove("E:");
            };
            f.window->Option1[0]->setChecked(true);
            f.SelectRow(0);
            f.window->btnStart_Click();
            QCOMPARE(f.program.boxes.Titles(),
                     (QStringList{kEraseTitle, "USB Drive Not Bootable"}));
            const QString& text = f.program.boxes.shown[1].text;
            QVERIFY2(text.startsWith("USB Drive E: could not be made bootable from the floppy in "
                                     "A: (engine status 6)" +
                                     c.failed),
                     qPrintable(text));
            QVERIFY2(text.contains(c.left), qPrintable(text));
        }
    }

    // A source the check refuses stops the command before the engine (and an
    // image's before its agreement): the drive is not touched, and the reason
    // is shown.
    void ASourceThatCannotGoOnTheDriveStopsBeforeTheEngine() {
        struct Path {
            bool floppy;
            QString title;
            QString text;
        };
        for (const Path& path : {
                 Path{false, "Boot Image Not Usable",
                      "The boot image Larkin demo boot disk cannot make USB Drive E: bootable. "
                      "The reason."},
                 Path{true, "Floppy Not Usable",
                      "The floppy in drive A: cannot make USB Drive E: bootable. The reason."},
             }) {
            CommandFixture f;
            f.program.drives.drives["A:"] = {true, true, "", 1474560};
            f.program.drives.checkFailure = {runtime_error::kDiskFull, "the reason"};
            f.window->Option1[0]->setChecked(path.floppy);
            f.SelectRow(0);
            f.window->btnStart_Click();
            QCOMPARE(f.program.boxes.Titles(), (QStringList{kEraseTitle, path.title}));
            QCOMPARE(f.program.boxes.shown[1].text,
                     path.text + QStringLiteral("\r\nNothing was written to the drive."));
            QCOMPARE(f.program.drives.checkedSources.size(), 1);
            QVERIFY(path.floppy ? f.program.drives.checkedSources[0] == u"A:"
                                : f.program.drives.checkedSources[0].endsWith(u"/LarkinDemo"));
            QVERIFY(f.program.engine.createCalls.empty());
            QVERIFY(f.program.drives.copies.empty());
        }
    }

    void WindowsTakeNoInputButStayResponsiveDuringTheEngineCall() {
        CommandFixture f;
        f.SelectRow(0);
        int quitClicksSeen = 0;
        bool paintedDuringCall = false;
        f.program.engine.duringCreate = [&] {
            QMetaObject::invokeMethod(
                qApp,
                [&] {
                    // A click on Quit and on Rescan while the engine works is dropped.
                    QTest::mouseClick(f.window->Command1, Qt::LeftButton);
                    QTest::mouseClick(f.window->btnScan, Qt::LeftButton);
                    quitClicksSeen = f.program.ended ? 1 : 0;
                    // The window thread is free: it can paint.
                    f.window->repaint();
                    paintedDuringCall = true;
                    // Closing the main window is refused as well.
                    f.window->close();
                },
                Qt::BlockingQueuedConnection);
        };
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
        f.window->btnStart_Click();
        QVERIFY(paintedDuringCall);
        QCOMPARE(quitClicksSeen, 0);
        QVERIFY(!f.program.ended);
        QCOMPARE(f.program.engine.countCalls, 1);
        QVERIFY(f.window->isVisible());
        QVERIFY(!f.program.engine.onWindowThread);
        // Input works again afterwards.
        QTest::mouseClick(f.window->Command1, Qt::LeftButton);
        QVERIFY(f.program.ended);
    }
};

QTEST_MAIN(CommandTest)
#include "command_test.moc"
