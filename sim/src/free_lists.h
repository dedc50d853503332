// Simulated platform, internal: the lists that hand freed memory back, as the
// platform's lookaside lists do. In the kernel's reuse mode a freed IRP or pool
// block goes on the list of its size and the next allocation of that size
// takes it at once, last in first out, so a stale pointer to it names the new
// tenant. Guarded by the kernel mutex.
#pragma once

#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace sim::detail {

class FreeLists {
 public:
  // A freed block of the given size, or null when none waits.
  void* take(size_t bytes) {
    auto it = lists_.find(bytes);
    if (it == lists_.end() || it->second.empty()) return nullptr;
    void* p = it->second.back();
    it->second.pop_back();
    return p;
  }
  // Keeps a freed block for the next allocation of its size; beyond the
  // bound a list gives blocks back to the host.
  void put(void* p, size_t bytes) {
    std::vector<void*>& list = lists_[bytes];
    if (list.size() >= kPerSize) {
      std::free(p);
      return;
    }
    list.push_back(p);
  }
  void clear() {
    for (auto& [bytes, list] : lists_)
      for (void* p : list) std::free(p);
    lists_.clear();
  }
  ~FreeLists() { clear(); }

 private:
  static constexpr size_t kPerSize = 1024;
  std::unordered_map<size_t, std::vector<void*>> lists_;
};

}  // namespace sim::detail
