// The desktop program's make-bootable on this computer's hardware as a user
// who is not root runs it: the engine call and the copy in larkin-writer,
// through pkexec. Run by the polkit test (tests/tools/larkin-writer), under
// Xvfb as nobody, once with polkit saying no and once with it saying yes:
// it pictures the message, or the copy window at its end, into
// LARKIN_SHOTS, and says whether the run ended as expected (argument
// "refused" or "done").
//
// Settings (test only): LARKIN_WRITER the installed helper, LARKIN_PROGRAM
// the installed program folder, LARKIN_SHOTS where the pictures go.
#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QStyleFactory>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <array>
#include <cstdio>

#include "drive_services.h"
#include "engine.h"
#include "engine_worker.h"
#include "fakes.h"
#include "frmCopyFiles.h"
#include "frmLicense.h"
#include "frmUSBBoot.h"
#include "larkin/platform.h"
#include "message_boxes.h"
#include "writer_client.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

namespace {

// Answers every box OK; one titled "USB Drive Not Bootable" is shown as the
// desktop shows it, pictured, then closed.
class Boxes : public MessageBoxes {
  public:
    Answer Show(QWidget* owner, const MessageBoxRequest& request) override {
        titles << request.title;
        if (request.title != QLatin1String("USB Drive Not Bootable")) return Answer::Ok;
        text = request.text;
        QTimer::singleShot(0, [this] { Picture(0); });
        return DesktopMessageBoxes().Show(owner, request);
    }
    QStringList titles;
    QString text;
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
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString expected = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(9);
    QApplication::setFont(font);
    std::array<char, 512> error{};
    if (!LarkinStartPlatform(nullptr, error.data(), static_cast<DWORD>(error.size()))) {
        std::fprintf(stderr, "%s\n", error.data());
        return 1;
    }
    Boxes boxes;
    RoutePlatformMessageBoxes(&boxes);
    TesselEngine engine;
    std::unique_ptr<DriveServices> drives = MakeMachineDriveServices();
    EngineWorker worker;
    ProgramServices services;
    services.engine = &engine;
    services.drives = drives.get();
    services.messageBoxes = &boxes;
    services.worker = &worker;
    services.programFolder = qEnvironmentVariable("LARKIN_PROGRAM");
    services.windowsDirectory = PlatformWindowsDirectory;
    services.makeTimer = [] { return std::make_unique<VirtualTimer>(); };
    services.endProgram = [] {};
    if (!LarkinDrivesWritable(error.data(), static_cast<DWORD>(error.size())))
        services.privilegeRefusal = QString::fromLocal8Bit(error.data());
    std::string helper = qEnvironmentVariable("LARKIN_WRITER").toStdString();
    services.runWriter = [helper](const larkin::writer::Request& request,
                                  const larkin::writer::Callbacks& callbacks) {
        return larkin::writer::RunWriter(helper, larkin::writer::NeedsElevation(), request,
                                         callbacks);
    };

    frmUSBBoot window(services);
    window.show();
    window.Form_Load();
    if (window.lvDevices->topLevelItemCount() != 1 ||
        window.lvDevices->topLevelItem(0)->text(0) != QLatin1String("D:")) {
        std::fprintf(stderr, "the stick is not listed as D: (%s)\n",
                     qPrintable(boxes.titles.join(", ")));
        return 1;
    }
    window.Combo1->setCurrentIndex(
        window.Combo1->findText(QStringLiteral("Larkin demo boot disk")));
    window.lvDevices_ItemClick(window.lvDevices->topLevelItem(0));
    AgreementWindowDriver agreement;
    agreement.Arm([](frmLicense* license) { license->Command1_Click(); });
    window.btnStart_Click();

    QString shots = qEnvironmentVariable("LARKIN_SHOTS");
    std::printf("messages: %s\n%s\n", qPrintable(boxes.titles.join(", ")), qPrintable(boxes.text));
    if (expected == QLatin1String("refused")) {
        if (boxes.picture.isNull() || !boxes.text.contains(QLatin1String("not authorised")))
            return 1;
        return boxes.picture.save(shots + QStringLiteral("/refused.png")) ? 0 : 1;
    }
    frmCopyFiles* copy = window.copyWindow();
    if (copy == nullptr ||
        copy->Label1->text() != QLatin1String("Done: USB Drive D: is now bootable."))
        return 1;
    QTest::qWait(200);
    return copy->grab().toImage().save(shots + QStringLiteral("/done.png")) ? 0 : 1;
}
