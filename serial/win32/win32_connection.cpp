#include "serial/win32/win32_connection.h"

#include <process.h>

#include <algorithm>
#include <cstring>

namespace quorvel {

namespace {

HANDLE NewManualResetEvent(bool signalled) {
    return CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr);
}

void CloseIfOpen(HANDLE& h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    h = nullptr;
}

void ClearError(HANDLE port, COMSTAT* stat = nullptr) {
    DWORD errors = 0;
    COMSTAT local{};
    ClearCommError(port, &errors, stat != nullptr ? stat : &local);
}

}  // namespace

void ApplyLineSettings(DCB& dcb, const SLineSettings& line) {
    const int32_t mode = line.flowMode;
    dcb.fBinary = TRUE;
    dcb.BaudRate = static_cast<DWORD>(line.baud);
    dcb.ByteSize = line.byteSize;
    dcb.fParity = TRUE;
    dcb.Parity = line.parity;
    dcb.StopBits = line.stopBits;
    dcb.fOutxCtsFlow = mode == 1 ? TRUE : FALSE;
    dcb.fRtsControl = mode == 1 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = mode == 2 ? TRUE : FALSE;
    dcb.fInX = mode == 2 ? TRUE : FALSE;
    dcb.XonChar = CWin32Connection::kXonChar;
    dcb.XoffChar = CWin32Connection::kXoffChar;
    dcb.XonLim = CWin32Connection::kXonLim;
    dcb.XoffLim = CWin32Connection::kXoffLim;
}

CWin32Connection::CWin32Connection(HWND window, IMessageSink& owner)
    : m_hWnd(window), owner_(owner) {}

CWin32Connection::CWin32Connection(IEventThread& events, CommNotifyHandler onCommNotify,
                                   IMessageSink& owner)
    : events_(&events), onCommNotify_(std::move(onCommNotify)), owner_(owner) {}

CWin32Connection::~CWin32Connection() {
    ClosePort();
    ReleaseEvents();
}

bool CWin32Connection::Open(const std::string& portName, const SLineSettings& line) {
    if (m_bOpen.load() || m_hPort != INVALID_HANDLE_VALUE) {
        return false;
    }
    // The "\\.\" form is the only one that reaches COM10 and above.
    m_strPortName = portName.starts_with("\\\\") ? portName : "\\\\.\\" + portName;
    line_ = line;
    if (!PrepareEvents()) {
        return false;
    }
    return OpenPort();
}

void CWin32Connection::ReleaseEvents() {
    CloseIfOpen(m_hGoAhead);
    CloseIfOpen(m_ovRead.hEvent);
    CloseIfOpen(m_ovWrite.hEvent);
}

bool CWin32Connection::PrepareEvents() {
    // Nothing uses the events of an earlier attempt any more: the port is closed.
    ReleaseEvents();
    m_hGoAhead = NewManualResetEvent(true);
    if (m_hGoAhead == nullptr) {
        return false;
    }
    m_ovRead = OVERLAPPED{};
    m_ovWrite = OVERLAPPED{};
    m_ovRead.hEvent = NewManualResetEvent(false);
    if (m_ovRead.hEvent == nullptr) {
        return false;
    }
    m_ovWrite.hEvent = NewManualResetEvent(false);
    return m_ovWrite.hEvent != nullptr;
}

bool CWin32Connection::OpenPort() {
    m_hPort = CreateFileA(m_strPortName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (m_hPort == INVALID_HANDLE_VALUE) {
        return false;
    }
    SetupComm(m_hPort, kQueueSize, kQueueSize);
    SetCommMask(m_hPort, EV_RXCHAR);
    COMMTIMEOUTS timeOuts = kTimeOuts;
    SetCommTimeouts(m_hPort, &timeOuts);

    auto fail = [this] {
        CloseHandle(m_hPort);
        m_hPort = INVALID_HANDLE_VALUE;
        return false;
    };
    if (!ConfigurePort()) {
        return fail();
    }

    abandon_ = false;
    writeInFlight_ = false;
    uintptr_t thread =
        _beginthreadex(nullptr, 0, &CWin32Connection::ThreadEntry, this, CREATE_SUSPENDED, nullptr);
    if (thread == 0) {
        return fail();
    }
    m_pReaderThread = reinterpret_cast<HANDLE>(thread);
    // The thread's first look at m_bOpen must find it set.
    m_bOpen = true;
    ResumeThread(m_pReaderThread);
    return true;
}

bool CWin32Connection::ConfigurePort() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_hPort, &dcb)) {
        return false;
    }
    ApplyLineSettings(dcb, line_);
    return SetCommState(m_hPort, &dcb) != FALSE;
}

unsigned __stdcall CWin32Connection::ThreadEntry(void* self) {
    static_cast<CWin32Connection*>(self)->ReaderThreadProc();
    return 0;
}

void CWin32Connection::ReaderThreadProc() {
    OVERLAPPED os{};
    os.hEvent = NewManualResetEvent(false);
    if (os.hEvent == nullptr) {
        owner_.ShowMessage(kCantCreateEventText, MessageStyle::kError);
        return;
    }
    while (m_bOpen.load()) {
        COMSTAT stat{};
        ClearError(m_hPort, &stat);
        if (stat.cbInQue > 0) {
            WaitForSingleObject(m_hGoAhead, INFINITE);
            ResetEvent(m_hGoAhead);
            Notify(stat.cbInQue);
            continue;
        }
        DWORD eventMask = 0;
        if (WaitCommEvent(m_hPort, &eventMask, &os)) {
            continue;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        // Ends with a received character, or when ClosePort clears the event mask.
        DWORD unused = 0;
        GetOverlappedResult(m_hPort, &os, &unused, TRUE);
    }
    CloseHandle(os.hEvent);
}

void CWin32Connection::Notify(DWORD count) {
    notifyInFlight_ = true;
    if (events_ == nullptr) {
        SendMessageA(m_hWnd, kWmCommNotify, 1, static_cast<LPARAM>(count));
    } else {
        const bool ran = events_->SendSync(
            [this, count] {
                struct SGoAhead {
                    CWin32Connection* c;
                    ~SGoAhead() { c->SetGoAhead(); }
                } goAhead{this};
                onCommNotify_(1, count);
            },
            abandon_);
        if (!ran) {
            SetGoAhead();
        }
    }
    notifyInFlight_ = false;
}

void CWin32Connection::SetGoAhead() {
    if (m_hGoAhead != nullptr) {
        SetEvent(m_hGoAhead);
    }
}

bool CWin32Connection::ReaderRunning() const {
    return m_pReaderThread != nullptr && WaitForSingleObject(m_pReaderThread, 0) == WAIT_TIMEOUT;
}

std::size_t CWin32Connection::ReadComm(std::span<uint8_t> buf) {
    if (m_hPort == INVALID_HANDLE_VALUE || buf.empty()) {
        return 0;
    }
    ClearError(m_hPort);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buf.size(), MAXDWORD));
    DWORD got = 0;
    if (ReadFile(m_hPort, buf.data(), want, &got, &m_ovRead)) {
        return got;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        owner_.ShowMessage(kReadTimeoutText, MessageStyle::kError);
        return 0;
    }
    for (DWORD wait : {kReadPendingWaitMs, kReadExtraWaitMs}) {
        if (WaitForSingleObject(m_ovRead.hEvent, wait) == WAIT_OBJECT_0) {
            GetOverlappedResult(m_hPort, &m_ovRead, &got, FALSE);
            ResetEvent(m_ovRead.hEvent);
            return got;
        }
    }
    // Still pending: the read must be over before the caller's buffer goes away.
    CancelIoEx(m_hPort, &m_ovRead);
    got = 0;
    GetOverlappedResult(m_hPort, &m_ovRead, &got, TRUE);
    ResetEvent(m_ovRead.hEvent);
    if (got == 0) {
        owner_.ShowMessage(kReadTimeoutText, MessageStyle::kError);
    }
    return got;
}

void CWin32Connection::FinishWriteInFlight() {
    if (!writeInFlight_) {
        return;
    }
    CancelIoEx(m_hPort, &m_ovWrite);
    DWORD unused = 0;
    GetOverlappedResult(m_hPort, &m_ovWrite, &unused, TRUE);
    ResetEvent(m_ovWrite.hEvent);
    writeInFlight_ = false;
}

std::size_t CWin32Connection::WriteComm(std::span<const uint8_t> bytes) {
    if (m_hPort == INVALID_HANDLE_VALUE) {
        return 0;
    }
    std::size_t total = 0;
    while (total < bytes.size()) {
        const std::size_t n = std::min(bytes.size() - total, kLocalBufSize);
        const std::size_t written = WriteChunk(bytes.data() + total, n);
        if (written == 0) {
            return 0;
        }
        total += written;
    }
    return total;
}

std::size_t CWin32Connection::WriteChunk(const uint8_t* bytes, std::size_t n) {
    // The buffer and the completion record must be free before they are used again.
    FinishWriteInFlight();
    std::memcpy(localBuf_.data(), bytes, n);
    ClearError(m_hPort);
    DWORD written = 0;
    if (WriteFile(m_hPort, localBuf_.data(), static_cast<DWORD>(n), &written, &m_ovWrite)) {
        return written;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    if (WaitForSingleObject(m_ovWrite.hEvent, kWriteWaitMs) == WAIT_OBJECT_0) {
        GetOverlappedResult(m_hPort, &m_ovWrite, &written, FALSE);
        ResetEvent(m_ovWrite.hEvent);
        return written;
    }
    writeInFlight_ = true;
    owner_.ShowMessage(kWriteTimeoutText, MessageStyle::kError);
    return 0;
}

void CWin32Connection::WaitForReader() {
    HANDLE thread = m_pReaderThread;
    for (;;) {
        // Called from inside the reader's own notification: release the reader first,
        // it cannot see m_bOpen cleared while it waits for this very handler.
        if (notifyInFlight_.load() && InSendMessage()) {
            ReplyMessage(0);
        }
        DWORD r =
            MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0) {
            return;
        }
        if (r == WAIT_OBJECT_0 + 1) {
            // Dispatches the messages sent to this thread, the notification among them.
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        WaitForSingleObject(thread, INFINITE);
        return;
    }
}

void CWin32Connection::ClosePort() {
    if (m_pReaderThread == nullptr && m_hPort == INVALID_HANDLE_VALUE) {
        return;
    }
    m_bOpen = false;
    abandon_ = true;
    SetGoAhead();
    if (m_hPort != INVALID_HANDLE_VALUE) {
        SetCommMask(m_hPort, 0);
    }
    if (m_pReaderThread != nullptr) {
        WaitForReader();
        CloseHandle(m_pReaderThread);
        m_pReaderThread = nullptr;
    }
    // The handle goes only after the thread that uses it has ended.
    if (m_hPort != INVALID_HANDLE_VALUE) {
        FinishWriteInFlight();
        CloseHandle(m_hPort);
        m_hPort = INVALID_HANDLE_VALUE;
    }
}

}  // namespace quorvel
