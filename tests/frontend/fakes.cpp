#include "fakes.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFont>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QStyleFactory>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <cstring>

namespace larkin::frontend::test {
namespace {

bool OnWindowThread() {
    return qApp != nullptr && QThread::currentThread() == qApp->thread();
}

}  // namespace

EngineResult FakeEngine::GetUSBDevCount() {
    onWindowThread |= OnWindowThread();
    ++countCalls;
    if (duringCount) duringCount();
    if (countFailure) return {0, countFailure};
    return {count, {}};
}

EngineResult FakeEngine::GetUSBDevInfo(int index, std::span<char> text) {
    onWindowThread |= OnWindowThread();
    if (index < 0 || index >= static_cast<int>(texts.size())) return {6, {}};
    const std::string& device = texts[static_cast<size_t>(index)];
    size_t length = std::min(device.size(), text.size() - 1);
    std::memcpy(text.data(), device.data(), length);
    text[length] = '\0';
    return {0, {}};
}

EngineResult FakeEngine::CreateUSBBoot(const std::string& destination, const std::string& source,
                                       int copyFiles) {
    onWindowThread |= OnWindowThread();
    createCalls.push_back({destination, source, copyFiles});
    for (const std::string& line : createOutput) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    if (duringCreate) duringCreate();
    if (createFailure) return {0, createFailure};
    return {createResult, {}};
}

Failure FakeDrives::GetDrive(const QString& root, DriveFacts* facts) {
    if (driveFailure) return driveFailure;
    *facts = drives.value(root);
    if (root == u"A:" && !floppyReady.empty()) {
        facts->ready = floppyReady.front();
        if (floppyReady.size() > 1) floppyReady.pop_front();
    }
    return {};
}

bool FakeDrives::HoldDrive(const QString& root, QString* why) {
    if (holdErrors.contains(root)) {
        *why = holdErrors.value(root);
        return false;
    }
    held.append(root);
    return true;
}

Failure FakeDrives::CopyFolderFiles(const QString& sourceFolder, const QString& root,
                                    const std::function<void(const QString&)>& onFile) {
    heldDuringCopy = held;
    if (copyFailure) return copyFailure;
    Copy copy{sourceFolder, root, {}};
    const QStringList files = QDir(sourceFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString& file : files) {
        if (onFile) onFile(file);
        copy.files.append(file);
    }
    copies.push_back(copy);
    return {};
}

Failure FakeDrives::CheckBootFiles(const QString& sourceFolder, const QString&, bool) {
    checkedSources.append(sourceFolder);
    return checkFailure;
}

Answer FakeMessageBoxes::Show(QWidget*, const MessageBoxRequest& request) {
    shown.push_back(request);
    if (onShow) onShow(request);
    if (answers.empty()) return Answer::Ok;
    Answer answer = answers.front();
    answers.pop_front();
    return answer;
}

QStringList FakeMessageBoxes::Titles() const {
    QStringList titles;
    for (const MessageBoxRequest& request : shown) titles.append(request.title);
    return titles;
}

void VirtualTimer::SetEnabled(bool enabled) {
    enabled_ = enabled;
    elapsed_ = 0;
}

void VirtualTimer::Advance(int milliseconds) {
    for (int step = 0; step < milliseconds; ++step) {
        if (!enabled_ || interval_ <= 0) return;
        if (++elapsed_ >= interval_) {
            elapsed_ = 0;
            if (onTimer) onTimer();
        }
    }
}

TestProgram::TestProgram() {
    QDir(folder.path()).mkdir(QStringLiteral("File_Images"));
    WriteFile(folder.filePath(QStringLiteral("larkinhelp.htm")), "<html><body>help</body></html>");
    services.engine = &engine;
    services.drives = &drives;
    services.messageBoxes = &boxes;
    services.worker = &worker;
    services.programFolder = folder.path();
    services.windowsDirectory = [this] { return windowsDirectory; };
    services.openPage = [this](const QUrl& page) {
        openedPages.append(page.toLocalFile());
        return true;
    };
    services.endProgram = [this] { ended = true; };
    services.makeTimer = [this] {
        auto made = std::make_unique<VirtualTimer>();
        timer = made.get();
        return made;
    };
    services.captureEngineOutput = true;
}

QString TestProgram::ImagesFolder() const {
    return QDir(folder.path()).filePath(QStringLiteral("File_Images"));
}

void TestProgram::AddImage(const QString& name, const QByteArray& description,
                           const QMap<QString, QByteArray>& files) {
    QDir images(ImagesFolder());
    images.mkdir(name);
    WriteFile(images.filePath(name + QStringLiteral("/fi.ini")), description);
    for (auto file = files.begin(); file != files.end(); ++file)
        WriteFile(images.filePath(name + u'/' + file.key()), file.value());
}

void TestProgram::AddDemoImage(const QString& name) {
    AddImage(name,
             "[Larkin boot image]\r\nFolder=" + name.toUtf8() +
                 "\r\nAgreement=License.rtf\r\nName=Larkin demo boot disk\r\n",
             {{QStringLiteral("License.rtf"),
               "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0 {\\b Demo agreement}\\par Use it "
               "freely.\\par}"},
              {QStringLiteral("KERNEL.SYS"), QByteArray(2048, 'k')}});
}

void TestProgram::AddUsbDrives() {
    engine.count = 2;
    engine.texts = {"E: SanDisk Cruzer Blade USB Device", "F: Kingston DataTraveler 2.0"};
    drives.drives[QStringLiteral("E:")] = {true, true, QStringLiteral("CRUZER"), 4004511744ULL};
    drives.drives[QStringLiteral("F:")] = {true, true, QString(), 64000000ULL};
}

ShownProgram::ShownProgram(const std::function<void(TestProgram&)>& setup, bool show) {
    if (setup) {
        setup(program);
    } else {
        program.AddDemoImage();
        program.AddUsbDrives();
    }
    window = std::make_unique<frmUSBBoot>(program.services);
    if (show) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    window->Form_Load();
}

QString WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(content);
    return path;
}

bool StepRecorder::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTipChange && watched->objectName() == QLatin1String("lblStep"))
        if (auto* label = qobject_cast<QLabel*>(watched))
            if (!label->toolTip().isEmpty() &&
                (lines.isEmpty() || lines.last() != label->toolTip()))
                lines.append(label->toolTip());
    return false;
}

ShowWatcher::ShowWatcher(const char* className, std::function<void(QWidget*)> action)
    : className_(className), action_(std::move(action)) {
    qApp->installEventFilter(this);
}

ShowWatcher::~ShowWatcher() {
    qApp->removeEventFilter(this);
}

bool ShowWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && action_ && watched->inherits(className_)) {
        QPointer<QWidget> widget = static_cast<QWidget*>(watched);
        QTimer::singleShot(0, [widget, action = std::move(action_)] {
            if (widget) action(widget);
        });
        action_ = nullptr;
    }
    return false;
}

void AgreementWindowDriver::Arm(std::function<void(frmLicense*)> action) {
    watcher_ = std::make_unique<ShowWatcher>(
        "larkin::frontend::frmLicense", [this, action](QWidget* shown) {
            auto* license = static_cast<frmLicense*>(shown);
            shownText = license->RichTextBox1->toPlainText();
            title = license->windowTitle();
            acceptHadFocus = license->focusWidget() == license->Command1;
            action(license);
        });
}

void UseScreenshotLook() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(9);
    QApplication::setFont(font);
}

Answer PicturingMessageBoxes::Show(QWidget* owner, const MessageBoxRequest& request) {
    titles << request.title;
    if (request.title != title_) return Answer::Ok;
    text = request.text;
    ShowWatcher watcher("QMessageBox", [this](QWidget* box) {
        picture = box->grab().toImage();
        static_cast<QMessageBox*>(box)->accept();
    });
    return DesktopMessageBoxes().Show(owner, request);
}

}  // namespace larkin::frontend::test
