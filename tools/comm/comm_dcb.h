// The DCB and the four serial records it stands for (tool side): the
// translation both ways, as the platform's user-mode library makes it, and
// the checks that refuse a DCB before any request.
#pragma once

#include "tools/comm/comm.h"

#include <ntddser.h>

namespace comm {

// The port's settings as the driver keeps them.
struct LineSettings {
  SERIAL_BAUD_RATE baudRate{};
  SERIAL_LINE_CONTROL lineControl{};
  SERIAL_CHARS chars{};
  SERIAL_HANDFLOW handFlow{};
};

// Whether the platform accepts the DCB at all (before any request).
bool DcbIsValid(const DCB& dcb);
DCB DcbFrom(const LineSettings& settings);
// The settings a DCB asks for; what the DCB cannot say (the break character)
// is kept from current.
LineSettings SettingsFrom(const DCB& dcb, const LineSettings& current);

}  // namespace comm
