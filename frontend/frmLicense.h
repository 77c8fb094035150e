// The agreement window: the image's end-user agreement with Accept and
// Do No Accept.
#ifndef LARKIN_FRONTEND_FRMLICENSE_H
#define LARKIN_FRONTEND_FRMLICENSE_H

#include <QDialog>

class QLabel;
class QPushButton;
class QTextBrowser;

namespace larkin::frontend {

struct AgreementText;

// Whether the user accepted the last agreement shown: the command clears it
// before it starts, the agreement window's buttons set it. Window thread only.
inline bool EulaAccepted = false;

class frmLicense : public QDialog {
    Q_OBJECT
  public:
    explicit frmLicense(QWidget* owner);

    void LoadAgreement(const AgreementText& text);

    QLabel* Label1 = nullptr;
    QTextBrowser* RichTextBox1 = nullptr;
    QPushButton* Command1 = nullptr;  // Accept
    QPushButton* Command2 = nullptr;  // Do No Accept

    void Command1_Click();
    void Command2_Click();
};

}  // namespace larkin::frontend

#endif
