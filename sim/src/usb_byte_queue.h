// Simulated platform, internal: a first-in first-out byte stream for the USB
// device models. Bytes go in and come out in bulk copies, so streams of
// hundreds of MiB cost no per-byte work.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace sim::usb::model {

class ByteQueue {
 public:
  size_t size() const { return bytes_.size() - head_; }
  bool empty() const { return head_ == bytes_.size(); }

  void append(std::span<const uint8_t> data) { bytes_.insert(bytes_.end(), data.data(), data.data() + data.size()); }

  // Moves up to `length` bytes from the front to `out`; returns how many.
  size_t take(uint8_t* out, size_t length) {
    size_t n = std::min(length, size());
    if (n) std::memcpy(out, bytes_.data() + head_, n);
    head_ += n;
    // Taken bytes are dropped once they are at least half the buffer, so each
    // byte is moved at most about once more and memory follows what is queued.
    if (head_ == bytes_.size()) {
      bytes_.clear();
      head_ = 0;
    } else if (head_ >= kCompactAt && 2 * head_ >= bytes_.size()) {
      bytes_.erase(bytes_.begin(), bytes_.begin() + ptrdiff_t(head_));
      head_ = 0;
    }
    return n;
  }

 private:
  static constexpr size_t kCompactAt = 64 * 1024;
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;  // bytes_[0, head_) are already taken
};

}  // namespace sim::usb::model
