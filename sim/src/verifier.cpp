// Simulated platform: the verifier. A broken rule stops the kernel with a
// message that names the call and the rule (and the run's seed, so it replays);
// checkQuiescent() holds the invariants that must hold between tests; a failed
// ASSERT stops too.
#include "kernel.h"

#include <cstdio>
#include <cstdlib>

namespace sim::detail {

void stop(const char* call, const std::string& rule) {
  sim::verifierStop(std::string(call) + ": " + rule);
}

void stop(const char* call, const char* rule) { stop(call, std::string(rule)); }

}  // namespace sim::detail

using namespace sim::detail;

namespace sim {

void setAbortOnStop(bool abortOnStop) {
  Lock lock(kernel().mutex);
  kernel().abortOnStop = abortOnStop;
}

void verifierStop(const std::string& message) {
  std::string full = "verifier stop: " + message + " (seed " + std::to_string(kernel().options.seed) + ")";
  if (kernel().abortOnStop) {
    std::fprintf(stderr, "%s\n", full.c_str());
    std::abort();
  }
  throw VerifierStop(full);
}

void checkQuiescent() {
  Kernel& k = kernel();
  if (detail::heldSpinLocks()) stop("checkQuiescent", "a spin lock is still held");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("checkQuiescent", "the thread is not back at PASSIVE_LEVEL");
  if (registry::openHandles()) stop("checkQuiescent", std::to_string(registry::openHandles()) + " registry key(s) left open");
  std::u16string serialComm = std::u16string(kDeviceMapRoot) + u"\\SERIALCOMM";
  for (const std::u16string& name : registry::valueNames(serialComm))
    stop("checkQuiescent", "the SERIALCOMM device map still holds " + narrow(name) + " = " +
                               narrow(registry::stringValue(serialComm, name).value_or(u"(not a string)")));
  for (const std::u16string& link : enabledDeviceInterfaces())
    stop("checkQuiescent", "device interface " + narrow(link) + " is still enabled");
  std::string pool = describeOutstandingPool();
  if (!pool.empty()) stop("checkQuiescent", "pool still allocated:\n" + pool);
  Lock lock(k.mutex);
  // Named first: the requests it counts are among the IRPs not freed.
  for (auto& [file, record] : k.files)
    if (record.closePending)
      stop("checkQuiescent", "a closed handle's file object is still held by " + std::to_string(record.requests) +
                                 " request(s) left pending after cleanup: IRP_MJ_CLOSE never comes");
  if (!k.irps.empty()) stop("checkQuiescent", std::to_string(k.irps.size()) + " IRP(s) not freed");
  if (!k.workItems.empty()) stop("checkQuiescent", std::to_string(k.workItems.size()) + " work item(s) not freed");
  if (!k.timers.empty()) stop("checkQuiescent", std::to_string(k.timers.size()) + " timer(s) still queued");
  if (!k.dpcs.empty()) stop("checkQuiescent", std::to_string(k.dpcs.size()) + " DPC(s) still queued");
  if (!k.files.empty()) stop("checkQuiescent", std::to_string(k.files.size()) + " handle(s) still open");
  if (!k.objectReferences.empty())
    stop("checkQuiescent", std::to_string(k.objectReferences.size()) +
                               " object(s) still referenced by name (ObReferenceObjectByName without ObDereferenceObject)");
  for (auto& [link, target] : k.symbolicLinks)
    if (!k.deviceNames.count(fold(target)))
      stop("checkQuiescent", "symbolic link " + narrow(link) + " names a device that no longer exists");
}

}  // namespace sim

extern "C" void KeBugCheckEx(ULONG bugCheckCode, ULONG_PTR parameter1, ULONG_PTR parameter2, ULONG_PTR parameter3,
                             ULONG_PTR parameter4) {
  char text[160];
  std::snprintf(text, sizeof text, "KeBugCheckEx: bug check 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)", bugCheckCode,
                static_cast<unsigned long long>(parameter1), static_cast<unsigned long long>(parameter2),
                static_cast<unsigned long long>(parameter3), static_cast<unsigned long long>(parameter4));
  sim::verifierStop(text);
}

extern "C" void SimAssertFailed(const char* expression, const char* function, const char* file, int line) {
  sim::verifierStop(std::string("ASSERT failed: ") + expression + " in " + function + " (" + file + ":" +
                    std::to_string(line) + ")");
}
