// The copy window: shown while the drive is made bootable and the image's
// files are copied; it shows the step under way and a busy bar.
#ifndef LARKIN_FRONTEND_FRMCOPYFILES_H
#define LARKIN_FRONTEND_FRMCOPYFILES_H

#include <QWidget>

class QLabel;
class QProgressBar;

namespace larkin::frontend {

class frmCopyFiles : public QWidget {
    Q_OBJECT
  public:
    frmCopyFiles();

    // Shows line (an engine line, or the file being copied) under Label1.
    void ShowStep(const QString& line);
    // Stops the busy bar once the work is done.
    void ShowDone();
    // The end of a run that worked: statement in place of the message, detail
    // as the step, the bar stopped.
    void ShowSuccess(const QString& statement, const QString& detail);

    QLabel* Label1 = nullptr;
    QLabel* lblStep = nullptr;
    QProgressBar* barBusy = nullptr;
};

}  // namespace larkin::frontend

#endif
