#include "frmLicense.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "agreement_text.h"

namespace larkin::frontend {

frmLicense::frmLicense(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("frmLicense"));
    setWindowTitle(QStringLiteral("License Agreement"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMaximizeButtonHint);
    setAttribute(Qt::WA_DeleteOnClose, false);
    resize(585, 463);

    Label1 = new QLabel(QStringLiteral("Norvale End Users License Agreement"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setAlignment(Qt::AlignCenter);
    QFont heading = Label1->font();
    heading.setPointSize(12);
    Label1->setFont(heading);

    RichTextBox1 = new QTextBrowser(this);
    RichTextBox1->setObjectName(QStringLiteral("RichTextBox1"));
    RichTextBox1->setReadOnly(true);
    RichTextBox1->setOpenLinks(false);
    RichTextBox1->setOpenExternalLinks(false);

    Command1 = new QPushButton(QStringLiteral("Accept"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setAutoDefault(false);
    Command2 = new QPushButton(QStringLiteral("Do No Accept"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Command1);
    buttons->addStretch(1);
    buttons->addWidget(Command2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(Label1);
    layout->addWidget(RichTextBox1, 1);
    layout->addLayout(buttons);

    setTabOrder(Command1, Command2);
    setTabOrder(Command2, RichTextBox1);
    Command1->setFocus();

    connect(Command1, &QPushButton::clicked, this, &frmLicense::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmLicense::Command2_Click);
}

void frmLicense::LoadAgreement(const AgreementText& text) {
    if (text.isHtml)
        RichTextBox1->setHtml(text.text);
    else
        RichTextBox1->setPlainText(text.text);
}

void frmLicense::Command1_Click() {
    EulaAccepted = true;
    close();
}

void frmLicense::Command2_Click() {
    EulaAccepted = false;
    close();
}

}  // namespace larkin::frontend
