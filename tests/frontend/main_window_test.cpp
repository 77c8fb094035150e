// The main window on fake engines and drives: start-up, the image list, the
// device list's filters and columns, the selection rule, the status lines,
// the source options, Rescan, Quit, Exit and the Help menu.
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QtTest>

#include "fakes.h"
#include "frmUSBBoot.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

QStringList RowTexts(QTreeWidgetItem* row) {
    QStringList texts;
    for (int column = 0; column < 4; ++column) texts.append(row->text(column));
    return texts;
}

void ClickRow(frmUSBBoot& window, int index) {
    QTreeWidgetItem* row = window.lvDevices->topLevelItem(index);
    QRect area = window.lvDevices->visualItemRect(row);
    QTest::mouseClick(window.lvDevices->viewport(), Qt::LeftButton, {}, area.center());
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void ControlsCaptionsAndSizes() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        QCOMPARE(window.windowTitle(), QStringLiteral("Norvale Larkin 1.4"));
        QCOMPARE(window.centralWidget()->size(), QSize(513, 343));
        QCOMPARE(window.Frame1->title(), QStringLiteral("What to Copy to USB Drive"));
        QCOMPARE(window.Option1[0]->text(), QStringLiteral("Copy Files from Floppy"));
        QCOMPARE(window.Option1[1]->text(), QStringLiteral("Copy Files from Boot Image File"));
        QVERIFY(window.Option1[1]->isChecked());
        QCOMPARE(window.Label1->text(), QStringLiteral("Boot Image File"));
        QCOMPARE(window.Label4->text(), QStringLiteral("Select USB Device to Make Bootable"));
        QCOMPARE(window.btnScan->text(), QStringLiteral("Rescan USB"));
        QCOMPARE(window.btnStart->text(), QStringLiteral("Make USB Bootable"));
        QVERIFY(!window.btnStart->isEnabled());
        QCOMPARE(window.Command1->text(), QStringLiteral("Quit"));
        QCOMPARE(window.timerEject->Interval(), 5000);
        QVERIFY(!window.timerEject->Enabled());
        // Every control lies inside the client area.
        const QList<QWidget*> controls{window.Frame1,    window.Image1,   window.lvDevices,
                                       window.lblStatus, window.btnStart, window.Command1,
                                       window.btnScan,   window.Label4};
        for (QWidget* control : controls)
            QVERIFY2(window.centralWidget()->rect().contains(control->geometry()),
                     qPrintable(control->objectName()));

        QTreeWidgetItem* header = window.lvDevices->headerItem();
        QCOMPARE(RowTexts(header), (QStringList{"Mount", "Volume Name", "Friendly Name", "Size"}));
        QCOMPARE(window.lvDevices->columnWidth(0), 47);
        QCOMPARE(window.lvDevices->columnWidth(1), 133);
        QCOMPARE(window.lvDevices->columnWidth(2), 200);
        QCOMPARE(window.lvDevices->columnWidth(3), 96);
        QVERIFY(header->textAlignment(3) & Qt::AlignRight);

        QList<QAction*> menus = window.menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(window.mnuFile->title().remove(u'&'), QStringLiteral("File"));
        QCOMPARE(window.mnuExit->text().remove(u'&'), QStringLiteral("Exit"));
        QCOMPARE(window.mnuHelp->title().remove(u'&'), QStringLiteral("Help"));
        QCOMPARE(window.mnuProgHelp->text().remove(u'&'), QStringLiteral("Larkin Help"));
        QCOMPARE(window.mnuAbout->text().remove(u'&'), QStringLiteral("About"));
    }

    void TabOrderStartsAtQuitWhichHasTheFocus() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Form_Load();
        QApplication::setActiveWindow(&window);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window.Command1));
        CheckTabOrder(window);
    }

  private:
    static void CheckTabOrder(frmUSBBoot& window) {
        // Quit -> (Make USB Bootable while disabled is passed over) -> the
        // list -> the image list -> the options (one stop for the group, as
        // for every group of option buttons) -> Rescan USB.
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

  private slots:

    void StartUpFillsImagesListAndStatus() {
        TestProgram program;
        program.AddImage("Alpha", "x\nFolder=Alpha\nEula=NONE\nName=Alpha disk\n");
        program.AddImage("Beta", "x\nFolder=Beta\nEula=NONE\nName= Beta disk\n");
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        QVERIFY(!program.ended);
        QVERIFY(program.boxes.shown.empty());
        QCOMPARE(window.Combo1->count(), 2);
        QCOMPARE(window.Combo1->itemText(0), QStringLiteral("Alpha disk"));
        QCOMPARE(window.Combo1->itemText(1), QStringLiteral(" Beta disk"));
        QCOMPARE(window.Combo1->currentIndex(), 0);
        QCOMPARE(window.catalog().lastIndex, 1);
        QCOMPARE(window.systemDriveLetter(), QStringLiteral("C"));
        QCOMPARE(window.lvDevices->topLevelItemCount(), 2);
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        QCOMPARE(window.lblStatus->text(),
                 QStringLiteral("No Drive selected.\n Files will be copied from Alpha disk image "
                                "file."));
        // The engine was called on the worker thread only.
        QVERIFY(!program.engine.onWindowThread);
    }

    void MissingImagesFolderEndsTheProgram() {
        TestProgram program;
        QDir(program.ImagesFolder()).removeRecursively();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        QVERIFY(program.ended);
        QCOMPARE(program.boxes.shown.size(), size_t{1});
        QCOMPARE(program.boxes.shown[0].title, QStringLiteral("File_Images Not Found"));
        QCOMPARE(program.boxes.shown[0].text,
                 QStringLiteral("Folder File_Images not found. Please try reinstalling the "
                                "program."));
        QVERIFY(program.boxes.shown[0].icon == Icon::None);
        QCOMPARE(program.engine.countCalls, 0);
    }

    void EmptyImagesFolderWarnsAndGoesOn() {
        TestProgram program;
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        QVERIFY(!program.ended);
        QCOMPARE(program.boxes.Titles(), QStringList{"File Images Missing"});
        QCOMPARE(program.boxes.shown[0].text, QStringLiteral("No File Imaged Found."));
        QCOMPARE(window.Combo1->count(), 0);
        QCOMPARE(window.lvDevices->topLevelItemCount(), 2);
    }

    void DeviceRowsAndTheirColumns() {
        TestProgram program;
        program.AddDemoImage();
        program.engine.count = 5;
        program.engine.texts = {"E: Generic Flash Disk", "G: Slow Reader", "H: Gone Stick",
                                "I: Raw Stick", "J:;L: Two Volumes"};
        program.drives.drives["E:"] = {true, true, "MYLABEL", 4004511744ULL};
        program.drives.drives["G:"] = {true, false, "IGNORED", 1000};
        // H: is not known to the system at all; I: is ready with an empty label.
        program.drives.drives["I:"] = {true, true, "", 999999};
        program.drives.drives["J:"] = {true, true, "FIRST", 2000000};
        frmUSBBoot window(program.services);
        window.Form_Load();
        QCOMPARE(window.lvDevices->topLevelItemCount(), 5);
        QCOMPARE(RowTexts(window.lvDevices->topLevelItem(0)),
                 (QStringList{"E:", "MYLABEL", "Generic Flash Disk", "4,004.51 MB"}));
        QCOMPARE(RowTexts(window.lvDevices->topLevelItem(1)),
                 (QStringList{"G:", "NOT READY", "", ""}));
        QCOMPARE(RowTexts(window.lvDevices->topLevelItem(2)),
                 (QStringList{"H:", "NOT READY", "", ""}));
        QCOMPARE(RowTexts(window.lvDevices->topLevelItem(3)),
                 (QStringList{"I:", "", "Raw Stick", "1.00 MB"}));
        // A drive with two volumes is named by the first letter; the name
        // says the other is on it too.
        QCOMPARE(RowTexts(window.lvDevices->topLevelItem(4)),
                 (QStringList{"J:", "FIRST", "Two Volumes (also L:)", "2.00 MB"}));
        QVERIFY(window.lvDevices->topLevelItem(0)->textAlignment(3) & Qt::AlignRight);
    }

    void SizesFollowTheRegionalFormat() {
        QCOMPARE(SizeText(4004511744ULL), QStringLiteral("4,004.51 MB"));
        QCOMPARE(SizeText(0), QStringLiteral("0.00 MB"));
        QCOMPARE(SizeText(1048576), QStringLiteral("1.05 MB"));
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(SizeText(4004511744ULL), QStringLiteral("4.004,51 MB"));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void FiltersOfTheDeviceTexts() {
        TestProgram program;
        program.AddDemoImage();
        program.engine.count = 9;
        program.engine.texts = {"",
                                "   ",
                                "e: lower case",
                                "1: digit",
                                "C: ",
                                " Kingston no letter",
                                "C: Some Disk",
                                "  F: leading blanks",
                                "J: Listed"};
        program.drives.drives["C:"] = {true, true, "SYSTEM", 256000000};
        program.drives.drives["J:"] = {true, true, "J", 1000000};
        frmUSBBoot window(program.services);
        window.Form_Load();
        QStringList mounts;
        for (int i = 0; i < window.lvDevices->topLevelItemCount(); ++i)
            mounts.append(window.lvDevices->topLevelItem(i)->text(0));
        QCOMPARE(mounts, (QStringList{"C:", "J:"}));
        // A failed GetUSBDevInfo skips only its index.
        program.engine.count = 10;
        window.btnScan_Click();
        QCOMPARE(window.lvDevices->topLevelItemCount(), 2);
    }

    void SystemRowIsDimmedAndRefused() {
        TestProgram program;
        program.AddDemoImage();
        program.engine.count = 2;
        program.engine.texts = {"C: Some Disk", "E: Stick"};
        program.drives.drives["C:"] = {true, true, "SYSTEM", 256000000};
        program.drives.drives["E:"] = {true, true, "STICK", 128000000};
        frmUSBBoot window(program.services);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Form_Load();
        QTreeWidgetItem* system = window.lvDevices->topLevelItem(0);
        QTreeWidgetItem* stick = window.lvDevices->topLevelItem(1);
        QColor dimmed = window.palette().color(QPalette::Disabled, QPalette::Text);
        QCOMPARE(system->foreground(0).color(), dimmed);
        QVERIFY(stick->foreground(0).color() != dimmed);

        ClickRow(window, 0);
        QCOMPARE(program.boxes.Titles(), QStringList{"Format Error!"});
        QCOMPARE(program.boxes.shown[0].text, QStringLiteral("Cannot format system drive!"));
        QVERIFY(program.boxes.shown[0].icon == Icon::Stop);
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        QVERIFY(!window.btnStart->isEnabled());
        QVERIFY(window.lblStatus->text().startsWith("No Drive selected."));

        ClickRow(window, 1);
        QVERIFY(window.btnStart->isEnabled());
        QVERIFY(window.lblStatus->text().startsWith("Drive E: selected.\n"));
        // Refusing the system drive later leaves the button enabled.
        ClickRow(window, 0);
        QCOMPARE(program.boxes.shown.size(), size_t{2});
        QVERIFY(window.btnStart->isEnabled());
        QVERIFY(window.lvDevices->selectedItems().isEmpty());
        // Rescan keeps it enabled too.
        window.btnScan_Click();
        QVERIFY(window.btnStart->isEnabled());
    }

    void KeyboardChoiceOfTheSystemRowIsRefusedToo() {
        TestProgram program;
        program.AddDemoImage();
        program.engine.count = 2;
        program.engine.texts = {"E: Stick", "C: Some Disk"};
        program.drives.drives["C:"] = {true, true, "SYSTEM", 256000000};
        program.drives.drives["E:"] = {true, true, "STICK", 128000000};
        frmUSBBoot window(program.services);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Form_Load();
        ClickRow(window, 0);
        QVERIFY(window.lblStatus->text().startsWith("Drive E: selected."));
        window.lvDevices->setFocus();
        QTest::keyClick(window.lvDevices, Qt::Key_Down);
        QTRY_COMPARE(program.boxes.Titles(), QStringList{"Format Error!"});
        QTRY_VERIFY(window.lvDevices->selectedItems().isEmpty());
        QVERIFY(window.lblStatus->text().startsWith("No Drive selected."));
    }

    void OptionsSwitchTheImageListAndTheStatus() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Form_Load();
        ClickRow(window, 1);
        QTest::mouseClick(window.Option1[0], Qt::LeftButton);
        QVERIFY(window.Option1[0]->isChecked());
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
        // Rescan refills the list without a selection, and the status says so.
        window.btnScan_Click();
        QCOMPARE(window.lblStatus->text(),
                 QStringLiteral("No Drive selected.\n Files will be copied from Larkin demo boot "
                                "disk image file."));
    }

    void ImageChoiceRewritesTheStatus() {
        TestProgram program;
        program.AddImage("A1", "x\nFolder=A1\nEula=none\nName=First\n");
        program.AddImage("B2", "x\nFolder=B2\nEula=none\nName=Second\n");
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        window.Combo1->setCurrentIndex(1);
        QCOMPARE(window.lblStatus->text(),
                 QStringLiteral("No Drive selected.\n Files will be copied from Second image "
                                "file."));
    }

    void NoDriveAtAllEndsTheProgramAtStartAndOnRescan() {
        TestProgram program;
        program.AddDemoImage();
        program.engine.count = 0;
        {
            frmUSBBoot window(program.services);
            window.Form_Load();
            QVERIFY(program.ended);
            QCOMPARE(program.boxes.Titles(), QStringList{"No USB Drives"});
            QCOMPARE(program.boxes.shown[0].text, QStringLiteral("No USB Drives Found!"));
        }
        TestProgram rescan;
        rescan.AddDemoImage();
        rescan.AddUsbDrives();
        frmUSBBoot window(rescan.services);
        window.Form_Load();
        QVERIFY(!rescan.ended);
        rescan.engine.count = -1;
        window.btnScan_Click();
        QVERIFY(rescan.ended);
        QCOMPARE(rescan.boxes.Titles(), QStringList{"No USB Drives"});
    }

    void DrivesReportedButNoneListedWarnsAndGoesOn() {
        TestProgram program;
        program.AddDemoImage();
        program.engine.count = 1;
        program.engine.texts = {"C: "};
        frmUSBBoot window(program.services);
        window.Form_Load();
        QVERIFY(!program.ended);
        QCOMPARE(program.boxes.Titles(), QStringList{"No USB Drives"});
    }

    void EngineThatCannotBeLoadedListsNothingAndGoesOn() {
        TestProgram program;
        program.AddDemoImage();
        program.engine.countFailure = {runtime_error::kDllLoad, "File not found: Tessel"};
        frmUSBBoot window(program.services);
        window.Form_Load();
        QVERIFY(!program.ended);
        QCOMPARE(program.boxes.Titles(), QStringList{"No USB Drives"});
        QCOMPARE(window.lvDevices->topLevelItemCount(), 0);
    }

    void DriveQueryFailureKeepsTheRowsSoFar() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        program.drives.driveFailure = {runtime_error::kDeviceIo, "broken"};
        frmUSBBoot window(program.services);
        window.Form_Load();
        // The first row is added before its drive is asked; the fill ends there.
        QCOMPARE(window.lvDevices->topLevelItemCount(), 1);
        QCOMPARE(window.lvDevices->topLevelItem(0)->text(0), QStringLiteral("E:"));
        QVERIFY(program.boxes.shown.empty());
    }

    void QuitEndsTheProgramAndExitClosesTheWindow() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.show();
        window.Form_Load();
        QTest::mouseClick(window.Command1, Qt::LeftButton);
        QVERIFY(program.ended);

        TestProgram other;
        other.AddDemoImage();
        other.AddUsbDrives();
        frmUSBBoot second(other.services);
        second.show();
        second.Form_Load();
        second.mnuExit->trigger();
        QVERIFY(!second.isVisible());
    }

    void HelpOpensThePageBesideTheProgram() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.Form_Load();
        window.mnuProgHelp->trigger();
        QCOMPARE(program.openedPages,
                 QStringList{QDir(program.folder.path()).filePath("larkinhelp.htm")});
        QVERIFY(program.boxes.shown.empty());

        QFile::remove(QDir(program.folder.path()).filePath("larkinhelp.htm"));
        window.mnuProgHelp->trigger();
        QCOMPARE(program.openedPages.size(), 1);
        QCOMPARE(program.boxes.Titles(), QStringList{"Larkin Help"});
    }

    void FloppyImageEntryShowsThePickedFileAsDriveA() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        QStringList picks = {"", "/x/disk.img", "/x/boot.img"};
        program.services.chooseFloppyImage = [&] { return picks.takeFirst(); };
        program.drives.imageRefusals["/x/disk.img"] =
            "floppy image /x/disk.img holds a partition table";
        frmUSBBoot window(program.services);
        window.Form_Load();
        window.mnuFloppyImage->trigger();  // no file picked
        QVERIFY(program.drives.usedImages.isEmpty());
        window.mnuFloppyImage->trigger();
        QCOMPARE(program.boxes.Titles(), QStringList{"Floppy Image Not Usable"});
        QVERIFY(program.boxes.shown[0].text.endsWith("/x/disk.img holds a partition table"));
        QVERIFY(!window.Option1[0]->isChecked());
        window.mnuFloppyImage->trigger();
        QCOMPARE(program.drives.usedImages, (QStringList{"/x/disk.img", "/x/boot.img"}));
        QCOMPARE(program.boxes.shown.size(), size_t{1});
        QVERIFY(window.Option1[0]->isChecked());
    }

    void AboutShowsNameVersionAndLicence() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.mnuAbout->trigger();
        QCOMPARE(program.boxes.Titles(), QStringList{"About Larkin"});
        const QString& text = program.boxes.shown[0].text;
        QVERIFY(text.contains("Norvale Larkin 1.4"));
        QVERIFY(text.contains(QStringLiteral("Version ") + LARKIN_VERSION));
        // The file the install puts beside the program.
        QVERIFY(text.contains(
            "Copyright and licence: " +
            QDir::toNativeSeparators(QDir(program.folder.path()).filePath("COPYRIGHT"))));
    }

    void WindowsDirectoryBlanksAreTrimmed() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        program.windowsDirectory = "  D:\\WINNT ";
        frmUSBBoot window(program.services);
        window.Form_Load();
        QCOMPARE(window.systemDriveLetter(), QStringLiteral("D"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
