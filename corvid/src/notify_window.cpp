#include "notify_window.h"

#include "corvid/corvid.h"
#include "larkin/guarded.h"

namespace corvid {

namespace {

// CS_VREDRAW | CS_HREDRAW and bit 0x2000, the value the class has always
// been registered with.
constexpr UINT kClassStyle = 0x2003;
constexpr int kExtraBytes = 32;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return larkin::Guarded(LRESULT{0}, [&]() -> LRESULT {
        switch (message) {
            case WM_CLOSE:
                // The box comes first: the window goes only once it is dismissed.
                MessageBoxA(nullptr, "Window Closeing", CORVID_WINDOW_CLASS, MB_OK);
                DestroyWindow(window);
                return 0;
            case WM_USER:
                MessageBoxA(nullptr, "We Got IT", CORVID_WINDOW_CLASS, MB_OK);
                return 0;
            default:
                return DefWindowProcA(window, message, wParam, lParam);
        }
    });
}

}  // namespace

void NotifyWindow::Create(HINSTANCE instance, WORD options, SetOptionsProcedure setOptions) {
    instance_ = instance;
    made_ = true;
    WNDCLASSA windowClass{};
    windowClass.style = kClassStyle;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.cbWndExtra = kExtraBytes;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = CORVID_WINDOW_CLASS;
    // A failed registration shows as a failed creation below.
    RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, CORVID_WINDOW_CLASS, "", WS_BORDER, 0, 0, 100, 100, nullptr,
                              nullptr, instance, nullptr);
    if (window_ == nullptr) return;
    ShowWindow(window_, SW_HIDE);
    SetWindowLongA(window_, CORVID_WINDOW_OPTIONS, static_cast<LONG>(options));
    // Pointers are eight bytes here, so the address needs the pointer-sized
    // store; it still starts at offset 4.
    SetWindowLongPtrA(window_, CORVID_WINDOW_SET_OPTIONS, reinterpret_cast<LONG_PTR>(setOptions));
}

void NotifyWindow::Destroy() {
    if (!made_) return;
    made_ = false;
    if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
    window_ = nullptr;
    UnregisterClassA(CORVID_WINDOW_CLASS, instance_);
}

void NotifyWindow::Abandon() {
    made_ = false;
    window_ = nullptr;
}

}  // namespace corvid
