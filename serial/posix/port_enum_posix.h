#pragma once
// The serial ports of a POSIX machine, as list entries ending in "(COMn)".
//
// Real devices come from udev: every tty with a parent device (virtual consoles and
// pseudo-terminals have none), named after the USB product for USB adapters,
// "Communications Port" for on-board ttyS ports. ttyS nodes that the serial core knows
// but no UART answers (type 0, PORT_UNKNOWN) are skipped. The user's port table adds
// any other device it names (a pty served by esc-sim, say) under its path. A device
// without a COM number (see port_map.h) is left out: it could not be opened by number.
// Entries come in the order of their numbers.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_filter.h"
#include "serial/port_list.h"
#include "serial/posix/port_map.h"

namespace quorvel {

// What the enumeration needs to know of one tty device.
struct STtyDevice {
    std::string devnode;            // "/dev/ttyUSB0"
    std::string sysname;            // "ttyUSB0"
    bool usb = false;               // below a USB device
    std::string usbProduct;         // the USB device's "product" string
    std::string modelFromDatabase;  // udev ID_MODEL_FROM_DATABASE
    std::string model;              // udev ID_MODEL (spaces written as '_')
    std::optional<int> uartType;    // serial core "type"; 0 is PORT_UNKNOWN
};

using TtyLister = std::function<std::vector<STtyDevice>()>;

// The tty devices with a parent device, through libudev. Throws PortEnumError when udev
// cannot be asked.
std::vector<STtyDevice> ListTtyDevicesUdev();

// Opens the device as Connect would (read/write, exclusive) and closes it again.
bool CanOpenExclusive(const std::string& devicePath);

// "CP2102 USB to UART Bridge Controller (COM20)" and the like.
std::string FriendlyNameFor(const STtyDevice& device, int32_t number);

class CPosixPortEnumerator : public IPortEnumerator {
  public:
    // The map must outlive the enumerator (the connection resolves through the same one).
    explicit CPosixPortEnumerator(const CPortMap& portMap, TtyLister lister = ListTtyDevicesUdev,
                                  PortOpenTest canOpen = CanOpenExclusive);

    void ListSerialPorts(std::vector<SSerInfo>& ports, int skipBusy) override;

  private:
    const CPortMap& portMap_;
    TtyLister lister_;
    PortOpenTest canOpen_;
};

}  // namespace quorvel
