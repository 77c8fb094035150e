// The main window and the agreement window as they appear on an X display
// (Xvfb), compared with the reference pictures in screenshots/. A picture
// matches when at most 1% of its pixels differ by more than a small amount
// (font rendering may move an edge here and there). With
// LARKIN_UPDATE_SCREENSHOTS=1 the references are written instead.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QLocale>
#include <QMessageBox>
#include <QRadioButton>
#include <QStyleFactory>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "agreement_text.h"
#include "fakes.h"
#include "frmCopyFiles.h"
#include "frmLicense.h"
#include "frmUSBBoot.h"
#include "message_boxes.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

constexpr int kChannelTolerance = 48;
constexpr double kDifferingShare = 0.01;

QString ReferencePath(const QString& name) {
    return QStringLiteral(LARKIN_SCREENSHOT_DIR "/") + name + QStringLiteral(".png");
}

void Compare(const QImage& shot, const QString& name) {
    QImage actual = shot.convertToFormat(QImage::Format_RGB32);
    if (qEnvironmentVariableIsSet("LARKIN_UPDATE_SCREENSHOTS")) {
        QVERIFY(actual.save(ReferencePath(name)));
        return;
    }
    QImage reference(ReferencePath(name));
    QVERIFY2(!reference.isNull(), qPrintable("no reference picture " + ReferencePath(name)));
    reference = reference.convertToFormat(QImage::Format_RGB32);
    QString saved = QDir::temp().filePath("larkin-" + name + "-actual.png");
    actual.save(saved);
    QCOMPARE(actual.size(), reference.size());
    qint64 differing = 0;
    for (int y = 0; y < actual.height(); ++y) {
        const QRgb* a = reinterpret_cast<const QRgb*>(actual.constScanLine(y));
        const QRgb* r = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
        for (int x = 0; x < actual.width(); ++x) {
            int delta =
                std::max({std::abs(qRed(a[x]) - qRed(r[x])), std::abs(qGreen(a[x]) - qGreen(r[x])),
                          std::abs(qBlue(a[x]) - qBlue(r[x]))});
            if (delta > kChannelTolerance) ++differing;
        }
    }
    qint64 allowed = static_cast<qint64>(actual.width() * actual.height() * kDifferingShare);
    QVERIFY2(differing <= allowed, qPrintable(QStringLiteral("%1 of %2 pixels differ (at most %3); "
                                                             "the picture taken is %4")
                                                  .arg(differing)
                                                  .arg(actual.width() * actual.height())
                                                  .arg(allowed)
                                                  .arg(saved)));
}

// Answers every box OK, except that the one titled title is shown as the
// desktop shows it and pictured, then closed.
class PicturingMessageBoxes : public MessageBoxes {
  public:
    explicit PicturingMessageBoxes(QString title) : title_(std::move(title)) {}

    Answer Show(QWidget* owner, const MessageBoxRequest& request) override {
        if (request.title != title_) return Answer::Ok;
        QTimer::singleShot(0, [this] { Picture(0); });
        return DesktopMessageBoxes().Show(owner, request);
    }

    QImage picture;

  private:
    void Picture(int tries) {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            if (tries < 500) QTimer::singleShot(10, [this, tries] { Picture(tries + 1); });
            return;
        }
        QTest::qWait(100);
        picture = box->grab().toImage();
        box->accept();
    }

    QString title_;
};

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(QGuiApplication::platformName() == u"xcb",
                 "the screenshot tests run on an X display (xvfb-run)");
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSize(9);
        QApplication::setFont(font);
    }

    void MainWindowWithTheDemoImageAndTwoDrives() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        program.engine.count = 3;
        program.engine.texts.push_back("C: WDC WD5000AAKS-00V1A0 ATA Device");
        program.drives.drives["C:"] = {true, true, "SYSTEM", 268435456};
        program.drives.drives["F:"].ready = false;
        frmUSBBoot window(program.services);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Form_Load();
        window.lvDevices_ItemClick(window.lvDevices->topLevelItem(0));
        QTest::qWait(100);
        QCOMPARE(window.centralWidget()->size(), QSize(513, 343));
        Compare(window.centralWidget()->grab().toImage(), QStringLiteral("main_window"));
    }

    void AgreementWindowWithTheDemoAgreement() {
        frmLicense license(nullptr);
        AgreementText text;
        QVERIFY(!LoadAgreementText(QStringLiteral(LARKIN_DEMO_AGREEMENT), &text));
        QVERIFY(text.isHtml);
        license.LoadAgreement(text);
        license.show();
        QVERIFY(QTest::qWaitForWindowExposed(&license));
        QTest::qWait(100);
        QCOMPARE(license.size(), QSize(585, 463));
        Compare(license.grab().toImage(), QStringLiteral("agreement_window"));
    }

    // The end of a run that worked, and the failure of the floppy path with
    // an empty floppy, found out after the drive was erased.
    void EndOfTheImagePath() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        frmUSBBoot window(program.services);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Form_Load();
        window.lvDevices_ItemClick(window.lvDevices->topLevelItem(0));
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
        window.btnStart_Click();
        frmCopyFiles* copy = window.copyWindow();
        QVERIFY(copy != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(copy));
        QTest::qWait(100);
        Compare(copy->grab().toImage(), QStringLiteral("copy_window_done"));
    }

    void FloppyFailureAfterTheErase() {
        TestProgram program;
        program.AddDemoImage();
        program.AddUsbDrives();
        program.drives.drives["A:"] = {true, true, "", 1474560};
        program.engine.createResult = 6;
        program.engine.createOutput = {"", " Copying Boot Files.....", "        0 file(s) copied.",
                                       "", " Unable to copy the Boot Files"};
        program.engine.duringCreate = [&] {
            program.drives.drives["E:"] = {true, true, "FREEDOS", 20905984, 20905984, 0x1234};
        };
        PicturingMessageBoxes boxes(QStringLiteral("USB Drive Not Bootable"));
        program.services.messageBoxes = &boxes;
        frmUSBBoot window(program.services);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.Form_Load();
        window.Option1[0]->setChecked(true);
        window.lvDevices_ItemClick(window.lvDevices->topLevelItem(0));
        window.btnStart_Click();
        QVERIFY(!boxes.picture.isNull());
        Compare(boxes.picture, QStringLiteral("floppy_failure"));
    }

    void CopyWindowDuringTheCopy() {
        frmCopyFiles copy;
        copy.show();
        QVERIFY(QTest::qWaitForWindowExposed(&copy));
        copy.ShowStep(QStringLiteral("Copying KERNEL.SYS"));
        copy.ShowDone();  // a still bar, so that the picture does not move
        QTest::qWait(100);
        QVERIFY(copy.width() >= 362);
        Compare(copy.grab().toImage(), QStringLiteral("copy_window"));
    }
};

QTEST_MAIN(ScreenshotTest)
#include "screenshot_test.moc"
