#include "frmUSBBoot.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTreeWidget>
#include <array>
#include <cstdio>
#include <optional>

#include "agreement_text.h"
#include "drive_services.h"
#include "engine.h"
#include "engine_worker.h"
#include "frmCopyFiles.h"
#include "frmLicense.h"
#include "output_capture.h"
#include "volume_name.h"

// The picture and the icon are built into the static library; its resources
// are registered by hand (from the global namespace, as the macro needs).
static void RegisterResources() {
    Q_INIT_RESOURCE(larkin);
}

namespace larkin::frontend {
namespace {

constexpr char kImagesFolder[] = "File_Images";
constexpr char kHelpPage[] = "larkinhelp.htm";
constexpr char kCopyrightFile[] = "COPYRIGHT";
constexpr char kFloppyDrive[] = "A:";
constexpr int kDeviceTextSize = 256;

// Removes blanks (only blanks) at both ends.
QString TrimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ') ++first;
    while (last > first && text[last - 1] == u' ') --last;
    return text.mid(first, last - first);
}

bool IsCapitalLetter(QChar c) {
    return c.unicode() >= u'A' && c.unicode() <= u'Z';
}

// The device text begins with the drive's letters, several joined by ";"
// when the drive has more than one volume ("E:;G: SanDisk ..."); returns
// the length of that field.
qsizetype LettersLength(const QString& text) {
    qsizetype at = 0;
    while (at + 1 < text.size() && IsCapitalLetter(text[at]) && text[at + 1] == u':') {
        at += 2;
        if (at >= text.size() || text[at] != u';') break;
        ++at;
    }
    return at;
}

// The friendly name of a device text, with the drive's letters after the
// first named, since making the drive bootable erases them all.
QString FriendlyName(const QString& deviceText) {
    qsizetype letters = LettersLength(deviceText);
    QString name = deviceText.mid(letters);
    if (name.startsWith(u' ')) name.remove(0, 1);
    QStringList others = deviceText.left(letters).split(u';', Qt::SkipEmptyParts);
    if (others.size() > 1) {
        others.removeFirst();
        name += QStringLiteral(" (also %1)").arg(others.join(QStringLiteral(", ")));
    }
    return name;
}

bool SameVolume(const DriveFacts& one, const DriveFacts& other) {
    return one.exists == other.exists && one.ready == other.ready && one.label == other.label &&
           one.totalBytes == other.totalBytes && one.freeBytes == other.freeBytes &&
           one.serialNumber == other.serialNumber;
}

const QString kNoUsbDrives = QStringLiteral("No USB Drives Found!");
const QString kNoUsbDrivesTitle = QStringLiteral("No USB Drives");

}  // namespace

QString SizeText(uint64_t totalBytes) {
    return QLocale().toString(static_cast<double>(totalBytes) / 1000000.0, 'f', 2) +
           QStringLiteral(" MB");
}

QString StatusText(const QString& selectedMount, bool fromFloppy, const QString& imageName,
                   bool hasSelection) {
    QString first = hasSelection ? QStringLiteral("Drive %1 selected.").arg(selectedMount)
                                 : QStringLiteral("No Drive selected.");
    QString second = fromFloppy ? QStringLiteral(" Files will be copied from Floppy (A:).")
                                : QStringLiteral(" Files will be copied from ") + imageName +
                                      QStringLiteral(" image file.");
    return first + u'\n' + second;
}

frmUSBBoot::frmUSBBoot(ProgramServices& services) : services_(services) {
    RegisterResources();
    setObjectName(QStringLiteral("frmUSBBoot"));
    setWindowTitle(QLatin1String(kProgramTitle));
    setWindowIcon(QIcon(QStringLiteral(":/larkin/larkin.png")));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    BuildControls();
    BuildMenus();
    timerEject = services_.makeTimer ? services_.makeTimer() : std::make_unique<QtIntervalTimer>();
    timerEject->SetInterval(kEjectIntervalMs);
    timerEject->SetEnabled(false);
    timerEject->onTimer = [this] { timerEject_Timer(); };

    adjustSize();
    setFixedSize(sizeHint());
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

frmUSBBoot::~frmUSBBoot() {
    if (copyWindow_) delete copyWindow_.data();
}

void frmUSBBoot::BuildControls() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    Frame1 = new QGroupBox(QStringLiteral("What to Copy to USB Drive"), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(8, 4, 240, 146);
    Option1[0] = new QRadioButton(QStringLiteral("Copy Files from Floppy"), Frame1);
    Option1[0]->setObjectName(QStringLiteral("Option1_0"));
    Option1[0]->setGeometry(10, 22, 224, 22);
    Option1[1] = new QRadioButton(QStringLiteral("Copy Files from Boot Image File"), Frame1);
    Option1[1]->setObjectName(QStringLiteral("Option1_1"));
    Option1[1]->setGeometry(10, 46, 224, 22);
    Option1[1]->setChecked(true);
    Label1 = new QLabel(QStringLiteral("Boot Image File"), Frame1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(12, 80, 220, 18);
    Combo1 = new QComboBox(Frame1);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setGeometry(10, 100, 220, 26);
    Combo1->setEditable(false);

    Image1 = new QLabel(client);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(256, 10, 249, 72);
    Image1->setAlignment(Qt::AlignCenter);
    QPixmap banner(QStringLiteral(":/larkin/banner.gif"));
    if (!banner.isNull())
        Image1->setPixmap(
            banner.scaled(Image1->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));

    btnScan = new QPushButton(QStringLiteral("Rescan USB"), client);
    btnScan->setObjectName(QStringLiteral("btnScan"));
    btnScan->setGeometry(405, 122, 100, 26);

    Label4 = new QLabel(QStringLiteral("Select USB Device to Make Bootable"), client);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setGeometry(8, 156, 300, 18);

    lvDevices = new QTreeWidget(client);
    lvDevices->setObjectName(QStringLiteral("lvDevices"));
    lvDevices->setGeometry(8, 176, 497, 100);
    lvDevices->setRootIsDecorated(false);
    lvDevices->setItemsExpandable(false);
    lvDevices->setUniformRowHeights(true);
    lvDevices->setSelectionMode(QAbstractItemView::SingleSelection);
    lvDevices->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvDevices->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvDevices->setSortingEnabled(false);
    lvDevices->setHeaderLabels({QStringLiteral("Mount"), QStringLiteral("Volume Name"),
                                QStringLiteral("Friendly Name"), QStringLiteral("Size")});
    // 700, 2000, 3000 and 1440 twips at 96 dots per inch.
    lvDevices->setColumnWidth(kColumnMount, 47);
    lvDevices->setColumnWidth(kColumnVolumeName, 133);
    lvDevices->setColumnWidth(kColumnFriendlyName, 200);
    lvDevices->setColumnWidth(kColumnSize, 96);
    lvDevices->header()->setStretchLastSection(false);
    lvDevices->headerItem()->setTextAlignment(kColumnSize, Qt::AlignRight | Qt::AlignVCenter);

    lblStatus = new QLabel(client);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setGeometry(8, 280, 497, 32);
    lblStatus->setTextFormat(Qt::PlainText);
    lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    btnStart = new QPushButton(QStringLiteral("Make USB Bootable"), client);
    btnStart->setObjectName(QStringLiteral("btnStart"));
    btnStart->setGeometry(280, 312, 136, 26);
    btnStart->setEnabled(false);
    Command1 = new QPushButton(QStringLiteral("Quit"), client);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(424, 312, 81, 26);

    // Tab order: Quit, Make USB Bootable, the list, the image list, the two
    // options, Rescan USB (labels and the frame take no focus).
    setTabOrder(Command1, btnStart);
    setTabOrder(btnStart, lvDevices);
    setTabOrder(lvDevices, Combo1);
    setTabOrder(Combo1, Option1[0]);
    setTabOrder(Option1[0], Option1[1]);
    setTabOrder(Option1[1], btnScan);

    connect(btnScan, &QPushButton::clicked, this, &frmUSBBoot::btnScan_Click);
    connect(Combo1, &QComboBox::currentIndexChanged, this, &frmUSBBoot::Combo1_Click);
    for (int index = 0; index < 2; ++index)
        connect(Option1[static_cast<size_t>(index)], &QRadioButton::toggled, this,
                [this, index](bool checked) {
                    if (checked) Option1_Click(index);
                });
    connect(lvDevices, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* row) { lvDevices_ItemClick(row); });
    // A row chosen with the keyboard is a click too (the mouse is handled
    // above, when its button is released). It is handled once the list has
    // finished moving its selection.
    connect(lvDevices, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* row) {
        if (filling_ || row == nullptr || QApplication::mouseButtons() != Qt::NoButton) return;
        QPersistentModelIndex chosen(lvDevices->currentIndex());
        QMetaObject::invokeMethod(
            this,
            [this, chosen] {
                if (chosen.isValid() && chosen.row() < lvDevices->topLevelItemCount())
                    lvDevices_ItemClick(lvDevices->topLevelItem(chosen.row()));
            },
            Qt::QueuedConnection);
    });
    connect(btnStart, &QPushButton::clicked, this, &frmUSBBoot::btnStart_Click);
    connect(Command1, &QPushButton::clicked, this, &frmUSBBoot::Command1_Click);
}

void frmUSBBoot::BuildMenus() {
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFloppyImage = mnuFile->addAction(QStringLiteral("Use Floppy &Image File..."));
    mnuFloppyImage->setObjectName(QStringLiteral("mnuFloppyImage"));
    mnuFile->addSeparator();
    mnuExit = mnuFile->addAction(QStringLiteral("E&xit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuProgHelp = mnuHelp->addAction(QStringLiteral("Larkin &Help"));
    mnuProgHelp->setObjectName(QStringLiteral("mnuProgHelp"));
    mnuAbout = mnuHelp->addAction(QStringLiteral("&About"));
    mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    connect(mnuFloppyImage, &QAction::triggered, this, &frmUSBBoot::mnuFloppyImage_Click);
    connect(mnuExit, &QAction::triggered, this, &frmUSBBoot::mnuExit_Click);
    connect(mnuProgHelp, &QAction::triggered, this, &frmUSBBoot::mnuProgHelp_Click);
    connect(mnuAbout, &QAction::triggered, this, &frmUSBBoot::mnuAbout_Click);
}

Answer frmUSBBoot::Ask(const QString& text, const QString& title, Buttons buttons, Icon icon,
                       int defaultButton) {
    return services_.messageBoxes->Show(this, {text, title, buttons, icon, defaultButton});
}

void frmUSBBoot::EndProgram() {
    ended_ = true;
    if (services_.endProgram) services_.endProgram();
}

void frmUSBBoot::Form_Load() {
    catalog_.lastIndex = -1;
    QString imagesFolder = QDir(services_.programFolder).filePath(QLatin1String(kImagesFolder));
    QStringList names;
    switch (LoadImageCatalog(imagesFolder, catalog_, names)) {
        case CatalogLoad::FolderMissing:
            Ask(QStringLiteral("Folder File_Images not found. Please try reinstalling the "
                               "program."),
                QStringLiteral("File_Images Not Found"), Buttons::Ok, Icon::None);
            close();
            EndProgram();
            return;
        case CatalogLoad::NoSubFolders:
            Ask(QStringLiteral("No File Imaged Found."), QStringLiteral("File Images Missing"),
                Buttons::Ok, Icon::None);
            break;
        case CatalogLoad::Loaded:
            break;
    }
    for (const QString& name : names) {
        Combo1->addItem(name);
        Combo1->setCurrentIndex(0);
    }
    Combo1->repaint();

    QString windows =
        services_.windowsDirectory ? TrimBlanks(services_.windowsDirectory()) : QString();
    systemDriveLetter_ = windows.left(1);

    ListUSBDevices();
    if (ended_) return;
    ClearSelection();
    UpdateStatus();
    Command1->setFocus();
}

void frmUSBBoot::ListUSBDevices() {
    std::array<char, kDeviceTextSize> text{};
    filling_ = true;
    lvDevices->clear();
    EngineWorker& worker = *services_.worker;
    Engine& engine = *services_.engine;
    EngineResult count = worker.Run([&] { return engine.GetUSBDevCount(); });
    if (!count.failure && count.value <= 0) {
        filling_ = false;
        Ask(kNoUsbDrives, kNoUsbDrivesTitle, Buttons::Ok, Icon::None);
        EndProgram();
        return;
    }
    for (int i = 0; !count.failure && i < count.value; ++i) {
        EngineResult info = worker.Run([&] { return engine.GetUSBDevInfo(i, text); });
        if (info.failure) break;
        if (info.value != kAtaOk) continue;
        text.back() = '\0';
        QString deviceText = DecodeSystemText(QByteArray(text.data()));
        QString trimmed = TrimBlanks(deviceText);
        if (trimmed.isEmpty() || trimmed == systemDriveLetter_ + u':' ||
            !IsCapitalLetter(trimmed[0]))
            continue;
        QString mount = deviceText.left(2);
        // A drive without a drive letter (its text starts with the friendly
        // name) cannot be made bootable: the engine finds drives by letter.
        if (mount.size() != 2 || !IsCapitalLetter(mount[0]) || mount[1] != u':') continue;

        auto* row = new QTreeWidgetItem(lvDevices);
        row->setText(kColumnMount, mount);
        row->setData(kColumnMount, Qt::UserRole, deviceText);
        row->setTextAlignment(kColumnSize, Qt::AlignRight | Qt::AlignVCenter);
        DriveFacts facts;
        Failure failure = worker.Run([&] { return services_.drives->GetDrive(mount, &facts); });
        if (failure) break;
        if (facts.ready) {
            row->setText(kColumnVolumeName, facts.label);
            row->setText(kColumnFriendlyName, FriendlyName(deviceText));
            if (systemDriveLetter_ == mount.left(1)) {
                QBrush dimmed = palette().brush(QPalette::Disabled, QPalette::Text);
                for (int column = 0; column < lvDevices->columnCount(); ++column)
                    row->setForeground(column, dimmed);
            }
            row->setText(kColumnSize, SizeText(facts.totalBytes));
        } else {
            row->setText(kColumnVolumeName, QStringLiteral("NOT READY"));
        }
    }
    filling_ = false;
    if (lvDevices->topLevelItemCount() == 0)
        Ask(kNoUsbDrives, kNoUsbDrivesTitle, Buttons::Ok, Icon::None);
}

QTreeWidgetItem* frmUSBBoot::SelectedRow() const {
    const QList<QTreeWidgetItem*> selected = lvDevices->selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

void frmUSBBoot::ClearSelection() {
    filling_ = true;
    lvDevices->clearSelection();
    lvDevices->setCurrentItem(nullptr);
    filling_ = false;
}

void frmUSBBoot::UpdateStatus() {
    QTreeWidgetItem* row = SelectedRow();
    lblStatus->setText(StatusText(row != nullptr ? row->text(kColumnMount) : QString(),
                                  Option1[0]->isChecked(), Combo1->currentText(), row != nullptr));
}

void frmUSBBoot::btnScan_Click() {
    ListUSBDevices();
    // The refilled list has no selection; the status must not name the
    // drive that was selected before.
    if (!ended_) UpdateStatus();
}

void frmUSBBoot::Combo1_Click() {
    UpdateStatus();
}

// A computer without a floppy drive: a floppy image file stands in for the
// disk in A:, and "Copy Files from Floppy" copies from it.
void frmUSBBoot::mnuFloppyImage_Click() {
    if (!services_.chooseFloppyImage) return;
    QString path = services_.chooseFloppyImage();
    if (path.isEmpty()) return;
    QString why = services_.drives->UseFloppyImage(path);
    if (!why.isEmpty()) {
        Ask(QStringLiteral("The file cannot be drive A:: %1").arg(why),
            QStringLiteral("Floppy Image Not Usable"), Buttons::Ok, Icon::Stop);
        return;
    }
    services_.floppyImageInUse = true;
    Option1[0]->setChecked(true);
    UpdateStatus();
}

void frmUSBBoot::Option1_Click(int index) {
    bool images = index != 0;
    Combo1->setEnabled(images);
    Label1->setEnabled(images);
    UpdateStatus();
}

void frmUSBBoot::lvDevices_ItemClick(QTreeWidgetItem* row) {
    if (row == nullptr) return;
    filling_ = true;
    lvDevices->setCurrentItem(row);
    row->setSelected(true);
    filling_ = false;
    if (row->text(kColumnMount).left(1) != systemDriveLetter_) {
        btnStart->setEnabled(true);
    } else {
        Ask(QStringLiteral("Cannot format system drive!"), QStringLiteral("Format Error!"),
            Buttons::Ok, Icon::Stop);
        ClearSelection();
    }
    UpdateStatus();
}

void frmUSBBoot::Command1_Click() {
    EndProgram();
}

void frmUSBBoot::mnuExit_Click() {
    close();
}

void frmUSBBoot::closeEvent(QCloseEvent* event) {
    event->accept();
}

void frmUSBBoot::mnuProgHelp_Click() {
    QString page = QDir(services_.programFolder).filePath(QLatin1String(kHelpPage));
    bool opened = QFileInfo::exists(page) && services_.openPage &&
                  services_.openPage(QUrl::fromLocalFile(page));
    if (!opened)
        Ask(QStringLiteral("The help page %1 could not be opened. Check that it exists and "
                           "that a web browser is installed.")
                .arg(QDir::toNativeSeparators(page)),
            QStringLiteral("Larkin Help"), Buttons::Ok, Icon::None);
}

void frmUSBBoot::mnuAbout_Click() {
    QString copyright = QDir(services_.programFolder).filePath(QLatin1String(kCopyrightFile));
    Ask(QStringLiteral("%1\n\nVersion %2\n\nMakes a USB flash drive bootable from a boot image "
                       "or a floppy disk.\n\nCopyright and licence: %3")
            .arg(QLatin1String(kProgramTitle), QStringLiteral(LARKIN_VERSION),
                 QDir::toNativeSeparators(copyright)),
        QStringLiteral("About Larkin"), Buttons::Ok, Icon::Information);
}

void frmUSBBoot::ShowFailure(const Failure& failure) {
    ErrorMessage message = MessageForFailure(failure);
    Ask(message.text, message.title, Buttons::Ok, Icon::None);
}

void frmUSBBoot::ShowNotBootable(const QString& mount, bool fromFloppy, int result,
                                 const QString& lastLine, DriveAfterFailure drive) {
    QString text = QStringLiteral("USB Drive %1 could not be made bootable").arg(mount);
    if (fromFloppy) text += QStringLiteral(" from the floppy in A:");
    if (result != kNoEngineStatus) text += QStringLiteral(" (engine status %1)").arg(result);
    if (!lastLine.isEmpty()) text += QStringLiteral(": ") + lastLine;
    if (!text.endsWith(u'.')) text += u'.';
    text += QStringLiteral("\n\n");
    switch (drive) {
        case DriveAfterFailure::Unchanged:
            text += QStringLiteral(
                "The drive was left as it was. Check that it is still connected, use Rescan USB "
                "and try again.");
            break;
        case DriveAfterFailure::Erased:
            text += QStringLiteral(
                "The drive was erased before this step failed: the files that were on it are "
                "gone, and it does not start a computer. Put right what failed, then make it "
                "bootable again.");
            break;
        case DriveAfterFailure::Gone:
            text += QStringLiteral(
                "The drive can no longer be found: it was unplugged, or it was erased. Check "
                "that it is connected, use Rescan USB and try again.");
            break;
        case DriveAfterFailure::Unknown:
            text += QStringLiteral(
                "The drive may have been erased. Use Rescan USB and make it bootable again.");
            break;
    }
    Ask(text, QStringLiteral("USB Drive Not Bootable"), Buttons::Ok, Icon::None);
}

void frmUSBBoot::ShowUnwritable(const QString& mount, const QString& why) {
    Ask(QStringLiteral("USB Drive %1 cannot be written: %2. Nothing was changed on the drive.")
            .arg(mount, why),
        QStringLiteral("USB Drive Not Bootable"), Buttons::Ok, Icon::None);
}

std::optional<DriveFacts> frmUSBBoot::ReadDrive(const QString& mount) {
    DriveFacts facts;
    if (services_.worker->Run([&] { return services_.drives->GetDrive(mount, &facts); }))
        return std::nullopt;
    return facts;
}

DriveAfterFailure frmUSBBoot::CompareDrive(const QString& mount,
                                           const std::optional<DriveFacts>& before) {
    std::optional<DriveFacts> after = ReadDrive(mount);
    if (!before || !after) return DriveAfterFailure::Unknown;
    if (before->exists && !after->exists) return DriveAfterFailure::Gone;
    return SameVolume(*before, *after) ? DriveAfterFailure::Unchanged : DriveAfterFailure::Erased;
}

void frmUSBBoot::btnStart_Click() {
    // The copy window of an earlier command, still waiting for its timer,
    // goes now: the timer is this command's from here on.
    timerEject->SetEnabled(false);
    CloseCopyWindow();
    EulaAccepted = false;
    Failure failure = MakeBootable();
    if (failure) ShowFailure(failure);
}

Failure frmUSBBoot::MakeBootable() {
    QTreeWidgetItem* row = SelectedRow();
    QString mount = row != nullptr ? row->text(kColumnMount) : QString();
    if (mount.isEmpty()) {
        Ask(QStringLiteral("No USB drive selected."), QStringLiteral("No USB Drive"), Buttons::Ok,
            Icon::None);
        return {};
    }
    // A drive the platform will not write is said before anything is asked;
    // the want of privileges the writing helper has is no reason. The
    // helper's A: is its own machine's: a floppy image file of this process
    // is not there, so a copy from one is made here (and needs privileges).
    bool fromFloppyImage = Option1[0]->isChecked() && services_.floppyImageInUse;
    bool helper = services_.runWriter && !fromFloppyImage;
    if (QString refused = services_.drives->WriteRefusal(mount);
        !refused.isEmpty() && !(helper && refused == services_.privilegeRefusal)) {
        ShowUnwritable(mount, refused);
        return {};
    }
    QString deviceText = row->data(kColumnMount, Qt::UserRole).toString();
    chosenName_ = deviceText.mid(LettersLength(deviceText)).trimmed();
    Answer answer =
        Ask(QStringLiteral("WARNING: This action will ERASE the selected USB DRIVE and copy new "
                           "data to it.\r\nIf you have not backed up the data on the drive, click "
                           "CANCEL to stop and backup your data."),
            QStringLiteral("USB Drive ERASE Notification"), Buttons::OkCancel, Icon::Stop, 1);
    if (answer == Answer::Cancel) return {};
    // Held from before the engine's first write to the last copied file
    // (by the helper, when it writes).
    QString why;
    if (!helper && !services_.drives->HoldDrive(mount, &why)) {
        ShowUnwritable(mount, why);
        return {};
    }
    struct Release {
        DriveServices* drives;
        QString mount;
        ~Release() {
            if (drives) drives->ReleaseDrive(mount);
        }
    } release{helper ? nullptr : services_.drives, mount};
    if (Option1[1]->isChecked()) return MakeBootableFromImage(mount);
    return MakeBootableFromFloppy(mount);
}

Failure frmUSBBoot::MakeBootableFromImage(const QString& mount) {
    int position = Combo1->currentIndex();
    if (position < 0 || position >= kCatalogCapacity || position >= catalog_.Count())
        return {runtime_error::kSubscriptOutOfRange,
                QStringLiteral("Subscript out of range: no boot image is selected.")};
    const FileImageEntry& entry = catalog_.rows[static_cast<size_t>(position)];
    QString imagesFolder = QDir(services_.programFolder).filePath(QLatin1String(kImagesFolder));
    QString imageFolder = FindEntry(imagesFolder, entry.imageDir);
    // The image folder is looked at before anything else: its agreement
    // lives in it, and a drive erased for an image that is not there would
    // be lost for nothing.
    if (imageFolder.isEmpty() || !QFileInfo(imageFolder).isDir())
        return {runtime_error::kPathNotFound,
                QStringLiteral("Path not found: %1").arg(entry.imageDir)};
    // Nor is a drive erased for an image that could not start it.
    if (!HoldsKernel(imageFolder)) {
        Ask(QStringLiteral("The selected file image has no %1, which the USB drive needs to "
                           "start. Try reinstalling the selected file image. The USB drive was "
                           "not changed.")
                .arg(QLatin1String(kKernelFile)),
            QStringLiteral("Boot Files Not Found"), Buttons::Ok, Icon::Stop);
        return {};
    }
    // Files that cannot go on the drive are told before the agreement is
    // asked for.
    if (!BootFilesUsable(imageFolder, mount, entry.imageName, false)) return {};

    if (!HasNoAgreement(entry)) {
        QString agreementPath = FindEntry(imageFolder, entry.eulaFile);
        if (agreementPath.isEmpty())
            return {runtime_error::kFileNotFound,
                    QStringLiteral("File not found: %1").arg(entry.eulaFile)};
        AgreementText agreement;
        if (Failure failure =
                LoadAgreementText(agreementPath, &agreement, services_.richTextConverter))
            return failure;
        frmLicense license(this);
        license.LoadAgreement(agreement);
        license.exec();
        repaint();
    } else {
        EulaAccepted = true;
    }
    if (!EulaAccepted) return {};

    copyWindow_ = new frmCopyFiles;
    // The engine's own lines (format's prompts among them) go to the
    // standard output only: the window says what is being done.
    copyWindow_->ShowStep(QStringLiteral("Formatting %1 ...").arg(mount));
    copyWindow_->show();
    copyWindow_->repaint();
    int copied = 0;
    if (services_.runWriter) {
        Failure failure;
        if (!WriteInHelper(mount, imageFolder, &copied, &failure)) return failure;
        ShowCopied(mount, copied);
        return {};
    }
    std::optional<DriveFacts> before = ReadDrive(mount);
    int result = 0;
    QString lastLine;
    if (Failure failure = CreateUSBBoot(mount, 0, &result, &lastLine)) {
        CloseCopyWindow();
        return failure;
    }
    repaint();
    if (result != kAtaOk) {
        CloseCopyWindow();
        ShowNotBootable(mount, false, result, lastLine, CompareDrive(mount, before));
        return {};
    }

    if (copyWindow_) copyWindow_->ShowStep(QStringLiteral("Copying files to %1 ...").arg(mount));
    QPointer<frmCopyFiles> window = copyWindow_;
    auto onFile = [window, &copied](const QString& name) {
        ++copied;
        QMetaObject::invokeMethod(
            qApp,
            [window, name] {
                if (window) window->ShowStep(QStringLiteral("Copying %1").arg(name));
            },
            Qt::QueuedConnection);
    };
    Failure copy = services_.worker->Run(
        [&] { return services_.drives->CopyFolderFiles(imageFolder, mount, onFile); });
    if (copy) {
        CloseCopyWindow();
        return copy;
    }
    ShowCopied(mount, copied);
    return {};
}

void frmUSBBoot::ShowCopied(const QString& mount, int copied) {
    if (copyWindow_)
        copyWindow_->ShowSuccess(
            QStringLiteral("Done: USB Drive %1 is now bootable.").arg(mount),
            QStringLiteral("%1 file(s) copied. This window closes in %2 seconds.")
                .arg(copied)
                .arg(kEjectIntervalMs / 1000));
    timerEject->SetEnabled(true);
}

Failure frmUSBBoot::FloppyReady(bool* ready) {
    DriveFacts facts;
    Failure failure = services_.worker->Run(
        [&] { return services_.drives->GetDrive(QLatin1String(kFloppyDrive), &facts); });
    *ready = facts.exists && facts.ready;
    return failure;
}

bool frmUSBBoot::BootFilesUsable(const QString& source, const QString& mount,
                                 const QString& shownName, bool floppy) {
    Failure refused = services_.worker->Run(
        [&] { return services_.drives->CheckBootFiles(source, mount, floppy); });
    if (!refused) return true;
    QString why = refused.description;
    if (!why.isEmpty()) why[0] = why[0].toUpper();
    QString text = floppy ? QStringLiteral(
                                "The floppy in drive A: cannot make USB Drive %1 "
                                "bootable. %2.")
                                .arg(mount, why)
                          : QStringLiteral(
                                "The boot image %1 cannot make USB Drive %2 bootable. "
                                "%3.")
                                .arg(shownName, mount, why);
    Ask(text + QStringLiteral("\r\nNothing was written to the drive."),
        floppy ? QStringLiteral("Floppy Not Usable") : QStringLiteral("Boot Image Not Usable"),
        Buttons::Ok, Icon::Stop);
    return false;
}

Failure frmUSBBoot::MakeBootableFromFloppy(const QString& mount) {
    std::optional<Answer> answer;  // neither OK nor Cancel yet
    DriveFacts floppy;
    if (Failure failure = services_.worker->Run(
            [&] { return services_.drives->GetDrive(QLatin1String(kFloppyDrive), &floppy); }))
        return failure;
    if (!floppy.exists) {
        Ask(QStringLiteral("No Floppy device found at A:. Please attach a floppy device and try "
                           "again."),
            QStringLiteral("No Floppy Device"), Buttons::Ok, Icon::Stop);
        return {};
    }
    for (;;) {
        bool ready = false;
        if (Failure failure = FloppyReady(&ready)) return failure;
        if (ready || answer == Answer::Cancel) break;
        if (Failure failure = FloppyReady(&ready)) return failure;
        if (!ready)
            answer = Ask(QStringLiteral("Insert a floppy into Drive A: and click OK"),
                         QStringLiteral("Insert Floppy"), Buttons::OkCancel, Icon::None);
    }
    if (answer == Answer::Cancel) return {};
    if (!BootFilesUsable(QLatin1String(kFloppyDrive), mount, QString(), true)) return {};
    // A floppy image file of this process is read here (see above).
    if (services_.runWriter && !services_.floppyImageInUse) {
        Failure failure;
        int copied = 0;
        if (!WriteInHelper(mount, QString(), &copied, &failure)) return failure;
    } else {
        std::optional<DriveFacts> before = ReadDrive(mount);
        int result = 0;
        QString lastLine;
        if (Failure failure = CreateUSBBoot(mount, 1, &result, &lastLine)) return failure;
        repaint();
        if (result != kAtaOk) {
            ShowNotBootable(mount, true, result, lastLine, CompareDrive(mount, before));
            return {};
        }
    }
    Ask(QStringLiteral("Done: USB Drive %1 is now bootable. The files of the floppy in A: were "
                       "copied onto it.")
            .arg(mount),
        QStringLiteral("USB Drive Bootable"), Buttons::Ok, Icon::Information);
    if (services_.keepFloppyPaths) return {};
    QStringList said;
    if (Failure failure =
            services_.worker->Run([&] { return services_.drives->PointFloppyPaths(mount, &said); }))
        return failure;
    if (!said.isEmpty())
        Ask(said.join(QStringLiteral("\r\n\r\n")), QStringLiteral("Floppy Paths Pointed at C:"),
            Buttons::Ok, Icon::Information);
    return {};
}

Failure frmUSBBoot::CreateUSBBoot(const QString& mount, int copyFiles, int* result,
                                  QString* lastLine) {
    std::string destination = mount.toLocal8Bit().toStdString();
    std::string last;
    auto onLine = [&last](std::string_view line) { last.assign(line); };
    bool capture = services_.captureEngineOutput;
    EngineResult call = services_.worker->Run([&] {
        std::optional<OutputCapture> output;
        if (capture) output.emplace(onLine);
        return services_.engine->CreateUSBBoot(destination, kFloppyDrive, copyFiles);
    });
    *result = call.value;
    *lastLine = QString::fromLocal8Bit(last.data(), static_cast<qsizetype>(last.size()));
    return call.failure;
}

namespace {
// The system errors of a missing file and folder.
constexpr unsigned long kFileNotFound = 2;
constexpr unsigned long kPathNotFound = 3;
}  // namespace

bool frmUSBBoot::WriteInHelper(const QString& mount, const QString& imageFolder, int* copied,
                               Failure* failure) {
    bool floppy = imageFolder.isEmpty();
    writer::Request request;
    request.destination = mount.toStdString();
    request.name = chosenName_.toStdString();
    request.volume = writer::VolumeNameAt(request.destination);
    request.fromFloppy = floppy;
    if (!floppy) request.image = QFileInfo(imageFolder).fileName().toStdString();
    QPointer<frmCopyFiles> window = copyWindow_;
    writer::Callbacks callbacks;
    // The engine's lines reach this program's output, as they do when the
    // engine runs here.
    callbacks.onLine = [](std::string_view line) {
        std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
        std::fflush(stdout);
    };
    callbacks.onFile = [window, copied](std::string_view file) {
        ++*copied;
        QString name = QString::fromUtf8(file.data(), static_cast<qsizetype>(file.size()));
        QMetaObject::invokeMethod(
            qApp,
            [window, name] {
                if (window) window->ShowStep(QStringLiteral("Copying %1").arg(name));
            },
            Qt::QueuedConnection);
    };
    std::optional<DriveFacts> before = ReadDrive(mount);
    writer::Outcome outcome =
        services_.worker->Run([&] { return services_.runWriter(request, callbacks); });
    repaint();
    if (outcome.kind == writer::OutcomeKind::Done) return true;
    CloseCopyWindow();
    QString reason = QString::fromStdString(outcome.reason);
    switch (outcome.kind) {
        case writer::OutcomeKind::Done:
            break;
        case writer::OutcomeKind::Refused:
        case writer::OutcomeKind::NotAuthorised:
            ShowUnwritable(mount, reason);
            break;
        case writer::OutcomeKind::EngineFailed:
            ShowNotBootable(mount, floppy, outcome.status, QString::fromStdString(outcome.lastLine),
                            CompareDrive(mount, before));
            break;
        case writer::OutcomeKind::CopyFailed:
            // A source gone missing is the image folder's fault, as in
            // CopyFolderFiles.
            *failure = FailureFromSystemError(
                static_cast<uint32_t>(outcome.code),
                outcome.code == kFileNotFound || outcome.code == kPathNotFound
                    ? FailureContext::ImageFolder
                    : FailureContext::Drive,
                reason);
            break;
        case writer::OutcomeKind::Died:
            // Before its first write the drive is as it was, whatever it reads.
            ShowNotBootable(
                mount, floppy, kNoEngineStatus, reason,
                outcome.writing ? CompareDrive(mount, before) : DriveAfterFailure::Unchanged);
            break;
    }
    return false;
}

void frmUSBBoot::CloseCopyWindow() {
    // Not through a close event: those are refused while a worker job runs,
    // and the timer may fire during one.
    if (!copyWindow_) return;
    copyWindow_->hide();
    copyWindow_->deleteLater();
    copyWindow_ = nullptr;
}

void frmUSBBoot::timerEject_Timer() {
    timerEject->SetEnabled(false);
    CloseCopyWindow();
}

}  // namespace larkin::frontend
