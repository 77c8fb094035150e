// Every message box of the program goes through MessageBoxes, so that tests
// can read and answer them.
#ifndef LARKIN_FRONTEND_MESSAGE_BOXES_H
#define LARKIN_FRONTEND_MESSAGE_BOXES_H

#include <QString>

class QWidget;

namespace larkin::frontend {

enum class Buttons { Ok, OkCancel };
enum class Icon { None, Stop, Information };
enum class Answer { Ok, Cancel };

struct MessageBoxRequest {
    QString text;
    QString title;
    Buttons buttons = Buttons::Ok;
    Icon icon = Icon::None;
    // 0: the first button is the default; 1: the second (Cancel).
    int defaultButton = 0;
};

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // Shows the box modally over owner (may be null) and returns the button
    // pressed. Closing the box answers Cancel when it has one, else OK.
    virtual Answer Show(QWidget* owner, const MessageBoxRequest& request) = 0;
};

// Message boxes of the desktop.
class DesktopMessageBoxes : public MessageBoxes {
  public:
    Answer Show(QWidget* owner, const MessageBoxRequest& request) override;
};

// Routes the platform's MessageBoxA (which the libraries may call, from any
// thread) to boxes, shown on the window thread. Removed again by
// RemovePlatformMessageBoxes.
void RoutePlatformMessageBoxes(MessageBoxes* boxes);
void RemovePlatformMessageBoxes();

}  // namespace larkin::frontend

#endif
