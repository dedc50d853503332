// Telnet option negotiation.
#include "tools/tzcom/telnet_options.h"

namespace tzcom::telnet {

Options::Options(std::initializer_list<uint8_t> local, std::initializer_list<uint8_t> remote) {
  for (uint8_t option : local) local_[option].supported = true;
  for (uint8_t option : remote) remote_[option].supported = true;
}

Bytes Options::offer() {
  Bytes out;
  for (int option = 0; option < 256; ++option) {
    if (local_[option].supported && local_[option].state == State::No) {
      local_[option].state = State::WantYes;
      Bytes n = negotiation(WILL, uint8_t(option));
      out.insert(out.end(), n.begin(), n.end());
    }
    if (remote_[option].supported && remote_[option].state == State::No) {
      remote_[option].state = State::WantYes;
      Bytes n = negotiation(DO, uint8_t(option));
      out.insert(out.end(), n.begin(), n.end());
    }
  }
  return out;
}

// yes/no: the verbs that agree to or refuse the option on this side
// (WILL/WONT for ours, DO/DONT for the client's).
Bytes Options::update(Side& side, bool enable, uint8_t yes, uint8_t no, uint8_t option) {
  if (enable) {
    switch (side.state) {
      case State::No:
        if (!side.supported) return negotiation(no, option);
        side.state = State::Yes;
        return negotiation(yes, option);
      case State::WantYes:  // the answer to our offer
        side.state = State::Yes;
        return {};
      case State::Yes:
        return {};
    }
  }
  switch (side.state) {
    case State::No:
      return {};
    case State::WantYes:  // our offer refused
      side.state = State::No;
      return {};
    case State::Yes:
      side.state = State::No;
      return negotiation(no, option);
  }
  return {};
}

Bytes Options::receive(uint8_t verb, uint8_t option) {
  switch (verb) {
    case WILL: return update(remote_[option], true, DO, DONT, option);
    case WONT: return update(remote_[option], false, DO, DONT, option);
    case DO: return update(local_[option], true, WILL, WONT, option);
    case DONT: return update(local_[option], false, WILL, WONT, option);
    default: return {};
  }
}

}  // namespace tzcom::telnet
