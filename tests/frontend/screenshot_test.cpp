// The windows on an X display against screenshots/: at most 1% of the pixels
// may differ by more than a little, as font rendering may move an edge.
// LARKIN_UPDATE_SCREENSHOTS=1 writes the references instead.
#include "fakes.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

void Compare(const QImage& shot, const QString& name) {
    const QString referencePath = LARKIN_SCREENSHOT_DIR "/" + name + ".png";
    QImage actual = shot.convertToFormat(QImage::Format_RGB32);
    if (qEnvironmentVariableIsSet("LARKIN_UPDATE_SCREENSHOTS")) {
        QVERIFY(actual.save(referencePath));
        return;
    }
    QImage reference = QImage(referencePath).convertToFormat(QImage::Format_RGB32);
    QString saved = QDir::temp().filePath("larkin-" + name + "-actual.png");
    actual.save(saved);
    QCOMPARE(actual.size(), reference.size());
    qint64 differing = 0;
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x) {
            QRgb a = actual.pixel(x, y), r = reference.pixel(x, y);
            differing += std::max({std::abs(qRed(a) - qRed(r)), std::abs(qGreen(a) - qGreen(r)),
                                   std::abs(qBlue(a) - qBlue(r))}) > 48;
        }
    QVERIFY2(differing <= actual.width() * actual.height() / 100,
             qPrintable(QString("%1 pixels differ; see %2").arg(differing).arg(saved)));
}

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { UseScreenshotLook(); }

    // The main window, then the box of a floppy's failure after the erase.
    void MainWindowAndTheFloppyFailureBox() {
        TestProgram shown;
        shown.engine.counted.value = 3;
        shown.engine.texts.push_back("C: WDC WD5000AAKS-00V1A0 ATA Device");
        shown.drives.drives["C:"] = {true, true, "SYSTEM", 268435456};
        shown.drives.drives["F:"].ready = false;
        shown.window->btnScan_Click();
        shown.window->lvDevices_ItemClick(shown.window->lvDevices->topLevelItem(0));
        Compare(shown.window->centralWidget()->grab().toImage(), "main_window");
        shown.boxes.pictured = "USB Drive Not Bootable";
        shown.EngineFails({"", " Copying Boot Files.....", "        0 file(s) copied.", "",
                           " Unable to copy the Boot Files"},
                          DriveFacts{true, true, "FREEDOS", 20905984, 20905984, 0x1234}, true);
        shown.Start(0);
        Compare(shown.boxes.picture, "floppy_failure");
    }
};

QTEST_MAIN(ScreenshotTest)
#include "screenshot_test.moc"
