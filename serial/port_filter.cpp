#include "serial/port_filter.h"

namespace quorvel {

void DropBusyAndName(std::vector<SSerInfo>& ports, int skipBusy, const PortOpenTest& canOpen) {
    for (std::size_t i = 0; i < ports.size();) {
        if (skipBusy != 0 && !canOpen(ports[i].devicePath)) {
            // The later records move up, so the same position is examined next.
            ports.erase(ports.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        if (ports[i].friendlyName.empty()) {
            ports[i].friendlyName = ports[i].portName;
        }
        ++i;
    }
}

}  // namespace quorvel
