// Simulated platform: executive pool with tags and accounting, quota charges
// that raise, fault injection for every fallible allocation, and the memory
// helpers of the run-time library. Freed blocks stay poisoned in quarantine for
// a while so that a use after free reads garbage instead of the next tenant.
#include "kernel.h"

#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim::detail {

namespace {

constexpr size_t kQuarantineBlocks = 256;
// The largest block the pool grants: a request beyond it fails, as one
// beyond what the platform's pool holds does there, instead of taking (or
// failing to take) the host's memory.
constexpr size_t kLargestBlock = size_t(64) << 20;
constexpr unsigned char kFreshFill = 0xA5;
constexpr unsigned char kFreedFill = 0xDD;

constexpr int kPoolModifiers = POOL_QUOTA_FAIL_INSTEAD_OF_RAISE | POOL_RAISE_IF_ALLOCATION_FAILURE | POOL_COLD_ALLOCATION;

// The pool type without its modifiers, after the checks the platform's
// verifier makes of it: executable non-paged pool, the must-succeed types and
// session pool are stops.
POOL_TYPE checkedPoolType(const char* call, POOL_TYPE type) {
  auto base = POOL_TYPE(int(type) & ~kPoolModifiers);
  switch (base) {
    case PagedPool:
    case PagedPoolCacheAligned:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
      return base;
    case NonPagedPool:
    case NonPagedPoolCacheAligned:
      stop(call, "allocates executable non-paged pool (use NonPagedPoolNx)");
    case NonPagedPoolMustSucceed:
    case DontUseThisType:
    case NonPagedPoolCacheAlignedMustS:
      stop(call, "allocates from a pool type reserved for the system");
    default:
      if (int(base) & NonPagedPoolSession) stop(call, "allocates session pool");
      stop(call, "allocates from an unknown pool type " + std::to_string(int(type)));
  }
}

bool isPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

const char* poolTypeName(POOL_TYPE type) {
  switch (type) {
    case PagedPool: return "PagedPool";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    case NonPagedPoolNxCacheAligned: return "NonPagedPoolNxCacheAligned";
    default: return "NonPagedPoolNx";
  }
}

std::string tagText(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    s += (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

void* allocate(const char* call, POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  POOL_TYPE base = checkedPoolType(call, type);
  KIRQL irql = KeGetCurrentIrql();
  if (isPaged(base) && irql > APC_LEVEL) stop(call, "allocates paged pool at DISPATCH_LEVEL or above");
  if (irql > DISPATCH_LEVEL) stop(call, "called above DISPATCH_LEVEL");
  if (tag == 0) stop(call, "allocates with a zero pool tag");
  if (bytes == 0) stop(call, "allocates zero bytes");
  void* p = nullptr;
  size_t allocated = (bytes + 15) / 16 * 16 + 16;
  Kernel& k = kernel();
  {
    Lock lock(k.mutex);
    // In reuse mode the block freed last of this size comes back first.
    p = k.poolFreeLists.take(allocated);
    if (!p && bytes <= kLargestBlock) p = std::aligned_alloc(16, allocated);
    if (injectFailureLocked(k) || !p) {
      if (p) k.poolFreeLists.put(p, allocated);
      return nullptr;
    }
    k.pool.emplace(p, PoolBlock{tag, base, bytes});
  }
  ASAN_UNPOISON_MEMORY_REGION(p, allocated);
  std::memset(p, kFreshFill, bytes);
  // Under AddressSanitizer a read or write past the block's own bytes is
  // reported, however much the rounding left behind it.
  ASAN_POISON_MEMORY_REGION(static_cast<char*>(p) + bytes, allocated - bytes);
  return p;
}

// Frees a block; a tag given must be the block's own.
void freeBlock(const char* call, PVOID p, std::optional<ULONG> tag) {
  Kernel& k = kernel();
  if (!p) stop(call, "frees a null pointer");
  Lock lock(k.mutex);
  auto it = k.pool.find(p);
  if (it == k.pool.end()) {
    for (auto& [q, size] : k.poolQuarantine)
      if (q == p) stop(call, "frees a pool block twice");
    stop(call, "frees memory that is not a pool block");
  }
  PoolBlock block = it->second;
  if (tag && block.tag != *tag)
    stop(call, "frees a block of tag '" + tagText(block.tag) + "' with tag '" + tagText(*tag) + "'");
  KIRQL irql = KeGetCurrentIrql();
  if (isPaged(block.type) && irql > APC_LEVEL) stop(call, "frees paged pool at DISPATCH_LEVEL or above");
  if (irql > DISPATCH_LEVEL) stop(call, "called above DISPATCH_LEVEL");
  checkNoQueuedObjectsIn(k, p, block.size, call);
  k.pool.erase(it);
  std::memset(p, kFreedFill, block.size);
  if (k.options.addresses == Addresses::Reuse) {
    k.poolFreeLists.put(p, (block.size + 15) / 16 * 16 + 16);
    return;
  }
  k.poolQuarantine.emplace_back(p, block.size);
  if (k.poolQuarantine.size() > kQuarantineBlocks) {
    std::free(k.poolQuarantine.front().first);
    k.poolQuarantine.pop_front();
  }
}

}  // namespace

bool injectFailure() {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  return injectFailureLocked(k);
}

bool injectFailureLocked(Kernel& k) {
  ++k.faultCounter;
  if (k.faultAt != 0 && k.faultCounter == k.faultAt) {
    k.faultFired = true;
    return true;
  }
  return false;
}

void freeAllPool(Kernel& k) {
  Lock lock(k.mutex);
  for (auto& [p, block] : k.pool) std::free(p);
  k.pool.clear();
  for (auto& [p, size] : k.poolQuarantine) std::free(p);
  k.poolQuarantine.clear();
  k.poolFreeLists.clear();
}

}  // namespace sim::detail

using namespace sim::detail;

namespace sim {

PoolUse poolInUse() {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  PoolUse use;
  for (auto& [p, block] : k.pool) {
    ++use.blocks;
    use.bytes += block.size;
  }
  return use;
}

PoolUse poolInUse(ULONG tag) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  PoolUse use;
  for (auto& [p, block] : k.pool) {
    if (block.tag != tag) continue;
    ++use.blocks;
    use.bytes += block.size;
  }
  return use;
}

std::string describeOutstandingPool() {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  std::ostringstream out;
  for (auto& [p, block] : k.pool)
    out << "  tag '" << tagText(block.tag) << "' " << block.size << " bytes "
        << poolTypeName(block.type) << " at " << p << "\n";
  return out.str();
}

namespace faults {

void arm(uint64_t failAt) {
  Kernel& k = kernel();
  Lock lock(k.mutex);
  k.faultCounter = 0;
  k.faultAt = failAt;
  k.faultFired = false;
}

void disarm() { arm(0); }

uint64_t allocationsSinceArm() {
  Lock lock(kernel().mutex);
  return kernel().faultCounter;
}

bool fired() {
  Lock lock(kernel().mutex);
  return kernel().faultFired;
}

}  // namespace faults

}  // namespace sim

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  PVOID p = allocate("ExAllocatePoolWithTag", poolType, numberOfBytes, tag);
  if (!p && (int(poolType) & POOL_RAISE_IF_ALLOCATION_FAILURE)) throw sim::RaisedStatus{STATUS_INSUFFICIENT_RESOURCES};
  return p;
}

PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes) {
  return allocate("ExAllocatePool", poolType, numberOfBytes, sim::tag("None"));
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  // The charge goes to the current process, which only a thread that may page can do.
  if (KeGetCurrentIrql() > APC_LEVEL) stop("ExAllocatePoolWithQuotaTag", "charges quota above APC_LEVEL");
  PVOID p = allocate("ExAllocatePoolWithQuotaTag", poolType, numberOfBytes, tag);
  if (!p && !(int(poolType) & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE)) throw sim::RaisedStatus{STATUS_INSUFFICIENT_RESOURCES};
  return p;
}

void ExFreePoolWithTag(PVOID p, ULONG tag) { freeBlock("ExFreePoolWithTag", p, tag); }

void ExFreePool(PVOID p) { freeBlock("ExFreePool", p, std::nullopt); }

void RtlCopyMemory(void* dest, const void* src, SIZE_T length) { std::memcpy(dest, src, length); }
void RtlMoveMemory(void* dest, const void* src, SIZE_T length) { std::memmove(dest, src, length); }
void RtlZeroMemory(void* dest, SIZE_T length) { std::memset(dest, 0, length); }
void RtlFillMemory(void* dest, SIZE_T length, UCHAR fill) { std::memset(dest, fill, length); }

SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length) {
  auto x = static_cast<const unsigned char*>(a);
  auto y = static_cast<const unsigned char*>(b);
  SIZE_T i = 0;
  while (i < length && x[i] == y[i]) ++i;
  return i;
}

}  // extern "C"
