#pragma once
// The Windows port enumeration: three strategies chosen by the Windows version
// (SetupAPI on 2000 and later, fixed COM names on NT 4, the Enum registry tree on 9x),
// then the open test that drops busy ports. Written against IWinPortApi so that every
// path, including the failures, is tested without Windows.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/port_list.h"
#include "serial/win32/win_port_api.h"

namespace quorvel {

// Buffer sizes the calls are made with.
inline constexpr std::size_t kDetailBufferSize = 261;
// The detail record's size field: the fixed part of SP_DEVICE_INTERFACE_DETAIL_DATA_A
// in its 32-bit layout (a 32-bit size and one character). CWin32PortApi maps it to the
// running platform's value.
inline constexpr uint32_t kDetailSizeField = 5;
inline constexpr std::size_t kPropertyBufferSize = 256;
inline constexpr std::size_t kRegistryBufferSize = 128;
// The fixed names of the NT 4 strategy: COM1 to COM16.
inline constexpr int kNt4LastPort = 16;

// "prefix (err=code)" with the code in lower-case hexadecimal, no "0x".
std::string WinErrorText(const char* prefix, uint32_t code);

class CWinPortEnumerator : public IPortEnumerator {
  public:
    explicit CWinPortEnumerator(IWinPortApi& api) : api_(api) {}

    // Empties `ports`, fills it by the strategy the version query selects, then (with
    // skipBusy nonzero) drops what cannot be opened; an empty friendly name takes the
    // port name. Throws PortEnumError.
    void ListSerialPorts(std::vector<SSerInfo>& ports, int skipBusy) override;

    // The strategies; each appends.
    void EnumPortsSetupApi(std::vector<SSerInfo>& ports);
    void EnumPortsNt4(std::vector<SSerInfo>& ports);
    void EnumPortsRegistry(std::vector<SSerInfo>& ports);
    // One device key of the registry strategy: its instance keys that name a port.
    void ScanPortKey(WinHandle deviceKey, std::vector<SSerInfo>& ports);

  private:
    IWinPortApi& api_;
};

}  // namespace quorvel
