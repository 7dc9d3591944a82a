#include "serial/win32/comm_notify_window.h"

#include <exception>
#include <stdexcept>

#include "serial/win32/win32_connection.h"

namespace quorvel {

namespace {

constexpr const char* kClassName = "QuorvelCommNotify";

// A handler's exception, waiting for the pump of its thread.
thread_local std::exception_ptr t_pending;

void RethrowPending() {
    if (t_pending) {
        std::exception_ptr e = t_pending;
        t_pending = nullptr;
        std::rethrow_exception(e);
    }
}

}  // namespace

CCommNotifyWindow::CCommNotifyWindow(CommNotifyHandler handler) : handler_(std::move(handler)) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    if (!GetClassInfoExA(instance, kClassName, &wc)) {
        wc = WNDCLASSEXA{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &CCommNotifyWindow::WndProc;
        wc.hInstance = instance;
        wc.lpszClassName = kClassName;
        if (RegisterClassExA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            throw std::runtime_error("cannot register the notification window class");
        }
    }
    hwnd_ =
        CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (hwnd_ == nullptr) {
        throw std::runtime_error("cannot create the notification window");
    }
}

CCommNotifyWindow::~CCommNotifyWindow() {
    if (hwnd_ != nullptr) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

LRESULT CALLBACK CCommNotifyWindow::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<CCommNotifyWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (msg != kWmCommNotify || self == nullptr) {
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    try {
        if (self->handler_) {
            self->handler_(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
        }
    } catch (...) {
        t_pending = std::current_exception();
    }
    if (self->connection_ != nullptr) {
        self->connection_->SetGoAhead();
    }
    return 0;
}

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        // Messages sent from other threads are dispatched inside PeekMessage.
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            RethrowPending();
            if (done()) {
                return true;
            }
        }
        RethrowPending();
        if (done()) {
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

void PumpMessagesFor(DWORD ms) {
    PumpMessagesUntil([] { return false; }, ms);
}

}  // namespace quorvel
