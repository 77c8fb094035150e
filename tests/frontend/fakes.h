// Stand-ins for the desktop program's engine, drives, boxes and timer.
#ifndef LARKIN_TESTS_FRONTEND_FAKES_H
#define LARKIN_TESTS_FRONTEND_FAKES_H

#include <QtTest>
#include <QtWidgets>
#include <optional>

#include "agreement_text.h"
#include "drive_services.h"
#include "engine.h"
#include "engine_worker.h"
#include "frmCopyFiles.h"
#include "frmLicense.h"
#include "frmUSBBoot.h"
#include "message_boxes.h"

namespace larkin::frontend::test {

inline QString WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(content);
    return path;
}

// An image folder `name` in `images`, its description and `files` in it.
inline void AddImage(const QString& images, const QString& name, const QByteArray& description,
                     const QMap<QString, QByteArray>& files = {}) {
    QDir(images).mkpath(name);
    WriteFile(images + '/' + name + "/fi.ini", description);
    for (auto file = files.begin(); file != files.end(); ++file)
        WriteFile(images + '/' + name + '/' + file.key(), file.value());
}

inline constexpr const char* kInfoFails = "(info fails)";

// Both fakes note their calls in `log`.
class FakeEngine : public Engine {
  public:
    EngineResult GetUSBDevCount() override {
        Note("count");
        if (duringCount) QMetaObject::invokeMethod(qApp, duringCount, Qt::BlockingQueuedConnection);
        return counted;
    }
    EngineResult GetUSBDevInfo(int index, std::span<char> text) override {
        Note({});
        const QString said = texts.value(index, kInfoFails);
        if (said == kInfoFails) return {6, {}};
        std::snprintf(text.data(), text.size(), "%s", qPrintable(said));
        return {};
    }
    EngineResult CreateUSBBoot(const std::string& destination, const std::string& source,
                               int copyFiles) override {
        Note(QString("create %1 %2 %3").arg(destination.c_str(), source.c_str()).arg(copyFiles));
        for (const std::string& line : createOutput) std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (duringCreate)
            QMetaObject::invokeMethod(qApp, duringCreate, Qt::BlockingQueuedConnection);
        return created;
    }

    QStringList* log = nullptr;
    EngineResult counted, created;
    QStringList texts;  // by index; a missing one (or kInfoFails) gives 6
    std::vector<std::string> createOutput;
    // Run on the window thread while the call waits for them.
    std::function<void()> duringCount, duringCreate;
    bool onWindowThread = false;  // any call ran on the window thread

  private:
    void Note(const QString& call) {
        onWindowThread |= QThread::currentThread() == qApp->thread();
        if (!call.isEmpty()) *log << call;
    }
};

class FakeDrives : public DriveServices {
  public:
    Failure GetDrive(const QString& root, DriveFacts* facts) override {
        *facts = drives.value(root);
        if (root == u"A:" && floppyUnreadyAsks > 0) facts->ready = false, --floppyUnreadyAsks;
        return driveFailure;
    }
    Failure CopyFolderFiles(const QString& sourceFolder, const QString& root,
                            const std::function<void(const QString&)>& onFile) override {
        if (copyFailure) return copyFailure;
        for (const QString& file : QDir(sourceFolder).entryList(QDir::Files, QDir::Name))
            onFile(file);
        *log << "copy " + QFileInfo(sourceFolder).fileName() + " to " + root;
        return {};
    }
    Failure CheckBootFiles(const QString& sourceFolder, const QString&, bool) override {
        *log << "check " + QFileInfo(sourceFolder).fileName();
        return checkFailure;
    }
    QString UseFloppyImage(const QString& path) override {
        *log << "use " + path;
        return imageRefusals.value(path);
    }
    Failure PointFloppyPaths(const QString& root, QStringList* said) override {
        *log << "point " + root;
        *said = pointedLines;
        return {};
    }
    QString WriteRefusal(const QString& root) override { return refusals.value(root); }
    bool HoldDrive(const QString& root, QString* why) override {
        *why = holdErrors.value(root);
        if (why->isEmpty()) *log << "hold " + root;
        return why->isEmpty();
    }
    void ReleaseDrive(const QString& root) override { *log << "release " + root; }

    QStringList* log = nullptr;
    QMap<QString, DriveFacts> drives;
    QMap<QString, QString> refusals, holdErrors, imageRefusals;
    int floppyUnreadyAsks = 0;  // A: is not ready for as many asks
    Failure driveFailure, copyFailure, checkFailure;
    QStringList pointedLines;
};

class EventWatcher : public QObject {
  public:
    explicit EventWatcher(std::function<void(QObject*, QEvent*)> seen) : seen_(std::move(seen)) {
        qApp->installEventFilter(this);
    }
    // Gone with it (the application keeps its filters by weak pointer).
    bool eventFilter(QObject* o, QEvent* e) override { return seen_(o, e), false; }
    std::function<void(QObject*, QEvent*)> seen_;
};

// Runs an action once on the first window of a class when it is shown; a
// modal one then runs it in its own event loop.
inline std::unique_ptr<EventWatcher> OnShown(const char* className,
                                             std::function<void(QWidget*)> action) {
    return std::make_unique<EventWatcher>([=](QObject* watched, QEvent* event) mutable {
        if (event->type() != QEvent::Show || !action || !watched->inherits(className)) return;
        QTimer::singleShot(0, [widget = QPointer(static_cast<QWidget*>(watched)), action] {
            if (widget) action(widget);
        });
        action = nullptr;
    });
}

// Records each step the copy window's step label is given, as it is given
// (setting its tool tip sends the label a ToolTipChange event at once).
inline std::unique_ptr<EventWatcher> RecordSteps(QStringList* lines) {
    return std::make_unique<EventWatcher>([lines](QObject* watched, QEvent* event) {
        if (event->type() == QEvent::ToolTipChange && watched->objectName() == u"lblStep")
            *lines << static_cast<QWidget*>(watched)->toolTip();
    });
}

// Answers in turn (OK when none is left), except that the box titled
// `pictured` is shown as the desktop shows it, pictured, then closed.
class FakeMessageBoxes : public MessageBoxes {
  public:
    Answer Show(QWidget* owner, const MessageBoxRequest& request) override {
        titles << request.title;
        texts << request.text;
        last = request;
        for (QWidget* window : QApplication::topLevelWidgets())
            overCopyWindow |=
                window->isVisible() && window->inherits("larkin::frontend::frmCopyFiles");
        if (request.title == pictured) {
            auto watcher = OnShown("QMessageBox", [this](QWidget* box) {
                picture = box->grab().toImage();
                static_cast<QMessageBox*>(box)->accept();
            });
            return DesktopMessageBoxes().Show(owner, request);
        }
        return answers.isEmpty() ? Answer::Ok : answers.takeFirst();
    }
    QList<Answer> answers;
    QStringList titles, texts;
    MessageBoxRequest last;
    bool overCopyWindow = false;  // a box was shown while a copy window was
    QString pictured;
    QImage picture;
};

class VirtualTimer : public IntervalTimer {
  public:
    void SetInterval(int milliseconds) override { interval = milliseconds; }
    int Interval() const override { return interval; }
    void SetEnabled(bool on) override { enabled = on, elapsed = 0; }
    bool Enabled() const override { return enabled; }
    void Advance(int ms) {
        if (enabled && (elapsed += ms) >= interval) elapsed = 0, onTimer();
    }
    int interval = 0, elapsed = 0;
    bool enabled = false;
};

// The device list's rows, a dimmed one marked so.
inline QStringList Rows(const frmUSBBoot& window) {
    QStringList rows;
    QColor dimmed = window.palette().color(QPalette::Disabled, QPalette::Text);
    for (int i = 0; i < window.lvDevices->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = window.lvDevices->topLevelItem(i);
        rows << QStringList{row->text(0), row->text(1), row->text(2), row->text(3)}.join('|') +
                    (row->foreground(0).color() == dimmed ? " (dimmed)" : "");
    }
    return rows;
}

// Make USB Bootable on a row (none: -1), `onAgreement` given the agreement
// (none: it is accepted).
inline void Make(frmUSBBoot& window, int row,
                 const std::function<void(frmLicense*)>& onAgreement = {}) {
    if (row >= 0) window.lvDevices_ItemClick(window.lvDevices->topLevelItem(row));
    auto agreement = OnShown("larkin::frontend::frmLicense", [=](QWidget* shown) {
        auto* license = static_cast<frmLicense*>(shown);
        onAgreement ? onAgreement(license) : QTest::mouseClick(license->Command1, Qt::LeftButton);
    });
    window.btnStart_Click();
}

// A program folder, the fakes, and the window loaded with the demo image and
// two USB drives, or with what `setup` makes instead.
struct TestProgram {
    explicit TestProgram(const std::function<void(TestProgram&)>& setup = {}) {
        QDir(folder.path()).mkdir("File_Images");
        engine.log = drives.log = &log;
        services.engine = &engine;
        services.drives = &drives;
        services.messageBoxes = &boxes;
        services.worker = &worker;
        services.programFolder = folder.path();
        services.windowsDirectory = [] { return QString("C:\\WINDOWS"); };
        services.endProgram = [this] { ended = true; };
        services.makeTimer = [this] {
            auto made = std::make_unique<VirtualTimer>();
            timer = made.get();
            return made;
        };
        setup ? setup(*this) : (AddDemoImage(), AddUsbDrives());
        window = std::make_unique<frmUSBBoot>(services);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->Form_Load();
    }
    // The demo image, and one without an agreement; each names its folder,
    // agreement or kernel in another case than the file's.
    void AddDemoImage() {
        AddImage(ImagesFolder(), "LarkinDemo",
                 "[Larkin boot image]\r\nFolder=LarkinDemo\r\nAgreement=LICENSE.RTF\r\n"
                 "Name=Larkin demo boot disk\r\n",
                 {{"License.rtf",
                   "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0 {\\b Demo agreement}\\par}"},
                  {"KERNEL.SYS", QByteArray(2048, 'k')}});
        AddImage(ImagesFolder(), "free", "x\nFolder=FREE\nEula=none\nName=Free\n",
                 {{"kernel.sys", "k"}});
    }
    QString ImagesFolder() const { return folder.filePath("File_Images"); }
    void AddUsbDrives() {
        engine.counted.value = 2;
        engine.texts = {"E: SanDisk Cruzer Blade USB Device", "F: Kingston DataTraveler 2.0"};
        drives.drives["E:"] = {true, true, "CRUZER", 4004511744ULL};
        drives.drives["F:"] = {true, true, QString(), 64000000ULL};
    }
    // Make on a row; the boxes and the log before are forgotten.
    void Start(int row, const std::function<void(frmLicense*)>& onAgreement = {}) {
        boxes.titles.clear(), boxes.texts.clear();
        log.clear();
        Make(*window, row, onAgreement);
    }
    // The engine ends with status 6 and `output`, leaving E: as `after`
    // (not existing: gone; none: as it was); from the floppy when `floppy`.
    void EngineFails(std::vector<std::string> output, std::optional<DriveFacts> after = {},
                     bool floppy = false) {
        drives.drives["A:"] = {true, true, "", 1474560};
        engine.created.value = 6;
        engine.createOutput = std::move(output);
        engine.duringCreate = [this, after] {
            if (after) drives.drives["E:"] = *after;
        };
        if (floppy) FromFloppy();
    }
    void FromFloppy() { window->Option1[0]->setChecked(true); }

    QTemporaryDir folder;
    QStringList log;
    FakeEngine engine;
    FakeDrives drives;
    FakeMessageBoxes boxes;
    EngineWorker worker;
    VirtualTimer* timer = nullptr;
    ProgramServices services;
    bool ended = false;
    std::unique_ptr<frmUSBBoot> window;
};

inline void UseScreenshotLook() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setFont(QFont("DejaVu Sans", 9));
}

// The program over this machine's drives and the real engine, writing through
// `writer`; the platform's message boxes go to `boxes` meanwhile.
struct MachineProgram {
    MachineProgram(MessageBoxes* boxes, const QString& folder, std::string writer, bool elevate) {
        services.engine = &engine;
        services.drives = drives.get();
        services.messageBoxes = boxes;
        services.worker = &worker;
        services.programFolder = folder;
        services.windowsDirectory = PlatformWindowsDirectory;
        services.endProgram = [] {};
        services.makeTimer = [] { return std::make_unique<VirtualTimer>(); };
        services.runWriter = [writer, elevate](const larkin::writer::Request& request,
                                               const larkin::writer::Callbacks& callbacks) {
            return larkin::writer::RunWriter(writer, elevate, request, callbacks);
        };
        RoutePlatformMessageBoxes(boxes);
    }
    ~MachineProgram() { RemovePlatformMessageBoxes(); }

    TesselEngine engine;
    std::unique_ptr<DriveServices> drives = MakeMachineDriveServices();
    EngineWorker worker;
    ProgramServices services;
};

}  // namespace larkin::frontend::test

#endif
