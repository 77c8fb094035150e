// The main window on fake engines and drives: start-up, the image list, the
// device list's filters and columns, the selection rule, the status lines,
// the source options, Rescan, Quit, Exit, the menus and the tab order.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QtTest>

#include "fakes.h"
#include "frmUSBBoot.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

QStringList Rows(const frmUSBBoot& window) {
    QStringList rows;
    for (int i = 0; i < window.lvDevices->topLevelItemCount(); ++i) {
        QStringList texts;
        for (int column = 0; column < 4; ++column)
            texts.append(window.lvDevices->topLevelItem(i)->text(column));
        rows.append(texts.join(u'|'));
    }
    return rows;
}

void ClickRow(frmUSBBoot& window, int index) {
    QRect area = window.lvDevices->visualItemRect(window.lvDevices->topLevelItem(index));
    QTest::mouseClick(window.lvDevices->viewport(), Qt::LeftButton, {}, area.center());
}

using Shown = ShownProgram;

void TwoDrivesCFirst(TestProgram& program, bool systemFirst) {
    program.AddDemoImage();
    program.engine.count = 2;
    program.engine.texts = {"C: Some Disk", "E: Stick"};
    if (!systemFirst) std::swap(program.engine.texts[0], program.engine.texts[1]);
    program.drives.drives["C:"] = {true, true, "SYSTEM", 256000000};
    program.drives.drives["E:"] = {true, true, "STICK", 128000000};
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    // Quit -> (Make USB Bootable while disabled is passed over) -> the list ->
    // the image list -> the options (one stop for the group) -> Rescan USB.
    void TabOrderStartsAtQuitWhichHasTheFocus() {
        Shown shown;
        frmUSBBoot& window = *shown.window;
        QApplication::setActiveWindow(&window);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.Command1));
        QVERIFY(!window.btnStart->isEnabled());
        auto tab = [] {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            return QApplication::focusWidget();
        };
        QCOMPARE(tab(), static_cast<QWidget*>(window.lvDevices));
        QCOMPARE(tab(), static_cast<QWidget*>(window.Combo1));
        QWidget* option = tab();
        QVERIFY(option == window.Option1[0] || option == window.Option1[1]);
        QCOMPARE(tab(), static_cast<QWidget*>(window.btnScan));
        window.btnStart->setEnabled(true);
        window.Command1->setFocus();
        QCOMPARE(tab(), static_cast<QWidget*>(window.btnStart));
    }

    void StartUpFillsImagesListAndStatus() {
        Shown shown(
            [](TestProgram& program) {
                program.AddImage("Alpha", "x\nFolder=Alpha\nEula=NONE\nName=Alpha disk\n");
                program.AddImage("Beta", "x\nFolder=Beta\nEula=NONE\nName= Beta disk\n");
                program.AddUsbDrives();
                program.windowsDirectory = "  D:\\WINNT ";
            },
            false);
        frmUSBBoot& window = *shown.window;
        QVERIFY(shown.program.boxes.shown.empty());
        QCOMPARE(window.Combo1->count(), 2);
        QCOMPARE(window.Combo1->itemText(1), QStringLiteral(" Beta disk"));
        QCOMPARE(window.Combo1->currentIndex(), 0);
        QCOMPARE(window.systemDriveLetter(), QStringLiteral("D"));
        QCOMPARE(window.lvDevices->topLevelItemCount(), 2);
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        QCOMPARE(window.lblStatus->text(),
                 QStringLiteral("No Drive selected.\n Files will be copied from Alpha disk image "
                                "file."));
        window.Combo1->setCurrentIndex(1);
        QVERIFY(window.lblStatus->text().endsWith("from  Beta disk image file."));
    }

    void StartUpProblemsAreSaidAndEndTheProgramOnlyWhenNothingCanBeDone() {
        struct Case {
            const char* what;
            std::function<void(TestProgram&)> setup;
            QStringList titles;
            bool ended;
            QStringList rows;
        };
        auto demo = [](TestProgram& p) { p.AddDemoImage(); };
        // clang-format off
        const Case cases[] = {
            {"no File_Images", [](TestProgram& p) { QDir(p.ImagesFolder()).removeRecursively(); p.AddUsbDrives(); },
             {"File_Images Not Found"}, true, {}},
            {"no image", [](TestProgram& p) { p.AddUsbDrives(); }, {"File Images Missing"}, false,
             {"E:|CRUZER|SanDisk Cruzer Blade USB Device|4,004.51 MB", "F:||Kingston DataTraveler 2.0|64.00 MB"}},
            {"no drive", demo, {"No USB Drives"}, true, {}},
            {"no drive listed", [=](TestProgram& p) { demo(p); p.engine.count = 1; p.engine.texts = {"C: "}; },
             {"No USB Drives"}, false, {}},
            {"no engine", [=](TestProgram& p) { demo(p); p.engine.countFailure = {runtime_error::kDllLoad, "gone"}; },
             {"No USB Drives"}, false, {}},
            // The first row is added before its drive is asked; the fill ends there.
            {"drive query failure", [=](TestProgram& p) {
                 demo(p); p.AddUsbDrives(); p.drives.driveFailure = {runtime_error::kDeviceIo, "broken"}; },
             {}, false, {"E:|||"}},
        };
        // clang-format on
        for (const Case& c : cases) {
            Shown shown(c.setup, false);
            QVERIFY2(shown.program.boxes.Titles() == c.titles, c.what);
            QVERIFY2(shown.program.ended == c.ended, c.what);
            if (!c.ended)
                QVERIFY2(Rows(*shown.window) == c.rows, qPrintable(Rows(*shown.window).join(", ")));
            if (QString(c.what) == "no File_Images") QCOMPARE(shown.program.engine.countCalls, 0);
        }
        Shown rescan({}, false);
        rescan.program.engine.count = -1;
        rescan.window->btnScan_Click();
        QVERIFY(rescan.program.ended);
        QCOMPARE(rescan.program.boxes.Titles(), QStringList{"No USB Drives"});
    }

    // Not ready, unknown, blank label, two volumes (named by the first
    // letter); texts without a capital drive letter, and the system drive's
    // bare letter, are not listed.
    void DeviceRowsAndTheirColumns() {
        Shown shown(
            [](TestProgram& program) {
                program.AddDemoImage();
                program.engine.texts = {"E: Generic Flash Disk",
                                        "G: Slow Reader",
                                        "H: Gone Stick",
                                        "I: Raw Stick",
                                        "J:;L: Two Volumes",
                                        "",
                                        "   ",
                                        "e: lower case",
                                        "1: digit",
                                        "C: ",
                                        " Kingston no letter",
                                        "  F: leading blanks",
                                        "C: Some Disk"};
                program.engine.count = static_cast<int>(program.engine.texts.size());
                program.drives.drives["C:"] = {true, true, "SYSTEM", 256000000};
                program.drives.drives["E:"] = {true, true, "MYLABEL", 4004511744ULL};
                program.drives.drives["G:"] = {true, false, "IGNORED", 1000};
                program.drives.drives["I:"] = {true, true, "", 999999};
                program.drives.drives["J:"] = {true, true, "FIRST", 2000000};
            },
            false);
        const QStringList rows{"E:|MYLABEL|Generic Flash Disk|4,004.51 MB",
                               "G:|NOT READY||",
                               "H:|NOT READY||",
                               "I:||Raw Stick|1.00 MB",
                               "J:|FIRST|Two Volumes (also L:)|2.00 MB",
                               "C:|SYSTEM|Some Disk|256.00 MB"};
        QCOMPARE(Rows(*shown.window), rows);
        // A failed GetUSBDevInfo skips only its index.
        ++shown.program.engine.count;
        shown.window->btnScan_Click();
        QCOMPARE(Rows(*shown.window), rows);
    }

    void SystemRowIsDimmedAndRefusedByMouseAndKeyboard() {
        Shown shown([](TestProgram& program) { TwoDrivesCFirst(program, true); });
        frmUSBBoot& window = *shown.window;
        QColor dimmed = window.palette().color(QPalette::Disabled, QPalette::Text);
        QCOMPARE(window.lvDevices->topLevelItem(0)->foreground(0).color(), dimmed);
        QVERIFY(window.lvDevices->topLevelItem(1)->foreground(0).color() != dimmed);
        ClickRow(window, 0);
        QCOMPARE(shown.program.boxes.Titles(), QStringList{"Format Error!"});
        QVERIFY(shown.program.boxes.shown[0].icon == Icon::Stop);
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        QVERIFY(!window.btnStart->isEnabled());
        QVERIFY(window.lblStatus->text().startsWith("No Drive selected."));
        ClickRow(window, 1);
        QVERIFY(window.btnStart->isEnabled());
        QVERIFY(window.lblStatus->text().startsWith("Drive E: selected.\n"));
        // Refusing the system drive later, or a Rescan, leaves the button enabled.
        ClickRow(window, 0);
        QCOMPARE(shown.program.boxes.shown.size(), size_t{2});
        QVERIFY(window.btnStart->isEnabled());
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        window.btnScan_Click();
        QVERIFY(window.btnStart->isEnabled());

        Shown keyboard([](TestProgram& program) { TwoDrivesCFirst(program, false); });
        ClickRow(*keyboard.window, 0);
        keyboard.window->lvDevices->setFocus();
        QTest::keyClick(keyboard.window->lvDevices, Qt::Key_Down);
        QTRY_COMPARE(keyboard.program.boxes.Titles(), QStringList{"Format Error!"});
        QTRY_VERIFY(keyboard.window->lvDevices->selectedItems().isEmpty());
        QVERIFY(keyboard.window->lblStatus->text().startsWith("No Drive selected."));
    }

    void OptionsSwitchTheImageListAndTheStatus() {
        Shown shown;
        frmUSBBoot& window = *shown.window;
        ClickRow(window, 1);
        QTest::mouseClick(window.Option1[0], Qt::LeftButton);
        QVERIFY(!window.Combo1->isEnabled());
        QVERIFY(!window.Label1->isEnabled());
        QCOMPARE(window.lblStatus->text(),
                 QStringLiteral("Drive F: selected.\n Files will be copied from Floppy (A:)."));
        QTest::mouseClick(window.Option1[1], Qt::LeftButton);
        QVERIFY(window.Combo1->isEnabled());
        QVERIFY(window.Label1->isEnabled());
        QCOMPARE(window.lblStatus->text(),
                 QStringLiteral("Drive F: selected.\n Files will be copied from Larkin demo boot "
                                "disk image file."));
        window.btnScan_Click();
        QVERIFY(window.lblStatus->text().startsWith("No Drive selected.\n"));
    }

    void QuitEndsTheProgramAndExitClosesTheWindow() {
        Shown quit;
        QTest::mouseClick(quit.window->Command1, Qt::LeftButton);
        QVERIFY(quit.program.ended);
        Shown exit;
        exit.window->mnuExit->trigger();
        QVERIFY(!exit.window->isVisible());
        QVERIFY(!exit.program.ended);
    }

    void HelpOpensThePageBesideTheProgram() {
        Shown shown({}, false);
        const QString page = QDir(shown.program.folder.path()).filePath("larkinhelp.htm");
        shown.window->mnuProgHelp->trigger();
        QCOMPARE(shown.program.openedPages, QStringList{page});
        QVERIFY(shown.program.boxes.shown.empty());
        QFile::remove(page);
        shown.window->mnuProgHelp->trigger();
        QCOMPARE(shown.program.openedPages.size(), 1);
        QCOMPARE(shown.program.boxes.Titles(), QStringList{"Larkin Help"});
    }

    void FloppyImageEntryShowsThePickedFileAsDriveA() {
        QStringList picks = {"", "/x/disk.img", "/x/boot.img"};
        Shown shown(
            [&](TestProgram& program) {
                program.AddDemoImage();
                program.AddUsbDrives();
                program.services.chooseFloppyImage = [&] { return picks.takeFirst(); };
                program.drives.imageRefusals["/x/disk.img"] = "it holds a partition table";
            },
            false);
        frmUSBBoot& window = *shown.window;
        window.mnuFloppyImage->trigger();  // no file picked
        QVERIFY(shown.program.drives.usedImages.isEmpty());
        window.mnuFloppyImage->trigger();
        QCOMPARE(shown.program.boxes.Titles(), QStringList{"Floppy Image Not Usable"});
        QVERIFY(shown.program.boxes.shown[0].text.endsWith("it holds a partition table"));
        QVERIFY(!window.Option1[0]->isChecked());
        window.mnuFloppyImage->trigger();
        QCOMPARE(shown.program.drives.usedImages, (QStringList{"/x/disk.img", "/x/boot.img"}));
        QCOMPARE(shown.program.boxes.shown.size(), size_t{1});
        QVERIFY(window.Option1[0]->isChecked());
    }

    void AboutNamesTheVersionAndTheLicenceFile() {
        Shown shown({}, false);
        shown.window->mnuAbout->trigger();
        QCOMPARE(shown.program.boxes.Titles(), QStringList{"About Larkin"});
        const QString& text = shown.program.boxes.shown[0].text;
        QVERIFY(text.contains(QStringLiteral("Version ") + LARKIN_VERSION));
        QVERIFY(text.contains(
            QDir::toNativeSeparators(QDir(shown.program.folder.path()).filePath("COPYRIGHT"))));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
