#pragma once
// For hosts without a window of their own (the command-line tool on Windows, tests): a
// message-only window that receives the connection's WM_COMMNOTIFY and calls a
// CommNotifyHandler on the thread that created it, then sets the connection's go-ahead
// on every path; and a message pump to run meanwhile.
//
// A handler that throws: the exception cannot travel through the window procedure, so
// it is kept and rethrown by the next PumpMessagesUntil on that thread (after the
// go-ahead has been set).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <functional>

#include "serial/connection.h"

namespace quorvel {

class CWin32Connection;

class CCommNotifyWindow {
  public:
    // Creates the window on the calling thread; throws std::runtime_error when it cannot.
    explicit CCommNotifyWindow(CommNotifyHandler handler);
    ~CCommNotifyWindow();
    CCommNotifyWindow(const CCommNotifyWindow&) = delete;
    CCommNotifyWindow& operator=(const CCommNotifyWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    // The connection whose go-ahead is set after each notification; null for none.
    void SetConnection(CWin32Connection* connection) { connection_ = connection; }

  private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    CommNotifyHandler handler_;
    CWin32Connection* connection_ = nullptr;
    HWND hwnd_ = nullptr;
};

// Dispatches the calling thread's messages, sent and posted, until done() holds or
// timeoutMs has passed; returns done()'s last value. done() is tested after every
// dispatched message and before every wait.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Dispatches the calling thread's messages for about ms milliseconds.
void PumpMessagesFor(DWORD ms);

}  // namespace quorvel
