// Simulated platform, internal: nodes for one node-based table (a std::map:
// the time line, the bus's in-flight transfers) that one mutex guards. A freed node waits on the pool's list for the next
// insertion instead of going back to the host, so a table whose size stays
// about the same allocates nothing once warm. Declare the pool before its
// table: it must outlive it.
#pragma once

#include <cstddef>
#include <new>

namespace sim::detail {

class NodePool {
 public:
  NodePool() = default;
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;
  ~NodePool() {
    while (head_) {
      Free* next = head_->next;
      ::operator delete(head_);
      head_ = next;
    }
  }

  void* take(size_t bytes) {
    if (bytes == size_ && head_) {
      Free* node = head_;
      head_ = node->next;
      return node;
    }
    return ::operator new(bytes < sizeof(Free) ? sizeof(Free) : bytes);
  }
  void give(void* p, size_t bytes) {
    if (!size_) size_ = bytes;  // a table has one node size
    if (bytes != size_) {
      ::operator delete(p);
      return;
    }
    auto node = static_cast<Free*>(p);
    node->next = head_;
    head_ = node;
  }

 private:
  struct Free {
    Free* next;
  };
  Free* head_ = nullptr;
  size_t size_ = 0;
};

template <class T>
struct PooledAllocator {
  using value_type = T;
  explicit PooledAllocator(NodePool& pool) : pool(&pool) {}
  template <class U>
  PooledAllocator(const PooledAllocator<U>& other) : pool(other.pool) {}  // NOLINT(google-explicit-constructor): rebinding

  T* allocate(size_t n) {
    return n == 1 ? static_cast<T*>(pool->take(sizeof(T))) : static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) {
    if (n == 1)
      pool->give(p, sizeof(T));
    else
      ::operator delete(p);
  }
  template <class U>
  bool operator==(const PooledAllocator<U>& other) const {
    return pool == other.pool;
  }

  NodePool* pool;
};

}  // namespace sim::detail
