#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "cli/platform.h"
#include "serial/port_list.h"
#include "serial/win32/port_enum_win.h"
#include "serial/win32/win32_connection.h"
#include "serial/win32/win32_port_api.h"

namespace quorvel::cli {

PortSyntax NativePortSyntax() {
    return PortSyntax::kComOnly;
}

SPortConnection MakePortConnection(IEventThread& events, CommNotifyHandler onCommNotify,
                                   IMessageSink& owner, const SPortChoice& port) {
    SPortConnection r;
    r.number = port.number;
    r.where = "COM" + std::to_string(port.number);
    r.connection = std::make_unique<CWin32Connection>(events, std::move(onCommNotify), owner);
    return r;
}

std::vector<SPortEntry> ListPorts(IMessageSink& /*sink*/) {
    CWin32PortApi api;
    CWinPortEnumerator enumerator(api);
    SPortList list;
    BuildPortList(enumerator, list);
    std::vector<SPortEntry> entries;
    for (int32_t i = 0; i < list.g_portCount; ++i) {
        const std::string& name = list.g_portNames[static_cast<std::size_t>(i)];
        const int32_t number = PortNumberFromEntry(name).value_or(0);
        // The connection opens COMn as this device.
        entries.push_back({number, number > 0 ? "\\\\.\\COM" + std::to_string(number) : "", name});
    }
    return entries;
}

CTerminalSetup::CTerminalSetup(bool forStderr) {
    if (!forStderr)
        return;
    // The program's texts are UTF-8 (ellipses, full-width punctuation).
    if (const UINT cp = GetConsoleOutputCP();
        cp != 0 && cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        saved_.codePage = cp;
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || err == nullptr || !GetConsoleMode(err, &mode))
        return;
    // A console that cannot take the escape sequences gets plain lines.
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        terminal_ = true;
    } else if (SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        saved_.mode = mode;
        saved_.modeChanged = true;
        terminal_ = true;
    }
}

CTerminalSetup::~CTerminalSetup() {
    if (saved_.modeChanged)
        SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), saved_.mode);
    if (saved_.codePage != 0)
        SetConsoleOutputCP(saved_.codePage);
}

bool LocalTime(std::time_t t, std::tm& local) {
    return localtime_s(&local, &t) == 0;
}

std::filesystem::path ExecutableDir() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            break;
        if (n < path.size()) {
            path.resize(n);
            return std::filesystem::path(path).parent_path();
        }
        path.resize(path.size() * 2);
    }
    std::error_code ec;
    return std::filesystem::current_path(ec);
}

}  // namespace quorvel::cli
