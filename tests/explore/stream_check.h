// Tests (explorer): the byte-stream checkers. They live outside the driver and
// see only what an application and the bus see: the bulk-in blocks the
// adapter delivered, the bytes reads returned, the bulk-out bytes the adapter
// took and the bytes writes said they sent.
//
// Data an application writes uses the printable alphabet (0x20..0x7E); the
// characters the driver may add on its own (XON/XOFF, immediate characters,
// XOFF-counter characters) are chosen outside it, and both checkers filter
// the streams down to the alphabet before comparing.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace explore {

inline bool inAlphabet(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }
std::vector<uint8_t> alphabetOnly(const std::vector<uint8_t>& bytes);

// What a port received. Reads complete in the order they were queued, so the
// bytes of the reads in submission order must be the delivered stream, in
// order, with nothing invented or repeated; bytes may be missing only where a
// loss event (a receive purge, a close and reopen, an overrun, a power or
// Plug and Play transition) happened between two reads being observed.
class ReceiveLog {
 public:
  // A bulk-in transfer the adapter completed with data (its bus id orders it).
  void delivered(uint64_t urbId, const uint8_t* data, size_t length);
  // Something at this step may have thrown received bytes away.
  void loss(uint64_t step) { losses_.push_back(step); }
  // A completed read, by its queue order: its bytes (filtered here) and the
  // step at which it was seen complete. Unchecked reads (the stream was being
  // rewritten while they ran) end the contiguous run around them.
  void read(uint64_t order, const std::vector<uint8_t>& data, uint64_t observedStep, bool checked);
  // What the receive ring holds at the end, seen at step; complete: the ring
  // must end the delivered stream exactly (nothing is left in flight).
  void ringAtEnd(const std::vector<uint8_t>& ring, uint64_t step, bool complete);

  // Empty when the streams agree; otherwise what disagrees.
  std::string check() const;

  uint64_t deliveredBytes() const { return deliveredBytes_; }
  uint64_t readBytes() const { return readBytes_; }

 private:
  struct Read {
    std::vector<uint8_t> data;  // filtered
    uint64_t observedStep = 0;
    bool checked = true;
  };
  bool lossBetween(uint64_t from, uint64_t to) const;

  std::map<uint64_t, std::vector<uint8_t>> delivered_;
  std::map<uint64_t, Read> reads_;
  std::vector<uint64_t> losses_;
  std::optional<Read> ring_;
  bool ringComplete_ = false;
  uint64_t deliveredBytes_ = 0;
  uint64_t readBytes_ = 0;
};

// What a port transmitted. The bulk-out transfers that carried data, in bus
// order, must be the writes in the order they were accepted: each write's
// transfers offer consecutive pieces of its data, all of it for a write that
// succeeded, and every write reports in Information exactly the bytes the
// device took. A transfer the device took in part is not resent (the rest of
// that piece is lost, and missing from Information), so only what was
// offered is compared with the data. Transfers of characters outside the
// alphabet are the driver's own (flow control, immediate characters) and are
// left out.
class TransmitLog {
 public:
  void transfer(uint64_t urbId, const uint8_t* offered, size_t offeredLength, size_t taken);
  void written(uint64_t order, const std::vector<uint8_t>& data, bool succeeded, uint64_t information);
  std::string check() const;
  uint64_t takenBytes() const { return takenBytes_; }

 private:
  struct Transfer {
    std::vector<uint8_t> offered;
    size_t taken = 0;
  };
  struct Write {
    std::vector<uint8_t> data;
    bool succeeded = false;
    uint64_t information = 0;
  };
  std::map<uint64_t, Transfer> transfers_;
  std::map<uint64_t, Write> writes_;
  uint64_t takenBytes_ = 0;
};

}  // namespace explore
