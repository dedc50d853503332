// Tests: a device whose DeviceContext carries the four request queues and the
// hold queue, served by a small test driver. Reads go to readQueue, flushes to
// writeQueue, device controls by code: kWaitCode to waitMaskQueue, kPurgeCode
// to purgeQueue, kControlCode through the hold queue. The start routine either
// finishes a request at once or keeps it current, cancellable, until finish().
#pragma once

#include "driver/core/device_context.h"
#include "support/sim_test.h"

#include <mutex>
#include <vector>

constexpr ULONG kWaitCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kPurgeCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kControlCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);

class QueueTest : public SimTest {
 public:
  enum class StartMode { FinishAtOnce, KeepCurrent };

  // What the start routine does, and what it returns when it finishes at once.
  StartMode startMode = StartMode::KeepCurrent;
  NTSTATUS immediateStatus = STATUS_SUCCESS;

  std::mutex recordLock;
  std::vector<PIRP> started;       // every start, in order
  std::vector<PIRP> controlsRun;   // admitted control requests, in order
  std::function<void(PIRP)> onControl;  // runs inside an admitted control request
  bool refuseControls = false;          // control requests fail before the hold queue sees them

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  DeviceContext* context = nullptr;

  static QueueTest* current;

  void SetUp() override;
  void TearDown() override;
  void bootKernel(const sim::BootOptions& options);
  void createDevice();
  void destroyDevice();

  RequestQueue* queueOf(PIRP irp);
  // Finishes the queue's current request (if its cancel routine is still
  // ours) with the status, and starts the next one. Any IRQL <= DISPATCH_LEVEL.
  bool finish(RequestQueue* queue, NTSTATUS status = STATUS_SUCCESS);
  void restartAll();
  std::vector<PIRP> startedSnapshot();
};
