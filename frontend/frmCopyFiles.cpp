#include "frmCopyFiles.h"

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

namespace larkin::frontend {

frmCopyFiles::frmCopyFiles() : QWidget(nullptr) {
    setObjectName(QStringLiteral("frmCopyFiles"));
    setWindowTitle(QStringLiteral("Copying Files..."));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_DeleteOnClose, true);

    Label1 = new QLabel(
        QStringLiteral("Copying files from the Image directory to the USB Device. Please wait..."),
        this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
    lblStep = new QLabel(this);
    lblStep->setObjectName(QStringLiteral("lblStep"));
    lblStep->setAlignment(Qt::AlignCenter);
    lblStep->setTextFormat(Qt::PlainText);
    barBusy = new QProgressBar(this);
    barBusy->setObjectName(QStringLiteral("barBusy"));
    barBusy->setRange(0, 0);
    barBusy->setTextVisible(false);
    barBusy->setFixedHeight(12);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 8);
    layout->setSpacing(4);
    layout->addWidget(Label1);
    layout->addWidget(lblStep);
    layout->addWidget(barBusy);
    // Wide enough for the message; the step line and the bar add height.
    setFixedWidth(qMax(362, Label1->sizeHint().width() + 16));
    setFixedHeight(sizeHint().height());

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void frmCopyFiles::ShowStep(const QString& line) {
    QFontMetrics metrics(lblStep->font());
    lblStep->setText(metrics.elidedText(line, Qt::ElideMiddle, lblStep->width()));
    lblStep->setToolTip(line);
}

void frmCopyFiles::ShowDone() {
    barBusy->setRange(0, 1);
    barBusy->setValue(1);
}

void frmCopyFiles::ShowSuccess(const QString& statement, const QString& detail) {
    Label1->setText(statement);
    ShowStep(detail);
    ShowDone();
}

}  // namespace larkin::frontend
