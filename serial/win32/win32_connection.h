#pragma once
// The serial connection on a Windows COM port: overlapped I/O and a reader thread that
// announces received bytes.
//
// The reader thread waits for received characters (EV_RXCHAR); when bytes are waiting it
// waits for the go-ahead event, resets it and hands the count to the event thread,
// synchronously, in one of two ways:
//
// - to a window: SendMessageA(window, WM_COMMNOTIFY, 1, count). The window's handler
//   must call SetGoAhead() on every path before it returns (CCommNotifyWindow does that
//   for hosts without a window of their own);
// - to an IEventThread with a CommNotifyHandler (an event loop that is not a Windows
//   message loop, such as CEventLoop): the connection sets the go-ahead itself once the
//   handler has returned, on every path.
//
// Either way at most one notification is in flight and the handler runs on the event
// thread only, so the link's state needs no lock.
//
// Choices where the platform leaves room:
// - Ports are opened as "\\.\COMn", so COM10 and above open as well as COM1 to COM9.
// - A read still pending after its 400 ms wait gets 500 ms more. A read that completes
//   within either wait returns the bytes it delivered (they are in the caller's buffer;
//   dropping them would lose them). One still pending after that is cancelled and
//   waited for, so that it cannot write into the caller's buffer after ReadComm has
//   returned; the bytes it delivered before the cancellation are returned, and when
//   there are none, "Read timeout!" is shown and 0 returned. (The reader announces
//   only bytes already waiting, so a pending read is the exception.)
// - A write that timed out ("Write timeout!") stays in flight. The next write cancels
//   it and waits for the cancellation before it reuses the write buffer and the
//   completion record: the caller has already been told that those bytes failed, and
//   waiting for them instead could block the event thread for the port's write time-out
//   again.
// - ClosePort on the event thread while the reader thread is blocked in its
//   notification to that same thread: while waiting for the reader thread, ClosePort
//   keeps dispatching messages sent to its thread (MsgWaitForMultipleObjectsEx with
//   QS_SENDMESSAGE), so the notification is handled (the connection is closed by then,
//   so the handler reads nothing) and the reader thread can end. Called from inside the
//   notification's own handler, it first replies to the notification (ReplyMessage) so
//   that the reader is released. In the IEventThread mode the pending call is abandoned
//   instead.
// - The destructor closes the port (ending the reader thread) and releases the events.
//   PrepareEvents releases the events of an earlier attempt before it creates new ones.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "serial/connection.h"
#include "storage/message_sink.h"

namespace quorvel {

inline constexpr UINT kWmCommNotify = 0x0044;  // WM_COMMNOTIFY

// The line settings ConfigurePort writes: only these fields of the driver's DCB change.
void ApplyLineSettings(DCB& dcb, const SLineSettings& line);

class CWin32Connection : public ISerialConnection {
  public:
    static constexpr std::string_view kReadTimeoutText = "Read timeout!";
    static constexpr std::string_view kWriteTimeoutText = "Write timeout!";
    static constexpr std::string_view kCantCreateEventText = "Can't create event object!";

    static constexpr DWORD kQueueSize = 1024;
    static constexpr DWORD kReadPendingWaitMs = 400;
    static constexpr DWORD kReadExtraWaitMs = 500;
    static constexpr DWORD kWriteWaitMs = 2000;
    static constexpr std::size_t kLocalBufSize = 1280;
    static constexpr COMMTIMEOUTS kTimeOuts = {2000, 2000, 3000, 2000, 2000};
    static constexpr char kXonChar = 17;
    static constexpr char kXoffChar = 19;
    static constexpr WORD kXonLim = 50;
    static constexpr WORD kXoffLim = 50;

    // Notifications as WM_COMMNOTIFY to `window`; messages to `owner` (the reader
    // thread's "Can't create event object!" comes from the reader thread).
    CWin32Connection(HWND window, IMessageSink& owner);
    // Notifications through `events`; the handler runs on the event thread.
    CWin32Connection(IEventThread& events, CommNotifyHandler onCommNotify, IMessageSink& owner);
    ~CWin32Connection() override;
    CWin32Connection(const CWin32Connection&) = delete;
    CWin32Connection& operator=(const CWin32Connection&) = delete;

    // PrepareEvents, then OpenPort on "\\.\" + portName (a name that already starts with
    // "\\" is opened as it is). False when already open.
    bool Open(const std::string& portName, const SLineSettings& line) override;
    bool IsOpen() const override { return m_bOpen.load(); }
    std::size_t ReadComm(std::span<uint8_t> buf) override;
    // Bytes beyond the 1280 of the write buffer go out in further writes of the same call.
    std::size_t WriteComm(std::span<const uint8_t> bytes) override;
    // Safe when nothing is open, twice, and after the reader thread has ended on its own.
    // Call it on the thread that owns the notification window.
    void ClosePort() override;

    // The receive handler's obligation (window mode): lets the reader thread announce
    // the next bytes.
    void SetGoAhead();

    // The steps of Open, public for the window that runs them one by one.
    bool PrepareEvents();
    bool OpenPort();
    bool ConfigurePort();

    // The open port, for reading its settings back; INVALID_HANDLE_VALUE when closed.
    HANDLE PortHandle() const { return m_hPort; }
    // Whether the reader thread is still running.
    bool ReaderRunning() const;
    // Whether the reader thread is inside its synchronous notification.
    bool NotificationInFlight() const { return notifyInFlight_.load(); }

  private:
    static unsigned __stdcall ThreadEntry(void* self);
    void ReaderThreadProc();
    void Notify(DWORD count);
    void WaitForReader();
    void FinishWriteInFlight();
    void ReleaseEvents();
    std::size_t WriteChunk(const uint8_t* bytes, std::size_t n);

    HWND m_hWnd = nullptr;
    IEventThread* events_ = nullptr;
    CommNotifyHandler onCommNotify_;
    IMessageSink& owner_;

    std::string m_strPortName;
    SLineSettings line_;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    std::atomic<bool> m_bOpen{false};
    std::atomic<bool> abandon_{false};
    std::atomic<bool> notifyInFlight_{false};
    HANDLE m_pReaderThread = nullptr;
    HANDLE m_hGoAhead = nullptr;
    OVERLAPPED m_ovRead{};
    OVERLAPPED m_ovWrite{};
    bool writeInFlight_ = false;
    std::array<uint8_t, kLocalBufSize> localBuf_{};
};

}  // namespace quorvel
