#pragma once
// The last step every enumerator shares: drop the ports that cannot be opened (when
// asked to) and give a nameless port its port name to show.

#include <functional>
#include <string>
#include <vector>

#include "serial/port_list.h"

namespace quorvel {

// canOpen opens the device path exclusively and closes it again; false when the port is
// absent, busy or not permitted.
using PortOpenTest = std::function<bool(const std::string& devicePath)>;

void DropBusyAndName(std::vector<SSerInfo>& ports, int skipBusy, const PortOpenTest& canOpen);

}  // namespace quorvel
