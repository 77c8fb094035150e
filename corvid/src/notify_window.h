// The hidden window of class "CoreLibrary": it carries the core options as
// they were at load and the address of a procedure that sets them, and
// answers WM_CLOSE and WM_USER with message boxes.
#ifndef CORVID_NOTIFY_WINDOW_H
#define CORVID_NOTIFY_WINDOW_H

#include "win32/windows.h"

namespace corvid {

using SetOptionsProcedure = void(CALLBACK*)(LONG options);

class NotifyWindow {
  public:
    NotifyWindow() = default;
    ~NotifyWindow() { Destroy(); }
    NotifyWindow(const NotifyWindow&) = delete;
    NotifyWindow& operator=(const NotifyWindow&) = delete;

    // Failures are not reported: the library works on without the window.
    void Create(HINSTANCE instance, WORD options, SetOptionsProcedure setOptions);
    // Destroys the window (if WM_CLOSE has not already) and unregisters the
    // class.
    void Destroy();
    // Forgets the window without calling the window layer (process exit).
    void Abandon();

    HWND handle() const { return window_; }

  private:
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    bool made_ = false;
};

}  // namespace corvid

#endif
