// The main window: the image catalogue and the floppy option, the USB drive
// list, the two-line status, and the make-bootable command with its
// agreement window, floppy prompts, copy window and error messages.
#ifndef LARKIN_FRONTEND_FRMUSBBOOT_H
#define LARKIN_FRONTEND_FRMUSBBOOT_H

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <memory>
#include <optional>

#include "drive_services.h"
#include "failure.h"
#include "frmCopyFiles.h"
#include "image_catalog.h"
#include "message_boxes.h"
#include "program_services.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace larkin::frontend {

// The project's one version (CMake's), as --version and the About box give it.
inline constexpr char kProgramTitle[] = "Norvale Larkin " LARKIN_VERSION;
inline constexpr int kClientWidth = 513;
inline constexpr int kClientHeight = 343;
inline constexpr int kEjectIntervalMs = 5000;

// Columns of lvDevices.
enum DeviceColumn { kColumnMount = 0, kColumnVolumeName, kColumnFriendlyName, kColumnSize };

// A size in bytes as decimal megabytes with two decimals in the user's
// regional format, for example "4,004.51 MB".
QString SizeText(uint64_t totalBytes);

// The two lines of the status label.
QString StatusText(const QString& selectedMount, bool fromFloppy, const QString& imageName,
                   bool hasSelection);

// What a failed CreateUSBBoot left of the drive, by its volume before and
// after the call.
enum class DriveAfterFailure {
    Unchanged,  // the same volume with the same files
    Erased,     // another volume, or none that can be read
    Gone,       // no drive of that name any more
    Unknown,    // the drive could not be asked
};

class frmUSBBoot : public QMainWindow {
    Q_OBJECT
  public:
    explicit frmUSBBoot(ProgramServices& services);
    ~frmUSBBoot() override;

    // Event handlers.
    void Form_Load();
    void btnScan_Click();
    void Combo1_Click();
    void Option1_Click(int index);
    void lvDevices_ItemClick(QTreeWidgetItem* row);
    void Command1_Click();
    void mnuFloppyImage_Click();
    void mnuExit_Click();
    void mnuProgHelp_Click();
    void mnuAbout_Click();
    void btnStart_Click();
    void timerEject_Timer();

    // Procedures.
    void ListUSBDevices();
    void UpdateStatus();

    const ImageCatalog& catalog() const { return catalog_; }
    const QString& systemDriveLetter() const { return systemDriveLetter_; }
    // The copy window while it is open.
    frmCopyFiles* copyWindow() const { return copyWindow_.data(); }
    // True once the program has been ended by one of its windows.
    bool Ended() const { return ended_; }

    // Controls.
    QGroupBox* Frame1 = nullptr;
    std::array<QRadioButton*, 2> Option1{};
    QLabel* Label1 = nullptr;
    QComboBox* Combo1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* btnScan = nullptr;
    QTreeWidget* lvDevices = nullptr;
    QLabel* lblStatus = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* Command1 = nullptr;
    std::unique_ptr<IntervalTimer> timerEject;

    QMenu* mnuFile = nullptr;
    QAction* mnuFloppyImage = nullptr;
    QAction* mnuExit = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuProgHelp = nullptr;
    QAction* mnuAbout = nullptr;

  protected:
    // Form_Unload: nothing to do; the program ends with its last window.
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildControls();
    void BuildMenus();
    void EndProgram();
    Answer Ask(const QString& text, const QString& title, Buttons buttons, Icon icon,
               int defaultButton = 0);
    void ShowFailure(const Failure& failure);
    void ShowUnwritable(const QString& mount, const QString& why);
    // result kNoEngineStatus: the engine gave none (its process ended).
    static constexpr int kNoEngineStatus = -1;
    void ShowNotBootable(const QString& mount, bool fromFloppy, int result,
                         const QString& lastEngineLine, DriveAfterFailure drive);
    std::optional<DriveFacts> ReadDrive(const QString& mount);
    DriveAfterFailure CompareDrive(const QString& mount, const std::optional<DriveFacts>& before);
    QTreeWidgetItem* SelectedRow() const;
    void ClearSelection();

    // The command's two paths; a failure goes to the error handler.
    Failure MakeBootable();
    Failure MakeBootableFromImage(const QString& mount);
    Failure MakeBootableFromFloppy(const QString& mount);
    Failure FloppyReady(bool* ready);
    // The source's files can make the drive bootable; otherwise the reason
    // is shown and nothing is written.
    bool BootFilesUsable(const QString& source, const QString& mount, const QString& shownName,
                         bool floppy);
    // Calls CreateUSBBoot on the worker thread; the engine's lines go to the
    // copy window when one is open.
    Failure CreateUSBBoot(const QString& mount, int copyFiles, int* result, QString* lastLine);
    // The engine call and the copy of imageFolder ("" for the floppy path,
    // whose files the engine copies) in the writing helper: true when both
    // were done, with the files copied counted in copied; otherwise the
    // message was shown, or failure set for the error handler.
    bool WriteInHelper(const QString& mount, const QString& imageFolder, int* copied,
                       Failure* failure);
    void CloseCopyWindow();
    // The copy window's last word, and its timer.
    void ShowCopied(const QString& mount, int copied);

    ProgramServices& services_;
    ImageCatalog catalog_;
    QString systemDriveLetter_;
    QPointer<frmCopyFiles> copyWindow_;
    // The name the chosen drive was listed with, which the helper checks.
    QString chosenName_;
    bool ended_ = false;
    bool filling_ = false;  // the list is changed by the program, not the user
};

}  // namespace larkin::frontend

#endif
