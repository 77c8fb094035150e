// Stand-ins for the program's outside world in the window tests: an engine
// with scripted drives, drives with scripted facts and copies, message boxes
// that record and answer, a timer of virtual time, and a program folder with
// File_Images in a temporary folder.
#ifndef LARKIN_TESTS_FRONTEND_FAKES_H
#define LARKIN_TESTS_FRONTEND_FAKES_H

#include <QImage>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drive_services.h"
#include "engine.h"
#include "engine_worker.h"
#include "frmLicense.h"
#include "frmUSBBoot.h"
#include "interval_timer.h"
#include "message_boxes.h"
#include "program_services.h"

namespace larkin::frontend::test {

struct CreateUSBBootCall {
    std::string destination;
    std::string source;
    int copyFiles = 0;
};

// Called on the engine's worker thread; the test thread waits meanwhile.
class FakeEngine : public Engine {
  public:
    EngineResult GetUSBDevCount() override;
    EngineResult GetUSBDevInfo(int index, std::span<char> text) override;
    EngineResult CreateUSBBoot(const std::string& destination, const std::string& source,
                               int copyFiles) override;

    int count = 0;                   // what GetUSBDevCount answers
    std::vector<std::string> texts;  // device texts by index; a missing index gives 6
    Failure countFailure;            // the engine cannot be reached
    int createResult = 0;
    Failure createFailure;
    std::vector<std::string> createOutput;  // lines CreateUSBBoot prints
    // Run inside GetUSBDevCount and CreateUSBBoot (on the worker thread).
    std::function<void()> duringCount;
    std::function<void()> duringCreate;

    std::vector<CreateUSBBootCall> createCalls;
    int countCalls = 0;
    bool onWindowThread = false;  // set when any call ran on the window thread
};

class FakeDrives : public DriveServices {
  public:
    Failure GetDrive(const QString& root, DriveFacts* facts) override;
    Failure CopyFolderFiles(const QString& sourceFolder, const QString& root,
                            const std::function<void(const QString&)>& onFile) override;
    Failure CheckBootFiles(const QString& sourceFolder, const QString& root, bool floppy) override;
    QString UseFloppyImage(const QString& path) override {
        usedImages << path;
        return imageRefusals.value(path);
    }
    Failure PointFloppyPaths(const QString& root, QStringList* said) override {
        pointedRoots << root;
        *said = pointedLines;
        return {};
    }

    QString WriteRefusal(const QString& root) override { return refusals.value(root); }
    bool HoldDrive(const QString& root, QString* why) override;
    void ReleaseDrive(const QString& root) override { held.removeAll(root); }

    QMap<QString, DriveFacts> drives;
    QMap<QString, QString> refusals;    // why a drive must not be written
    QMap<QString, QString> holdErrors;  // why a drive cannot be held
    QStringList held;                   // drives held now
    QStringList heldDuringCopy;         // drives held while files were copied
    // Ready answers of drive A: in turn (the last repeats) when not empty.
    std::deque<bool> floppyReady;
    Failure driveFailure;  // every GetDrive fails with it when set
    Failure copyFailure;
    Failure checkFailure;  // CheckBootFiles refuses with it when set
    QStringList checkedSources;

    struct Copy {
        QString source;
        QString root;
        QStringList files;
    };
    std::vector<Copy> copies;
    QStringList usedImages;                // floppy image files shown as A:, in turn
    QMap<QString, QString> imageRefusals;  // why a file cannot be A:
    QStringList pointedRoots;              // drives whose floppy paths were pointed at C:
    QStringList pointedLines;              // what pointing them says
};

class FakeMessageBoxes : public MessageBoxes {
  public:
    Answer Show(QWidget* owner, const MessageBoxRequest& request) override;

    // Answers in turn; OK when none is left.
    std::deque<Answer> answers;
    std::vector<MessageBoxRequest> shown;
    // Runs when a box is shown (for example to look at the windows then).
    std::function<void(const MessageBoxRequest&)> onShow;

    QStringList Titles() const;
};

class VirtualTimer : public IntervalTimer {
  public:
    void SetInterval(int milliseconds) override { interval_ = milliseconds; }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return enabled_; }
    // Moves virtual time on, firing the timer at every interval passed.
    void Advance(int milliseconds);

  private:
    int interval_ = 0;
    bool enabled_ = false;
    int elapsed_ = 0;  // since enabled
};

// One program: a temporary program folder (File_Images and a help page), the
// fakes and the services that join them.
class TestProgram {
  public:
    TestProgram();

    // Adds File_Images/<folder> with fi.ini holding description and the
    // given files (name, content).
    void AddImage(const QString& folder, const QByteArray& description,
                  const QMap<QString, QByteArray>& files = {});
    // The demo's description and agreement, under folder.
    void AddDemoImage(const QString& folder = QStringLiteral("LarkinDemo"));
    QString ImagesFolder() const;

    // Two ready USB drives: E: (4,004,511,744 bytes) and F:.
    void AddUsbDrives();

    QTemporaryDir folder;
    FakeEngine engine;
    FakeDrives drives;
    FakeMessageBoxes boxes;
    EngineWorker worker;
    VirtualTimer* timer = nullptr;  // owned by the window
    ProgramServices services;
    bool ended = false;
    QStringList openedPages;
    QString windowsDirectory = QStringLiteral("C:\\WINDOWS");
};

// The program with the demo image and two USB drives, or what `setup` makes
// instead, its window shown (when `show`) and loaded.
struct ShownProgram {
    explicit ShownProgram(const std::function<void(TestProgram&)>& setup = {}, bool show = true);
    TestProgram program;
    std::unique_ptr<frmUSBBoot> window;
};

// Writes content to path, replacing the file; gives the path.
QString WriteFile(const QString& path, const QByteArray& content);

// Records each step the copy window's step label is given, as it is given
// (setting its tool tip sends the label a ToolTipChange event at once),
// while installed on the application.
class StepRecorder : public QObject {
  public:
    QStringList lines;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Runs an action once on the first window of a class when it is shown; a
// modal one then runs it in its own event loop. Watches while it lives.
class ShowWatcher : public QObject {
  public:
    ShowWatcher(const char* className, std::function<void(QWidget*)> action);
    ~ShowWatcher() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    const char* className_;
    std::function<void(QWidget*)> action_;
};

// Runs an action on the agreement window when it is shown, and keeps what
// it showed.
struct AgreementWindowDriver {
    QString shownText;
    QString title;
    bool acceptHadFocus = false;

    void Arm(std::function<void(frmLicense*)> action);

  private:
    std::unique_ptr<ShowWatcher> watcher_;
};

// The look the pictures are taken with: Fusion, DejaVu Sans 9 pt.
void UseScreenshotLook();

// Answers every box OK, except that the one titled `title` is shown as the
// desktop shows it, pictured, then closed.
class PicturingMessageBoxes : public MessageBoxes {
  public:
    explicit PicturingMessageBoxes(QString title) : title_(std::move(title)) {}
    Answer Show(QWidget* owner, const MessageBoxRequest& request) override;

    QStringList titles;
    QString text;  // of the pictured box
    QImage picture;

  private:
    QString title_;
};

}  // namespace larkin::frontend::test

#endif
