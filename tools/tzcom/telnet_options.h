// Telnet option negotiation for one connection (RFC 854's rules, with the
// states of RFC 1143 so that neither side loops): each option has a state on
// our side (WILL/WONT) and on the client's (DO/DONT). The server offers its
// options once; a request for a supported option is agreed to, any other is
// refused, and a reply to our own offer is not answered again.
#pragma once

#include "tools/tzcom/telnet_codec.h"

#include <array>
#include <initializer_list>

namespace tzcom::telnet {

class Options {
 public:
  // local: options the server performs (WILL); remote: options it asks the
  // client to perform (DO).
  Options(std::initializer_list<uint8_t> local, std::initializer_list<uint8_t> remote);

  // The opening offer: WILL for every local option, DO for every remote one.
  Bytes offer();
  // Takes a WILL, WONT, DO or DONT from the client; returns the answer (empty
  // when none is due).
  Bytes receive(uint8_t verb, uint8_t option);

  bool localEnabled(uint8_t option) const { return local_[option].state == State::Yes; }
  bool remoteEnabled(uint8_t option) const { return remote_[option].state == State::Yes; }

 private:
  enum class State : uint8_t { No, WantYes, Yes };
  struct Side {
    bool supported = false;
    State state = State::No;
  };
  static Bytes update(Side& side, bool enable, uint8_t yes, uint8_t no, uint8_t option);

  std::array<Side, 256> local_{};
  std::array<Side, 256> remote_{};
};

}  // namespace tzcom::telnet
