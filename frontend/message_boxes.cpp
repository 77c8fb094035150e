#include "message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "larkin/platform.h"

namespace larkin::frontend {

Answer DesktopMessageBoxes::Show(QWidget* owner, const MessageBoxRequest& request) {
    QMessageBox box(owner);
    box.setWindowTitle(request.title);
    box.setText(request.text);
    box.setTextFormat(Qt::PlainText);
    switch (request.icon) {
        case Icon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case Icon::Stop:
            box.setIcon(QMessageBox::Critical);
            break;
        case Icon::Information:
            box.setIcon(QMessageBox::Information);
            break;
    }
    QPushButton* ok = box.addButton(QMessageBox::Ok);
    QPushButton* cancel = nullptr;
    if (request.buttons == Buttons::OkCancel) {
        cancel = box.addButton(QMessageBox::Cancel);
        box.setEscapeButton(cancel);
    } else {
        box.setEscapeButton(ok);
    }
    box.setDefaultButton(request.defaultButton == 1 && cancel != nullptr ? cancel : ok);
    box.exec();
    if (cancel != nullptr && box.clickedButton() != ok) return Answer::Cancel;
    return Answer::Ok;
}

namespace {

MessageBoxes* routedBoxes = nullptr;

int ShowPlatformMessageBox(void* /*context*/, HWND /*owner*/, LPCSTR text, LPCSTR caption,
                           UINT type) {
    MessageBoxRequest request;
    request.text = QString::fromLocal8Bit(text != nullptr ? text : "");
    request.title = QString::fromLocal8Bit(caption != nullptr ? caption : "Error");
    UINT buttons = type & 0x0Fu;
    request.buttons = buttons == MB_OK ? Buttons::Ok : Buttons::OkCancel;
    UINT icon = type & 0xF0u;
    request.icon = icon == MB_ICONERROR         ? Icon::Stop
                   : icon == MB_ICONINFORMATION ? Icon::Information
                                                : Icon::None;
    MessageBoxes* boxes = routedBoxes;
    if (boxes == nullptr || qApp == nullptr) return buttons == MB_OK ? IDOK : IDCANCEL;
    Answer answer = Answer::Ok;
    auto show = [&] { answer = boxes->Show(QApplication::activeWindow(), request); };
    if (QThread::currentThread() == qApp->thread())
        show();
    else
        QMetaObject::invokeMethod(qApp, show, Qt::BlockingQueuedConnection);
    if (buttons == MB_OK) return IDOK;
    // Yes/No style boxes are shown as OK/Cancel; Cancel stands for the
    // cautious answer.
    if (buttons == MB_YESNO) return answer == Answer::Ok ? IDYES : IDNO;
    return answer == Answer::Ok ? IDOK : IDCANCEL;
}

}  // namespace

void RoutePlatformMessageBoxes(MessageBoxes* boxes) {
    routedBoxes = boxes;
    LarkinSetMessageBoxHandler(ShowPlatformMessageBox, nullptr);
}

void RemovePlatformMessageBoxes() {
    LarkinSetMessageBoxHandler(nullptr, nullptr);
    routedBoxes = nullptr;
}

}  // namespace larkin::frontend
