#include "tools/tzcom/pty_line.h"

namespace tzcom {

namespace {

struct Speed {
  speed_t speed;
  comm::DWORD rate;
};

constexpr Speed speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

constexpr tcflag_t lineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

}  // namespace

comm::DWORD baudRateOf(speed_t speed) {
  for (const Speed& s : speeds)
    if (s.speed == speed) return s.rate;
  return 0;
}

void applyTermios(const termios& settings, comm::DCB& dcb) {
  if (comm::DWORD rate = baudRateOf(cfgetospeed(&settings))) dcb.BaudRate = rate;
  const tcflag_t c = settings.c_cflag;
  switch (c & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
  }
  if (!(c & PARENB))
    dcb.Parity = comm::NOPARITY;
  else if (c & CMSPAR)
    dcb.Parity = (c & PARODD) ? comm::MARKPARITY : comm::SPACEPARITY;
  else
    dcb.Parity = (c & PARODD) ? comm::ODDPARITY : comm::EVENPARITY;
  dcb.fParity = dcb.Parity != comm::NOPARITY;
  if (!(c & CSTOPB))
    dcb.StopBits = comm::ONESTOPBIT;
  else
    dcb.StopBits = dcb.ByteSize == 5 ? comm::ONE5STOPBITS : comm::TWOSTOPBITS;
  const bool handshake = c & CRTSCTS;
  dcb.fOutxCtsFlow = handshake;
  dcb.fRtsControl = handshake ? comm::RTS_CONTROL_HANDSHAKE : comm::RTS_CONTROL_ENABLE;
}

bool sameLine(const termios& a, const termios& b) {
  return (a.c_cflag & lineFlags) == (b.c_cflag & lineFlags) && cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace tzcom
