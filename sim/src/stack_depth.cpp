// Simulated platform: the verifier's watch on the kernel stack. A thread's
// kernel stack is 24 KB on the platform; a driver whose call chain grows with
// its own workload (a queue that starts its next request from inside the
// last one's completion) overflows it and the machine stops. The simulation
// runs on large user-mode stacks, so it measures instead: each place where
// the platform hands a fresh stack to driver code (an application's request,
// a DPC, a work item, a device event from the bus) marks where the stack
// begins, and the calls drivers make often stop once the chain below that
// mark is deeper than the platform allows.
#include "kernel.h"

namespace sim::detail {

namespace {

constexpr size_t kKernelStackBytes = 24 * 1024;

// Sanitizer instrumentation makes frames larger, so the same call chain
// needs more room there. Measured on the deepest chains the suite and the
// explorer reach: about 6 times the plain build's under AddressSanitizer (its
// red zones, the simulation's own frames most of all; a driver frame alone
// about 3 times), about 1.7 times under ThreadSanitizer. The factors round
// that up, so a chain that fits the plain build's 24 KB fits there too.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kFrameGrowth = 7;
#elif defined(__SANITIZE_THREAD__)
constexpr size_t kFrameGrowth = 2;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kFrameGrowth = 7;
#elif __has_feature(thread_sanitizer)
constexpr size_t kFrameGrowth = 2;
#else
constexpr size_t kFrameGrowth = 1;
#endif
#else
constexpr size_t kFrameGrowth = 1;
#endif

constexpr size_t kStackLimit = kKernelStackBytes * kFrameGrowth;

// The frame address, not a local's: under AddressSanitizer locals may live on
// a heap-allocated fake stack.
inline const char* frameAddress() { return static_cast<const char*>(__builtin_frame_address(0)); }

}  // namespace

__thread const char* kernelStackBase = nullptr;
__thread size_t deepestKernelStackBytes = 0;

size_t kernelStackLimitBytes() { return kStackLimit; }

KernelStackEntry::KernelStackEntry(bool freshStack) : saved_(kernelStackBase) {
  if (freshStack || !kernelStackBase) kernelStackBase = frameAddress();
}

KernelStackEntry::~KernelStackEntry() { kernelStackBase = saved_; }

void kernelStackOverflow(const char* call, size_t used) {
  // The deepest stays at the limit, so that every later overflow stops too.
  deepestKernelStackBytes = kStackLimit;
  stop(call, "the kernel stack overflows: the driver's call chain uses " + std::to_string(used) + " bytes of the " +
                 std::to_string(kStackLimit) +
                 " a thread has (a routine that calls itself back for each request it handles?)");
}

}  // namespace sim::detail

namespace sim {

size_t kernelStackLimit() { return detail::kStackLimit; }

size_t deepestKernelStack(bool reset) {
  size_t value = detail::deepestKernelStackBytes;
  if (reset) detail::deepestKernelStackBytes = 0;
  return value;
}

}  // namespace sim
