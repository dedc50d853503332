// Simulated platform, internal: what the time line stores for an action.
// Every bus completion and pump is an action on the time line; a
// std::function would take a heap block for most of them (a weak reference
// is not trivially copyable). Its nodes come from a NodePool (node_pool.h).
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace sim::detail {

// A move-only callable kept inside the item when it fits (the kernel's and
// the bus's own closures all do), on the heap otherwise.
class TimedAction {
 public:
  TimedAction() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TimedAction>>>
  TimedAction(F&& f) {  // NOLINT(google-explicit-constructor): lambdas convert as they did to std::function
    using T = std::decay_t<F>;
    if constexpr (sizeof(T) <= kInline && alignof(T) <= alignof(std::max_align_t) &&
                  std::is_nothrow_move_constructible_v<T>) {
      ::new (static_cast<void*>(storage_)) T(std::forward<F>(f));
      ops_ = &kInlineOps<T>;
    } else {
      *reinterpret_cast<T**>(storage_) = new T(std::forward<F>(f));
      ops_ = &kHeapOps<T>;
    }
  }
  TimedAction(TimedAction&& other) noexcept { take(other); }
  TimedAction& operator=(TimedAction&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  TimedAction(const TimedAction&) = delete;
  TimedAction& operator=(const TimedAction&) = delete;
  ~TimedAction() { reset(); }

  void operator()() { ops_->call(storage_); }
  explicit operator bool() const { return ops_ != nullptr; }

 private:
  static constexpr size_t kInline = 64;
  struct Ops {
    void (*call)(void*);
    void (*move)(void* from, void* to);  // constructs at `to`, destroys at `from`
    void (*destroy)(void*);
  };
  template <class T>
  static constexpr Ops kInlineOps = {
      [](void* p) { (*static_cast<T*>(p))(); },
      [](void* from, void* to) {
        ::new (to) T(std::move(*static_cast<T*>(from)));
        static_cast<T*>(from)->~T();
      },
      [](void* p) { static_cast<T*>(p)->~T(); }};
  template <class T>
  static constexpr Ops kHeapOps = {
      [](void* p) { (**static_cast<T**>(p))(); },
      [](void* from, void* to) { *static_cast<T**>(to) = *static_cast<T**>(from); },
      [](void* p) { delete *static_cast<T**>(p); }};

  void take(TimedAction& other) {
    ops_ = other.ops_;
    if (ops_) ops_->move(other.storage_, storage_);
    other.ops_ = nullptr;
  }
  void reset() {
    if (ops_) ops_->destroy(storage_);
    ops_ = nullptr;
  }

  const Ops* ops_ = nullptr;
  alignas(std::max_align_t) unsigned char storage_[kInline];
};

}  // namespace sim::detail
