// Fuzzing tool (shared by the libFuzzer targets and the seeded runs in the
// test suite): programs of device events and application requests on an open
// port, each run on a fresh simulated kernel with the invariants checked as
// it goes and at its end.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tzfuzz {

// Longest input either target reads; the rest is ignored.
constexpr size_t kMaxPortProgramBytes = 4096;

// The device talks: each input is a program of interrupt-in payloads (any
// bytes, any length to 64, so babble too), well-formed SERIAL_STATE
// notifications, bulk-in blocks, zero-length packets, failed bulk-in
// transfers and a halted bulk-in pipe, mixed with reads (any length and
// time-outs), their cancellation, status queries and the clock moving on.
// Checked: the bytes read, in the order the reads were sent, are exactly the
// bytes the device sent (all of them once the port is drained, unless every
// bulk-in transfer was failed for good), a cancelled read's bytes counted by
// its Information but not compared, since none reach the application; a read ends with no more bytes than
// it asked for; the modem status follows each notification while the status
// pipe lives; every request completes once (the verifier); the close, the
// removal and the unload leave nothing behind. Returns what broke, empty when
// all held. A verifier stop propagates.
std::string runDeviceProgram(std::span<const uint8_t> input);

// The application's side: each input is a program of device-control requests
// (codes from the port's set, near it and anywhere, input and output lengths
// and bytes as the I/O manager buffers them for METHOD_BUFFERED and
// METHOD_NEITHER), writes, reads, purges, device events and clock steps on a
// loopback adapter. Checked: a code outside the set ends with
// STATUS_INVALID_PARAMETER; a buffer below the code's minimum with
// STATUS_BUFFER_TOO_SMALL; no request reports more bytes than its buffer
// holds; every request completes once; once
// the program's requests are cancelled, default settings put back make the
// port carry a loopback round trip again; the close, the removal and the
// unload leave nothing behind. Returns what broke, empty when all held. A
// verifier stop propagates.
std::string runIoctlProgram(std::span<const uint8_t> input);

}  // namespace tzfuzz
