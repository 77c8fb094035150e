// The make-bootable command with the real engine and the real drive services
// on a copy of the demo machine: the demo image onto E:, answered through
// the message-box interface, written by larkin-writer as the program does it
// (window, helper, engine). Afterwards only the stick was written, fsck.fat
// accepts its volume, the image's files are on it, and the stick starts the
// demo kernel in QEMU.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>
#include <array>
#include <set>

#include "boot_harness.h"
#include "drive_services.h"
#include "engine.h"
#include "engine_worker.h"
#include "fakes.h"
#include "frmCopyFiles.h"
#include "frmLicense.h"
#include "frmUSBBoot.h"
#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;
namespace boot = larkin::test::boot;

namespace {

constexpr char kDemoKernelMessage[] = "This computer has started from a USB drive made by Larkin.";

QString DiskImage(const std::string& id) {
    for (const larkin::sim::DiskStatus& disk : larkin::sim::Disks())
        if (disk.id == id) return QString::fromStdString(disk.image);
    return {};
}

}  // namespace

class RealEngineCommandTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY(machineFolder_.isValid());
        machine_ = machineFolder_.filePath("demo.toml");
        QVERIFY(QFile::copy(QStringLiteral(LARKIN_DEMO_MACHINE), machine_));
        // The helper finds the machine where every program does.
        ::setenv("LARKIN_MACHINE", machine_.toLocal8Bit().constData(), 1);
        std::array<char, 512> error{};
        QVERIFY2(LarkinStartPlatform(machine_.toLocal8Bit().constData(), error.data(),
                                     static_cast<DWORD>(error.size())),
                 error.data());
        RoutePlatformMessageBoxes(&boxes_);
        drives_ = MakeMachineDriveServices();
        services_.engine = &engine_;
        services_.drives = drives_.get();
        services_.messageBoxes = &boxes_;
        services_.worker = &worker_;
        // The build tree's program folder: File_Images with the demo kernel.
        services_.programFolder = QStringLiteral(LARKIN_BIN_DIR_PATH);
        services_.windowsDirectory = PlatformWindowsDirectory;
        services_.endProgram = [this] { ended_ = true; };
        services_.makeTimer = [] { return std::make_unique<VirtualTimer>(); };
    }

    void cleanupTestCase() { RemovePlatformMessageBoxes(); }

    void TheDemoImageMakesStickEBootable() {
        services_.runWriter = [](const larkin::writer::Request& request,
                                 const larkin::writer::Callbacks& callbacks) {
            return larkin::writer::RunWriter(LARKIN_BIN_DIR_PATH "/larkin-writer", false, request,
                                             callbacks);
        };
        frmUSBBoot window(services_);
        window.show();
        window.Form_Load();
        QVERIFY(!ended_);
        QVERIFY2(boxes_.shown.empty(), qPrintable(boxes_.Titles().join(", ")));

        // The demo machine's stick with a volume, E:; the blank stick has no
        // drive letter, and a drive without one is not listed.
        QCOMPARE(window.lvDevices->topLevelItemCount(), 1);
        QTreeWidgetItem* stick = window.lvDevices->topLevelItem(0);
        QCOMPARE(stick->text(0), QStringLiteral("E:"));
        QCOMPARE(stick->text(1), QStringLiteral("CRUZER"));
        QCOMPARE(stick->text(2), QStringLiteral("SanDisk Cruzer Blade USB Device"));
        int demo = window.Combo1->findText(QStringLiteral("Larkin demo boot disk"));
        QVERIFY(demo >= 0);
        window.Combo1->setCurrentIndex(demo);
        window.lvDevices_ItemClick(stick);
        QVERIFY(window.btnStart->isEnabled());

        QString image = DiskImage("stick1");
        QVERIFY(!image.isEmpty());
        QVERIFY(larkin::controls::ClearJournal());
        // Every step the copy window shows, as it is shown: the lines replace
        // each other faster than any sampling would see them.
        StepRecorder steps;
        qApp->installEventFilter(&steps);
        boxes_.answers = {Answer::Ok};  // the erase warning
        AgreementWindowDriver agreement;
        agreement.Arm(
            [](frmLicense* license) { QTest::mouseClick(license->Command1, Qt::LeftButton); });
        window.btnStart_Click();
        qApp->removeEventFilter(&steps);
        const QStringList& engineLines = steps.lines;

        // The warning only; no failure message.
        QCOMPARE(boxes_.Titles(), QStringList{"USB Drive ERASE Notification"});
        QCOMPARE(agreement.title, QStringLiteral("License Agreement"));
        QVERIFY(EulaAccepted);
        QPointer<frmCopyFiles> copy = window.copyWindow();
        QVERIFY(copy != nullptr);
        QVERIFY(copy->isVisible());
        QCOMPARE(copy->Label1->text(), QStringLiteral("Done: USB Drive E: is now bootable."));
        // The window said what was being done, never what format asks of
        // its console.
        QVERIFY2(engineLines.startsWith(QStringLiteral("Formatting E: ...")),
                 qPrintable(engineLines.join(" | ")));
        QVERIFY2(engineLines.filter(QStringLiteral("ENTER"), Qt::CaseInsensitive).isEmpty() &&
                     engineLines.filter(QStringLiteral("Insert"), Qt::CaseInsensitive).isEmpty(),
                 qPrintable(engineLines.join(" | ")));
        QVERIFY2(engineLines.contains(QStringLiteral("Copying KERNEL.SYS")),
                 qPrintable(engineLines.join(" | ")));

        // Only the stick was written.
        std::set<std::string> written;
        for (const larkin::controls::JournalEntry& entry : larkin::controls::Journal()) {
            written.insert(entry.disk);
            QVERIFY2(entry.completed, entry.via.c_str());
        }
        QCOMPARE(written, std::set<std::string>{"stick1"});

        // The active FAT16 entry's volume passes fsck.fat (on a copy of its sectors).
        const boot::SectorBuffer mbr = boot::ReadSector(image.toStdString(), 0);
        auto little32 = [&](int at) {
            return std::uint32_t(mbr[at]) | std::uint32_t(mbr[at + 1]) << 8 |
                   std::uint32_t(mbr[at + 2]) << 16 | std::uint32_t(mbr[at + 3]) << 24;
        };
        QCOMPARE(mbr[446], 0x80);
        QCOMPARE(mbr[450], 0x0E);
        const std::uint32_t first = little32(454);
        QTemporaryDir scratch;
        QString volume = scratch.filePath("volume.img");
        boot::CommandResult dd =
            boot::Run({"dd", "if=" + image.toStdString(), "of=" + volume.toStdString(), "bs=512",
                       "skip=" + std::to_string(first), "count=" + std::to_string(little32(458)),
                       "conv=sparse", "status=none"});
        QVERIFY2(dd.exit_code == 0, dd.output.c_str());
        boot::CommandResult check = boot::Run({"fsck.fat", "-n", volume.toStdString()});
        QVERIFY2(check.exit_code == 0, check.output.c_str());

        // The image folder's files are in the volume's root.
        boot::CommandResult listing =
            boot::Run({"mdir", "-b", "-i", boot::MtoolsImage(image.toStdString(), first), "::"});
        QVERIFY2(listing.exit_code == 0, listing.output.c_str());
        QString names = QString::fromStdString(listing.output).toUpper();
        const QStringList files =
            QDir(QStringLiteral(LARKIN_BIN_DIR_PATH "/File_Images/LarkinDemo"))
                .entryList(QDir::Files, QDir::Name);
        QVERIFY(files.contains(QStringLiteral("KERNEL.SYS")));
        for (const QString& file : files)
            QVERIFY2(names.contains(QStringLiteral("::/") + file.toUpper()), qPrintable(names));

        // The stick starts the demo kernel.
        if (!boot::HaveProgram("qemu-system-i386"))
            QSKIP("qemu-system-i386 is not installed (scripts/install-deps)");
        boot::Qemu qemu({"-drive", "file=" + image.toStdString() + ",format=raw,if=ide"});
        QVERIFY(qemu.started());
        QVERIFY2(qemu.WaitFor(kDemoKernelMessage, 1, std::chrono::seconds(20)),
                 qemu.console().c_str());
    }

  private:
    QTemporaryDir machineFolder_;
    QString machine_;
    TesselEngine engine_;
    std::unique_ptr<DriveServices> drives_;
    FakeMessageBoxes boxes_;
    EngineWorker worker_;
    ProgramServices services_;
    bool ended_ = false;
};

QTEST_MAIN(RealEngineCommandTest)
#include "real_engine_command_test.moc"
