// The windows as they appear on an X display (Xvfb), compared with the
// reference pictures in screenshots/: a picture matches when at most 1% of
// its pixels differ by more than a little (font rendering may move an edge).
// With LARKIN_UPDATE_SCREENSHOTS=1 the references are written instead.
#include <QApplication>
#include <QDir>
#include <QRadioButton>
#include <QTreeWidget>
#include <QtTest>

#include "agreement_text.h"
#include "fakes.h"
#include "frmCopyFiles.h"
#include "frmLicense.h"
#include "frmUSBBoot.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

void Compare(const QImage& shot, const QString& name) {
    const QString reference_path = QStringLiteral(LARKIN_SCREENSHOT_DIR "/") + name + ".png";
    QImage actual = shot.convertToFormat(QImage::Format_RGB32);
    if (qEnvironmentVariableIsSet("LARKIN_UPDATE_SCREENSHOTS")) {
        QVERIFY(actual.save(reference_path));
        return;
    }
    QImage reference = QImage(reference_path).convertToFormat(QImage::Format_RGB32);
    QVERIFY2(!reference.isNull(), qPrintable("no reference picture " + reference_path));
    QString saved = QDir::temp().filePath("larkin-" + name + "-actual.png");
    actual.save(saved);
    QCOMPARE(actual.size(), reference.size());
    qint64 differing = 0;
    for (int y = 0; y < actual.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(actual.constScanLine(y));
        const auto* r = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
        for (int x = 0; x < actual.width(); ++x)
            differing +=
                std::max({std::abs(qRed(a[x]) - qRed(r[x])), std::abs(qGreen(a[x]) - qGreen(r[x])),
                          std::abs(qBlue(a[x]) - qBlue(r[x]))}) > 48;
    }
    qint64 allowed = actual.width() * actual.height() / 100;
    QVERIFY2(differing <= allowed,
             qPrintable(QStringLiteral("%1 pixels differ (at most %2); see %3")
                            .arg(differing)
                            .arg(allowed)
                            .arg(saved)));
}

// The demo image and two drives, changed by `more`, the first drive selected.
struct Shown : ShownProgram {
    explicit Shown(const std::function<void(TestProgram&)>& more = {})
        : ShownProgram([&](TestProgram& p) {
              p.AddDemoImage();
              p.AddUsbDrives();
              if (more) more(p);
          }) {
        window->lvDevices_ItemClick(window->lvDevices->topLevelItem(0));
    }
};

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(QGuiApplication::platformName() == u"xcb",
                 "the screenshot tests run on an X display (xvfb-run)");
        UseScreenshotLook();
    }

    void MainWindowWithTheDemoImageAndTwoDrives() {
        Shown shown([](TestProgram& program) {
            program.engine.count = 3;
            program.engine.texts.push_back("C: WDC WD5000AAKS-00V1A0 ATA Device");
            program.drives.drives["C:"] = {true, true, "SYSTEM", 268435456};
            program.drives.drives["F:"].ready = false;
        });
        Compare(shown.window->centralWidget()->grab().toImage(), QStringLiteral("main_window"));
    }

    void AgreementWindowWithTheDemoAgreement() {
        frmLicense license(nullptr);
        AgreementText text;
        QVERIFY(!LoadAgreementText(QStringLiteral(LARKIN_DEMO_AGREEMENT), &text));
        license.LoadAgreement(text);
        license.show();
        QVERIFY(QTest::qWaitForWindowExposed(&license));
        Compare(license.grab().toImage(), QStringLiteral("agreement_window"));
    }

    void EndOfTheImagePath() {
        Shown shown;
        AgreementWindowDriver agreement;
        agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
        shown.window->btnStart_Click();
        frmCopyFiles* copy = shown.window->copyWindow();
        QVERIFY(copy != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(copy));
        Compare(copy->grab().toImage(), QStringLiteral("copy_window_done"));
    }

    // The floppy path's failure with an empty floppy, found after the erase.
    void FloppyFailureAfterTheErase() {
        PicturingMessageBoxes boxes(QStringLiteral("USB Drive Not Bootable"));
        Shown shown([&boxes](TestProgram& program) {
            program.drives.drives["A:"] = {true, true, "", 1474560};
            program.engine.createResult = 6;
            program.engine.createOutput = {"", " Copying Boot Files.....",
                                           "        0 file(s) copied.", "",
                                           " Unable to copy the Boot Files"};
            program.engine.duringCreate = [&program] {
                program.drives.drives["E:"] = {true, true, "FREEDOS", 20905984, 20905984, 0x1234};
            };
            program.services.messageBoxes = &boxes;
        });
        shown.window->Option1[0]->setChecked(true);
        shown.window->btnStart_Click();
        QVERIFY(!boxes.picture.isNull());
        Compare(boxes.picture, QStringLiteral("floppy_failure"));
    }
};

QTEST_MAIN(ScreenshotTest)
#include "screenshot_test.moc"
