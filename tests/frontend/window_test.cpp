// The main window on fake engines and drives: start-up, the device list and
// the status, the menus, and the make-bootable command on both paths.
#include "fakes.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

const QString kErase = "USB Drive ERASE Notification";
const QString kNotBootable = "USB Drive Not Bootable";
const QString kWriter = "writer E: SanDisk Cruzer Blade USB Device LarkinDemo";
using Setup = std::function<void(TestProgram&)>;
using larkin::writer::OutcomeKind;

QStringList Rows(const TestProgram& program) {
    QStringList rows;
    for (int i = 0; i < program.window->lvDevices->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = program.window->lvDevices->topLevelItem(i);
        rows << QStringList{row->text(0), row->text(1), row->text(2), row->text(3)}.join('|');
    }
    return rows;
}

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

class WindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

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
        const QString page = program.folder.filePath("larkinhelp.htm");
        window.mnuProgHelp->trigger();
        QCOMPARE(program.openedPages, QStringList{page});
        QFile::remove(page);
        window.mnuProgHelp->trigger();
        QCOMPARE(program.openedPages.size(), 1);
        window.mnuAbout->trigger();
        QVERIFY(program.LastText().contains(QString("Version ") + LARKIN_VERSION));
        QVERIFY(program.LastText().contains(program.folder.filePath("COPYRIGHT")));
        QStringList picks = {"", "/x/disk.img", "/x/boot.img"};
        program.services.chooseFloppyImage = [&] { return picks.takeFirst(); };
        program.drives.imageRefusals["/x/disk.img"] = "it holds a partition table";
        window.mnuFloppyImage->trigger();  // no file picked
        window.mnuFloppyImage->trigger();
        QVERIFY(program.LastText().endsWith("it holds a partition table"));
        QVERIFY(!window.Option1[0]->isChecked());
        window.mnuFloppyImage->trigger();
        QCOMPARE(program.log.filter("use "), (QStringList{"use /x/disk.img", "use /x/boot.img"}));
        QVERIFY(window.Option1[0]->isChecked());
        QCOMPARE(program.boxes.Titles(),
                 (QStringList{"Larkin Help", "About Larkin", "Floppy Image Not Usable"}));
        window.mnuExit->trigger();
        QVERIFY(!window.isVisible() && !program.ended);
    }

    void StartUpAndTheStatus() {
        TestProgram shown([](TestProgram& p) {
            AddImage(p.ImagesFolder(), "Alpha", "x\nFolder=Alpha\nEula=NONE\nName=Alpha disk\n");
            AddImage(p.ImagesFolder(), "Beta", "x\nFolder=Beta\nEula=NONE\nName= Beta disk\n");
            p.AddUsbDrives();
            p.windowsDirectory = "  D:\\WINNT ";
        });
        frmUSBBoot& window = *shown.window;
        QCOMPARE(window.Combo1->count(), 2);
        QCOMPARE(window.systemDriveLetter(), "D");
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        QCOMPARE(window.lblStatus->text(),
                 "No Drive selected.\n Files will be copied from Alpha disk image file.");
        window.Combo1->setCurrentIndex(1);
        ClickRow(shown, 1);
        QCOMPARE(window.lblStatus->text(),
                 "Drive F: selected.\n Files will be copied from  Beta disk image file.");
        QTest::mouseClick(window.Option1[0], Qt::LeftButton);
        QVERIFY(!window.Combo1->isEnabled() && !window.Label1->isEnabled());
        QVERIFY(window.lblStatus->text().endsWith("\n Files will be copied from Floppy (A:)."));
        QTest::mouseClick(window.Option1[1], Qt::LeftButton);
        QVERIFY(window.Combo1->isEnabled() && window.Label1->isEnabled());
        QVERIFY(window.lblStatus->text().endsWith("from  Beta disk image file."));
        window.btnScan_Click();
        QVERIFY(window.lblStatus->text().startsWith("No Drive selected.\n"));
        shown.engine.count = -1;
        window.btnScan_Click();
        QVERIFY(shown.ended);
        QCOMPARE(shown.boxes.Titles(), QStringList{"No USB Drives"});
    }

    void StartUpProblemsAreSaidAndEndTheProgramOnlyWhenNothingCanBeDone() {
        auto demo = [](TestProgram& p) { p.AddDemoImage(); };
        // clang-format off
        const std::tuple<const char*, Setup, QStringList, bool, QStringList> cases[] = {
            {"no File_Images", [](TestProgram& p) { QDir(p.ImagesFolder()).removeRecursively(); p.AddUsbDrives(); }, {"File_Images Not Found"}, true, {}},
            {"no image", [](TestProgram& p) { p.AddUsbDrives(); }, {"File Images Missing"}, false,
             {"E:|CRUZER|SanDisk Cruzer Blade USB Device|4,004.51 MB", "F:||Kingston DataTraveler 2.0|64.00 MB"}},
            {"no drive", demo, {"No USB Drives"}, true, {}},
            {"no drive listed", [=](TestProgram& p) { demo(p); p.engine.count = 1; p.engine.texts = {"C: "}; }, {"No USB Drives"}, false, {}},
            {"no engine", [=](TestProgram& p) { demo(p); p.engine.countFailure = {runtime_error::kDllLoad, "gone"}; }, {"No USB Drives"}, false, {}},
            // The first row is added before its drive is asked; the fill ends there.
            {"drive query failure", [=](TestProgram& p) { demo(p); p.AddUsbDrives(); p.drives.driveFailure = {runtime_error::kDeviceIo, "broken"}; }, {}, false, {"E:|||"}},
        };
        // clang-format on
        for (const auto& [what, setup, titles, ended, rows] : cases) {
            TestProgram shown(setup);
            QVERIFY2(shown.boxes.Titles() == titles && shown.ended == ended, what);
            // Ended: without asking the engine when there is no File_Images.
            QVERIFY2(ended ? shown.log.contains("count") == (titles[0] == "No USB Drives")
                           : Rows(shown) == rows,
                     what);
        }
    }

    // Texts without a capital drive letter, and the system drive's bare
    // letter, are not listed; a failed GetUSBDevInfo skips its index. The
    // system drive's row is dimmed and refused by mouse and keyboard.
    void DeviceRowsTheirColumnsAndTheRefusedSystemRow() {
        TestProgram shown([](TestProgram& program) {
            program.AddDemoImage();
            // clang-format off
            program.engine.texts = {"E: Generic Flash Disk", "G: Slow Reader", kInfoFails, "H: Gone Stick", "I: Raw Stick", "J:;L: Two Volumes",
                                    "", "   ", "e: lower case", "1: digit", "C: ", " Kingston no letter", "  F: leading blanks", "C: Some Disk"};
            // clang-format on
            program.engine.count = 15;
            program.drives.drives["C:"] = {true, true, "SYSTEM", 256000000};
            program.drives.drives["E:"] = {true, true, "MYLABEL", 4004511744ULL};
            program.drives.drives["G:"] = {true, false, "IGNORED", 1000};
            program.drives.drives["I:"] = {true, true, "", 999999};
            program.drives.drives["J:"] = {true, true, "FIRST", 2000000};
        });
        frmUSBBoot& window = *shown.window;
        window.btnScan_Click();
        QCOMPARE(Rows(shown),
                 (QStringList{"E:|MYLABEL|Generic Flash Disk|4,004.51 MB", "G:|NOT READY||",
                              "H:|NOT READY||", "I:||Raw Stick|1.00 MB",
                              "J:|FIRST|Two Volumes (also L:)|2.00 MB",
                              "C:|SYSTEM|Some Disk|256.00 MB"}));
        QColor dimmed = window.palette().color(QPalette::Disabled, QPalette::Text);
        QCOMPARE(window.lvDevices->topLevelItem(5)->foreground(0).color(), dimmed);
        QVERIFY(window.lvDevices->topLevelItem(4)->foreground(0).color() != dimmed);
        ClickRow(shown, 5);
        QCOMPARE(shown.boxes.Titles(), QStringList{"Format Error!"});
        QVERIFY(window.lvDevices->selectedItems().isEmpty() && !window.btnStart->isEnabled());
        ClickRow(shown, 4);
        QVERIFY(window.btnStart->isEnabled());
        // Refusing the system drive later, or a Rescan, leaves the button enabled.
        ClickRow(shown, 5);
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        QVERIFY(window.lblStatus->text().startsWith("No Drive selected."));
        window.btnScan_Click();
        QVERIFY(window.btnStart->isEnabled());
        ClickRow(shown, 4);
        window.lvDevices->setFocus();
        QTest::keyClick(window.lvDevices, Qt::Key_Down);
        QTRY_COMPARE(shown.boxes.Titles(), QStringList(3, "Format Error!"));
        QTRY_VERIFY(window.lvDevices->selectedItems().isEmpty());
    }

    void StopsBeforeTheEngineSayingWhy() {
        const QString why = "it is held by larkin-cli boot E: (process 7)";
        const QString unwritable =
            "USB Drive E: cannot be written: " + why + ". Nothing was changed on the drive.";
        const QString unusable = " cannot make USB Drive E: bootable. Why.\r\nNothing was written";
        const QString lost = "File Image Not Found";
        struct Case {
            const char* what;
            Setup images;
            std::function<void(TestProgram&)> before;
            QStringList titles;
            QString said;
            int row = 0;
            std::function<void(frmLicense*)> onAgreement = Accept;
        };
        // clang-format off
        const Case cases[] = {
            {"no drive selected", {}, {}, {"No USB Drive"}, {}, -1},
            {"erase cancelled", {}, [](TestProgram& c) { c.boxes.answers = {Answer::Cancel}; }, {kErase}, {}},
            {"refused drive", {}, [&](TestProgram& c) { c.drives.refusals["E:"] = why; }, {kNotBootable}, unwritable},
            {"drive held elsewhere", {}, [&](TestProgram& c) { c.drives.holdErrors["E:"] = why; }, {kErase, kNotBootable}, unwritable},
            {"agreement declined", {}, {}, {kErase}, {}, 0, [](frmLicense* license) { QTest::mouseClick(license->Command2, Qt::LeftButton); }},
            {"agreement closed", {}, [](TestProgram&) { EulaAccepted = true; }, {kErase}, {}, 0, [](frmLicense* license) { license->close(); }},
            {"agreement missing", {}, [](TestProgram& c) { QFile::remove(c.ImagesFolder() + "/LarkinDemo/License.rtf"); }, {kErase, "EULA Not Found"}, {}},
            {"image folder missing", Image("x\nFolder=Elsewhere\nEula=NONE\nName=Lost\n"), {}, {kErase, lost}, {}},
            {"image folder missing, with an agreement", Image("x\nFolder=Elsewhere\nEula=License.rtf\nName=Lost\n", {{"License.rtf", "{\\rtf1 Terms\\par}"}}), {}, {kErase, lost}, {}},
            {"image folder outside File_Images", Image("x\nFolder=..\nEula=NONE\nName=Up\n"), {}, {kErase, lost}, {}},
            {"image without a kernel", Image("x\nFolder=Img\nEula=NONE\nName=Data\n", {{"KERNEL.BAK", "k"}}),
             [](TestProgram& c) { QDir(c.ImagesFolder()).mkpath("Img/KERNEL.SYS"); }, {kErase, "Boot Files Not Found"}, "has no KERNEL.SYS"},
            {"no image", [](TestProgram& p) { p.AddUsbDrives(); }, {}, {kErase, "Unknown Error"}, "Unexpected Error 9  "},
            {"no floppy drive", {}, [](TestProgram& c) { c.FromFloppy(); }, {kErase, "No Floppy Device"}, {}},
            {"floppy prompt cancelled", {}, [](TestProgram& c) { c.drives.drives["A:"] = {true, false, "", 0}; c.boxes.answers = {Answer::Ok, Answer::Ok, Answer::Cancel}; c.FromFloppy(); },
             {kErase, "Insert Floppy", "Insert Floppy"}, {}},
            {"image refused by the check", {}, [](TestProgram& c) { c.drives.checkFailure = {runtime_error::kDiskFull, "why"}; }, {kErase, "Boot Image Not Usable"}, "The boot image Larkin demo boot disk" + unusable},
            {"floppy refused by the check", {}, [](TestProgram& c) { c.drives.drives["A:"] = {true, true, "", 1474560}; c.drives.checkFailure = {runtime_error::kDiskFull, "why"}; c.FromFloppy(); },
             {kErase, "Floppy Not Usable"}, "The floppy in drive A:" + unusable},
        };
        // clang-format on
        for (const Case& c : cases) {
            TestProgram command(c.images);
            if (c.before) c.before(command);
            command.Start(c.row, c.onAgreement);
            QVERIFY2(command.boxes.Titles() == c.titles,
                     qPrintable(QString(c.what) + ": " + command.boxes.Titles().join(", ")));
            QVERIFY2(command.LastText().contains(c.said), c.what);
            QVERIFY2(command.log.filter(QRegularExpression("^(create|copy)")).isEmpty(), c.what);
            QVERIFY2(command.log.count("hold E:") == command.log.count("release E:"), c.what);
            QVERIFY2(!EulaAccepted, c.what);
        }
    }

    void ImagePathWithAgreementAcceptedMakesAndCopies() {
        TestProgram command;
        // format's prompt comes through the engine's output; the window says
        // what is being done instead.
        command.engine.createOutput = {"Insert new disk for drive E:", "and press ENTER"};
        bool shownDuringTheEngineCall = false;
        command.engine.duringCreate = [&] {
            QMetaObject::invokeMethod(
                qApp,
                [&] {
                    frmCopyFiles* copy = command.window->copyWindow();
                    shownDuringTheEngineCall = copy != nullptr && copy->isVisible();
                    // Quit, Rescan USB and closing are refused meanwhile.
                    QTest::mouseClick(command.window->Command1, Qt::LeftButton);
                    QTest::mouseClick(command.window->btnScan, Qt::LeftButton);
                    command.window->close();
                },
                Qt::BlockingQueuedConnection);
        };
        QStringList steps;
        auto recorder = RecordSteps(&steps);
        command.Start(0);
        QVERIFY(command.acceptHadFocus && EulaAccepted);
        QCOMPARE(command.agreementText.trimmed(), "Demo agreement");
        QCOMPARE(command.log, (QStringList{"hold E:", "check LarkinDemo", "create E: A: 0",
                                           "copy LarkinDemo to E:", "release E:"}));
        QCOMPARE(command.boxes.Titles(), QStringList{kErase});
        QVERIFY(command.boxes.shown[0].buttons == Buttons::OkCancel);
        QCOMPARE(command.boxes.shown[0].defaultButton, 1);
        QVERIFY(shownDuringTheEngineCall && !command.ended && command.window->isVisible());
        QVERIFY(!command.engine.onWindowThread);
        frmCopyFiles* copy = command.window->copyWindow();
        QCOMPARE(copy->Label1->text(), "Done: USB Drive E: is now bootable.");
        QVERIFY(copy->lblStep->text() == steps.value(5) && copy->barBusy->maximum() > 0);
        QCOMPARE(steps, (QStringList{"Formatting E: ...", "Copying files to E: ...",
                                     "Copying KERNEL.SYS", "Copying License.rtf", "Copying fi.ini",
                                     "3 file(s) copied. This window closes in 5 seconds."}));
        QCOMPARE(command.window->lvDevices->selectedItems().size(), 1);
        QVERIFY(command.window->btnStart->isEnabled());
        // So through the writing helper, which shows its files as the engine's.
        Helper(OutcomeKind::Done)(command);
        command.Start(0);
        QCOMPARE(command.log, (QStringList{"check LarkinDemo", kWriter}));
        QCOMPARE(command.boxes.Titles(), QStringList{kErase});
        QVERIFY(steps.endsWith("1 file(s) copied. This window closes in 5 seconds."));
        QVERIFY(command.window->timerEject->Enabled());
        QTest::mouseClick(command.window->Command1, Qt::LeftButton);
        QVERIFY(command.ended);
    }

    void AgreementNoneInAnyCaseSkipsTheWindowAndTheNameIsFoundInAnyCase() {
        for (const char* eula : {"NONE", "None", "none", "LICENSE.RTF"}) {
            TestProgram command(
                Image(QByteArray("x\nFolder=img\nEula=") + eula + "\nName=Free\n",
                      {{"license.rtf", "{\\rtf1 Terms\\par}"}, {"kernel.sys", "k"}}));
            command.Start(1);
            QCOMPARE(command.boxes.Titles(), QStringList{kErase});
            QCOMPARE(command.agreementText.trimmed(), eula[0] == 'L' ? "Terms" : "");
            QVERIFY(command.log.contains("copy Img to F:"));
        }
    }

    void CopyWindowClosesFiveSecondsAfterTheCopyAndOutlivesNoTimer() {
        TestProgram command;
        // A second command within the 5 seconds: the first window goes with it.
        command.Start(0);
        QPointer<frmCopyFiles> first = command.window->copyWindow();
        QVERIFY(first);
        command.timer->Advance(2000);
        command.Start(0);
        QPointer<frmCopyFiles> second = command.window->copyWindow();
        QVERIFY(second && second != first);
        QTRY_VERIFY(first.isNull());
        command.timer->Advance(4999);
        QVERIFY(second && second->isVisible());
        command.timer->Advance(1);
        QTRY_VERIFY(second.isNull());
        QVERIFY(!command.window->timerEject->Enabled());
        // The timer firing while the window thread waits for the engine (a
        // Rescan here) still closes the window.
        command.Start(0);
        first = command.window->copyWindow();
        QVERIFY(first);
        command.engine.duringCount = [&] {
            QMetaObject::invokeMethod(
                qApp, [&] { command.timer->Advance(5000); }, Qt::BlockingQueuedConnection);
        };
        command.window->btnScan_Click();
        QTRY_VERIFY(first.isNull());
    }

    void FailuresAfterTheEraseSayWhatFailedAndWhatIsLeft() {
        const DriveFacts before{true, true, "CRUZER", 4004511744ULL, 1000000, 0x1234ABCD};
        auto fails = [=](bool floppy, std::vector<std::string> output,
                         std::optional<DriveFacts> after) {
            return [=](TestProgram& c) {
                c.drives.drives["E:"] = before;
                c.EngineFails(output, after);
                if (floppy) c.FromFloppy();
            };
        };
        const QString image = "USB Drive E: could not be made bootable (engine status 6): ";
        const QString floppy =
            "USB Drive E: could not be made bootable from the floppy in A: (engine status 6): ";
        const DriveFacts erased{true, true, "FREEDOS", 2000000000ULL, 2000000000ULL, 0x5678EF01};
        // clang-format off
        const std::tuple<Setup, QString, QString> cases[] = {
            {fails(false, {"", " Unable to Lock volume"}, before), kNotBootable, image + "Unable to Lock volume.\n\nThe drive was left as it was."},
            {[](TestProgram& c) { c.engine.createFailure = {runtime_error::kDllEntryPoint, "No entry"}; }, "Unknown Error", "Unexpected Error 453  No entry"},
            {[](TestProgram& c) { c.drives.copyFailure = {runtime_error::kDiskFull, "x"}; }, "USB Drive Full", {}},
            // The floppy was empty: found out after the drive was erased.
            {fails(true, {"", " Copying Boot Files.....", "        0 file(s) copied.", "", " Unable to copy the Boot Files"}, erased),
             kNotBootable, floppy + "Unable to copy the Boot Files.\n\nThe drive was erased before this step failed"},
            {fails(true, {"", " Drive letter not found"}, before), kNotBootable, floppy + "Drive letter not found.\n\nThe drive was left as it was."},
            {fails(true, {"", " ERROR Writing to Dest"}, std::nullopt), kNotBootable, floppy + "ERROR Writing to Dest.\n\nThe drive can no longer be found"},
            {Helper(OutcomeKind::Refused), kNotBootable, "USB Drive E: cannot be written: the reason. Nothing was changed on the drive."},
            {Helper(OutcomeKind::NotAuthorised), kNotBootable, "USB Drive E: cannot be written: the reason."},
            {Helper(OutcomeKind::EngineFailed), kNotBootable, image + "Unable to Lock volume.\n\nThe drive was left as it was."},
            {Helper(OutcomeKind::Died), kNotBootable, "bootable: the reason.\n\nThe drive was left as it was."},
        };
        // clang-format on
        for (const auto& [fail, title, said] : cases) {
            TestProgram command;
            fail(command);
            bool copyWindowOpenAtMessage = true;
            command.boxes.onShow = [&](const MessageBoxRequest& request) {
                frmCopyFiles* copy = command.window->copyWindow();
                if (request.title == title) copyWindowOpenAtMessage = copy && copy->isVisible();
            };
            command.Start(0);
            QCOMPARE(command.boxes.Titles(), (QStringList{kErase, title}));
            QVERIFY2(command.LastText().contains(said), qPrintable(command.LastText()));
            QVERIFY(!copyWindowOpenAtMessage && !command.window->timerEject->Enabled());
            if (command.log.contains(kWriter))
                QCOMPARE(command.log, (QStringList{"check LarkinDemo", kWriter}));
        }
    }

    void FloppyPathPromptsThenPassesCopyFilesOne() {
        TestProgram command;
        command.drives.drives["A:"] = {true, false, "", 1474560};
        command.drives.floppyReady = {false, false, false, false, false, true};
        command.drives.pointedLines = {"CONFIG.SYS named drive A:"};
        command.FromFloppy();
        command.Start(1);
        QCOMPARE(command.log,
                 (QStringList{"hold F:", "check A:", "create F: A: 1", "point F:", "release F:"}));
        QVERIFY(command.window->copyWindow() == nullptr);
        QCOMPARE(command.boxes.Titles(),
                 (QStringList{kErase, "Insert Floppy", "Insert Floppy", "USB Drive Bootable",
                              "Floppy Paths Pointed at C:"}));
        QVERIFY(command.boxes.shown[3].text.startsWith("Done: USB Drive F:"));
        QCOMPARE(command.LastText(), "CONFIG.SYS named drive A:");
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
