// Make-bootable on this computer's hardware as a user who is not root, through
// pkexec; run by the polkit test (tests/tools/larkin-writer) as nobody, with
// polkit saying "refused" or "done". It pictures the end into LARKIN_SHOTS and
// exits 0 when the run ended so.
#include "larkin/platform.h"
#include "fakes.h"

using namespace larkin::frontend;
using namespace larkin::frontend::test;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString expected = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    UseScreenshotLook();
    std::array<char, 512> error{};
    if (!LarkinStartPlatform(nullptr, error.data(), static_cast<DWORD>(error.size()))) {
        std::fprintf(stderr, "%s\n", error.data());
        return 1;
    }
    FakeMessageBoxes boxes;
    boxes.pictured = "USB Drive Not Bootable";
    MachineProgram program(&boxes, qEnvironmentVariable("LARKIN_PROGRAM"),
                           qEnvironmentVariable("LARKIN_WRITER").toStdString(),
                           larkin::writer::NeedsElevation());
    if (!LarkinDrivesWritable(error.data(), static_cast<DWORD>(error.size())))
        program.services.privilegeRefusal = QString::fromLocal8Bit(error.data());

    frmUSBBoot window(program.services);
    window.show();
    window.Form_Load();
    if (Rows(window).size() != 1 || !Rows(window)[0].startsWith("D:|")) {
        std::fprintf(stderr, "the stick is not listed as D: (%s)\n",
                     qPrintable(boxes.titles.join(", ")));
        return 1;
    }
    Make(window, 0);  // the demo image, the only one

    const QString shots = qEnvironmentVariable("LARKIN_SHOTS");
    const QString said = boxes.texts.value(boxes.texts.size() - 1);
    std::printf("messages: %s\n%s\n", qPrintable(boxes.titles.join(", ")), qPrintable(said));
    if (expected == "refused") {
        bool pictured = !boxes.picture.isNull() && said.contains("not authorised");
        return pictured && boxes.picture.save(shots + "/refused.png") ? 0 : 1;
    }
    frmCopyFiles* copy = window.copyWindow();
    if (copy == nullptr || copy->Label1->text() != "Done: USB Drive D: is now bootable.") return 1;
    return copy->grab().toImage().save(shots + "/done.png") ? 0 : 1;
}
