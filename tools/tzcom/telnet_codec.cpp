// The telnet stream parser and encoders.
#include "tools/tzcom/telnet_codec.h"

namespace tzcom::telnet {

void Parser::flush(Handler& handler) {
  if (data_.empty()) return;
  handler.onData(data_);
  data_.clear();
}

// The byte after an IAC in the data stream (or after an IAC that cut a
// subnegotiation short).
void Parser::afterIac(uint8_t byte, Handler& handler) {
  switch (byte) {
    case IAC:
      data_.push_back(IAC);
      state_ = State::Data;
      break;
    case WILL: case WONT: case DO: case DONT:
      verb_ = byte;
      state_ = State::Verb;
      break;
    case SB:
      state_ = State::SbOption;
      break;
    case SE:
      flush(handler);
      handler.onMalformed("SE outside a subnegotiation");
      state_ = State::Data;
      break;
    default:
      flush(handler);
      handler.onCommand(byte);
      state_ = State::Data;
      break;
  }
}

void Parser::feed(std::span<const uint8_t> bytes, Handler& handler) {
  for (uint8_t byte : bytes) {
    switch (state_) {
      case State::Data:
        if (byte == IAC)
          state_ = State::Iac;
        else
          data_.push_back(byte);
        break;
      case State::Iac:
        afterIac(byte, handler);
        break;
      case State::Verb:
        flush(handler);
        handler.onNegotiation(verb_, byte);
        state_ = State::Data;
        break;
      case State::SbOption:
        option_ = byte;
        payload_.clear();
        state_ = State::SbData;
        break;
      case State::SbData:
        if (byte == IAC) {
          state_ = State::SbIac;
        } else if (payload_.size() < maxSubnegotiation_) {
          payload_.push_back(byte);
        } else {
          // Overlong: drop it and read on as data, so that a client that
          // never sends IAC SE cannot swallow the stream for good.
          flush(handler);
          handler.onMalformed("overlong subnegotiation");
          payload_.clear();
          data_.push_back(byte);
          state_ = State::Data;
        }
        break;
      case State::SbIac:
        if (byte == SE) {
          flush(handler);
          handler.onSubnegotiation(option_, payload_);
          payload_.clear();
          state_ = State::Data;
        } else if (byte == IAC && payload_.size() < maxSubnegotiation_) {
          payload_.push_back(IAC);
          state_ = State::SbData;
        } else if (byte == IAC) {
          flush(handler);
          handler.onMalformed("overlong subnegotiation");
          payload_.clear();
          data_.push_back(IAC);
          state_ = State::Data;
        } else {
          // IAC followed by anything but SE or IAC ends the subnegotiation
          // unfinished; the command it starts is taken as it stands.
          flush(handler);
          handler.onMalformed("subnegotiation cut short");
          payload_.clear();
          afterIac(byte, handler);
        }
        break;
    }
  }
  flush(handler);
}

void appendEscaped(Bytes& out, std::span<const uint8_t> data) {
  for (uint8_t byte : data) {
    out.push_back(byte);
    if (byte == IAC) out.push_back(IAC);
  }
}

Bytes negotiation(uint8_t verb, uint8_t option) { return {IAC, verb, option}; }

Bytes subnegotiation(uint8_t option, std::span<const uint8_t> payload) {
  Bytes out{IAC, SB, option};
  appendEscaped(out, payload);
  out.push_back(IAC);
  out.push_back(SE);
  return out;
}

}  // namespace tzcom::telnet
