// Fuzzing tool (shared by the libFuzzer target and the seeded run in the test
// suite): a client's byte stream through the RFC 2217 server's input side,
// the telnet parser, the option negotiation and the COM-PORT-OPTION commands,
// carried out on an open port of a loopback adapter in a fresh simulated
// kernel, with no socket and no threads.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tzfuzz {

constexpr size_t kMaxClientStreamBytes = 4096;

// Feeds the input as what a client sent, cut into pieces of varying length
// as recv() might return them. Data goes to the port as the session's writer
// would write it; negotiations and commands are answered as the session
// answers them. Checked: every negotiation answer is one well-formed telnet
// option command for the option asked about; every command reply carries the
// server's code for the command and, for the line settings, the value the
// port really has; notifications are well-formed; after the stream, with the
// line made transparent again, the port carries a loopback round trip; the
// close, the removal and the unload leave nothing behind. Returns what broke,
// empty when all held. A verifier stop propagates.
std::string runClientStream(std::span<const uint8_t> input);

}  // namespace tzfuzz
