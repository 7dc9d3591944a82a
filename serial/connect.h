#pragma once
// The part of Connect that every front end shares: check the port number, name the
// port and open it with the record's line settings. The caller shows the message, and
// on success does its own part (controls, status line) and starts the link probing.

#include <string>
#include <string_view>

#include "serial/connection.h"
#include "serial/serial_texts.h"
#include "storage/info_file.h"

namespace quorvel {

struct SConnectOutcome {
    bool opened = false;
    std::string_view message;  // empty when opened
};

// Port 0 means no port is known: nothing is opened and m_strPortName keeps its text.
// Otherwise m_strPortName becomes "COM<port>" and the port is opened; a failed open
// leaves the connection closed, and the next call tries again from scratch.
SConnectOutcome ConnectPort(ISerialConnection& connection, const SInfoFileRecord& g_infoFile,
                            int32_t m_nFlowMode, std::string& m_strPortName);

}  // namespace quorvel
