#include "serial/connect.h"

namespace quorvel {

SConnectOutcome ConnectPort(ISerialConnection& connection, const SInfoFileRecord& g_infoFile,
                            int32_t m_nFlowMode, std::string& m_strPortName) {
    if (g_infoFile.port == 0) {
        return {false, kNoSerialPortText};
    }
    m_strPortName = "COM" + std::to_string(g_infoFile.port);
    if (!connection.Open(m_strPortName, LineSettingsFrom(g_infoFile, m_nFlowMode))) {
        return {false, kCantOpenConnectionText};
    }
    return {true, {}};
}

}  // namespace quorvel
