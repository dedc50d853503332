// Tests (explorer): the byte-stream checkers.
#include "stream_check.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace explore {

namespace {

constexpr size_t kMaxCandidates = size_t(1) << 22;

std::vector<uint8_t> concatenated(const std::map<uint64_t, std::vector<uint8_t>>& pieces) {
  std::vector<uint8_t> all;
  for (const auto& [order, bytes] : pieces) all.insert(all.end(), bytes.begin(), bytes.end());
  return all;
}

std::string preview(const uint8_t* p, size_t n) {
  std::ostringstream out;
  out << '"';
  for (size_t i = 0; i < std::min<size_t>(n, 24); ++i) out << char(p[i]);
  if (n > 24) out << "...";
  out << "\" (" << n << " bytes)";
  return out.str();
}

// Whether every byte is in 0x20..0x7E: per 64-bit word, no byte below 0x20,
// none with its top bit set, none equal to 0x7F.
bool allInAlphabet(const uint8_t* p, size_t n) {
  constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x;
    std::memcpy(&x, p + i, 8);
    uint64_t below = (x - ones * 0x20) & ~x & highs;
    uint64_t high = x & highs;
    uint64_t del = ((x ^ (ones * 0x7F)) - ones) & ~(x ^ (ones * 0x7F)) & highs;
    if (below | high | del) return false;
  }
  for (; i < n; ++i)
    if (!inAlphabet(p[i])) return false;
  return true;
}

bool matchesAt(const std::vector<uint8_t>& stream, size_t at, const std::vector<uint8_t>& piece) {
  if (at + piece.size() > stream.size()) return false;
  return piece.empty() || std::memcmp(stream.data() + at, piece.data(), piece.size()) == 0;
}

}  // namespace

std::vector<uint8_t> alphabetOnly(const std::vector<uint8_t>& bytes) {
  // Most pieces hold only the alphabet: found eight bytes at a time, and the
  // piece is copied whole.
  if (allInAlphabet(bytes.data(), bytes.size())) return bytes;
  std::vector<uint8_t> kept;
  kept.reserve(bytes.size());
  for (uint8_t b : bytes)
    if (inAlphabet(b)) kept.push_back(b);
  return kept;
}

void ReceiveLog::delivered(uint64_t urbId, const uint8_t* data, size_t length) {
  deliveredBytes_ += length;
  std::vector<uint8_t> raw(data, data + length);
  delivered_[urbId] = alphabetOnly(raw);
}

void ReceiveLog::read(uint64_t order, const std::vector<uint8_t>& data, uint64_t observedStep, bool checked) {
  readBytes_ += data.size();
  reads_[order] = Read{alphabetOnly(data), observedStep, checked};
}

void ReceiveLog::ringAtEnd(const std::vector<uint8_t>& ring, uint64_t step, bool complete) {
  ring_ = Read{alphabetOnly(ring), step, true};
  ringComplete_ = complete;
}

bool ReceiveLog::lossBetween(uint64_t from, uint64_t to) const {
  return std::any_of(losses_.begin(), losses_.end(), [&](uint64_t s) { return s >= from && s <= to; });
}

// The positions the reads so far may have ended at in the delivered stream
// are kept as a set, so that a short read matching in several places never
// makes a later one fail.
std::string ReceiveLog::check() const {
  const std::vector<uint8_t> stream = concatenated(delivered_);
  std::vector<size_t> ends = {0};
  uint64_t lastStep = 0;
  bool gapAllowed = true;  // the first open is a loss of everything before it
  std::vector<std::pair<uint64_t, const Read*>> sequence;
  for (const auto& [order, read] : reads_) sequence.emplace_back(order, &read);
  if (ring_) sequence.emplace_back(UINT64_MAX, &*ring_);

  for (const auto& [order, readPtr] : sequence) {
    const Read& read = *readPtr;
    gapAllowed = gapAllowed || lossBetween(lastStep, read.observedStep);
    lastStep = read.observedStep;
    if (!read.checked) {
      gapAllowed = true;
      continue;
    }
    if (read.data.empty() && order != UINT64_MAX) continue;
    std::vector<size_t> next;
    if (order == UINT64_MAX && ringComplete_) {
      // The ring ends the stream: it sits at its very end.
      size_t at = stream.size() >= read.data.size() ? stream.size() - read.data.size() : SIZE_MAX;
      bool reachable = at != SIZE_MAX && (gapAllowed ? at >= ends.front()
                                                      : std::find(ends.begin(), ends.end(), at) != ends.end());
      if (reachable && matchesAt(stream, at, read.data)) next.push_back(stream.size());
    } else if (gapAllowed && read.data.empty()) {
      for (size_t at = ends.front(); at <= stream.size() && next.size() < kMaxCandidates; ++at) next.push_back(at);
    } else if (gapAllowed) {
      // Every offset the read matches at, from the earliest end on. memmem
      // scans many bytes a step: most reads are short, where a skip table
      // gains little.
      size_t from = std::min(ends.front(), stream.size());
      while (next.size() < kMaxCandidates) {
        const void* found = memmem(stream.data() + from, stream.size() - from, read.data.data(), read.data.size());
        if (!found) break;
        size_t at = size_t(static_cast<const uint8_t*>(found) - stream.data());
        next.push_back(at + read.data.size());
        from = at + 1;
      }
    } else {
      for (size_t at : ends)
        if (matchesAt(stream, at, read.data)) next.push_back(at + read.data.size());
    }
    if (next.empty()) {
      std::ostringstream out;
      size_t at = ends.front();
      out << (order == UINT64_MAX ? "the receive ring at the end" : "read #" + std::to_string(order)) << " returned "
          << preview(read.data.data(), read.data.size()) << " but the stream "
          << (gapAllowed ? "has no such run after offset " : "continues at offset ") << at << " with "
          << preview(stream.data() + std::min(at, stream.size()), stream.size() - std::min(at, stream.size()))
          << (gapAllowed ? "" : " (no purge, close, overrun or transition in between)");
      return out.str();
    }
    ends = std::move(next);
    gapAllowed = false;
  }
  if (ring_ && ringComplete_ && std::find(ends.begin(), ends.end(), stream.size()) == ends.end()) {
    std::ostringstream out;
    out << "bytes were lost: the reads and the ring end at offset " << ends.front() << " of the " << stream.size()
        << " delivered (filtered) bytes, next " << preview(stream.data() + ends.front(), stream.size() - ends.front());
    return out.str();
  }
  return {};
}

void TransmitLog::transfer(uint64_t urbId, const uint8_t* offered, size_t offeredLength, size_t taken) {
  takenBytes_ += taken;
  if (!offeredLength) return;  // a zero-length packet
  if (!std::all_of(offered, offered + offeredLength, inAlphabet)) return;  // the driver's own characters
  transfers_[urbId] = Transfer{std::vector<uint8_t>(offered, offered + offeredLength), taken};
}

void TransmitLog::written(uint64_t order, const std::vector<uint8_t>& data, bool succeeded, uint64_t information) {
  writes_[order] = Write{data, succeeded, information};
}

std::string TransmitLog::check() const {
  std::vector<const Transfer*> bus;
  for (const auto& [id, t] : transfers_) bus.push_back(&t);
  size_t k = 0;
  for (const auto& [order, w] : writes_) {
    size_t at = 0, taken = 0, first = k;
    while (k < bus.size() && at < w.data.size() && matchesAt(w.data, at, bus[k]->offered)) {
      at += bus[k]->offered.size();
      taken += bus[k]->taken;
      ++k;
    }
    std::ostringstream out;
    if (w.succeeded && at != w.data.size()) {
      out << "write #" << order << " succeeded with " << preview(w.data.data(), w.data.size())
          << " but the bus was offered " << at << " of its bytes; next on the bus: "
          << (k < bus.size() ? preview(bus[k]->offered.data(), bus[k]->offered.size()) : std::string("nothing"));
      return out.str();
    }
    if (taken != w.information) {
      if (!w.succeeded && w.information == 0) {
        k = first;  // it never reached the bus: what matched belongs to a later write
        continue;
      }
      out << "write #" << order << " ended reporting " << w.information << " bytes sent, but the device took "
          << taken << " of its " << w.data.size();
      return out.str();
    }
  }
  if (k != bus.size()) {
    std::ostringstream out;
    out << "bulk-out carried " << bus.size() - k << " transfers no write accounts for, the first "
        << preview(bus[k]->offered.data(), bus[k]->offered.size());
    return out.str();
  }
  return {};
}

}  // namespace explore
