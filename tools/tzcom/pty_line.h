// The line settings a program sets on the pty's slave (tcsetattr), as the
// port's DCB: baud rate, data bits, parity, stop bits and RTS/CTS handshake.
#pragma once

#include "tools/comm/comm.h"

#include <termios.h>

namespace tzcom {

// The rate a termios speed stands for; 0 for B0 and for speeds not in the
// table (then the port keeps its rate).
comm::DWORD baudRateOf(speed_t speed);

// Writes the slave's settings into dcb, leaving every other field as it is.
// Five data bits with CSTOPB become 1.5 stop bits, as on a UART.
void applyTermios(const termios& settings, comm::DCB& dcb);

// Whether two termios records differ in anything applyTermios reads.
bool sameLine(const termios& a, const termios& b);

}  // namespace tzcom
