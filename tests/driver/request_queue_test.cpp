// Tests: request queues and the hold queue, seen from the requests: start in
// line, arrival order, stalls, cancellation races, cleanup of one handle,
// replay of held control requests, abort after removal.
#include "queue_fixture.h"

namespace {

using app::File;
using app::Request;

std::vector<uint8_t> none;

TEST_F(QueueTest, IdleRunningQueueStartsInLineAndReturnsTheStartStatus) {
  restartAll();
  startMode = StartMode::FinishAtOnce;
  immediateStatus = STATUS_TIMEOUT;
  Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  EXPECT_TRUE(read.done()) << "started before the dispatch returned";
  EXPECT_EQ(read.result().status, STATUS_TIMEOUT);
  EXPECT_EQ(startedSnapshot().size(), 1u);
}

TEST_F(QueueTest, RequestsStartOneAtATimeInArrivalOrder) {
  restartAll();
  Request a = app::sendToDevice(device, IRP_MJ_READ, 0);
  PIRP irpA = a.irp();
  Request b = app::sendToDevice(device, IRP_MJ_READ, 0);
  PIRP irpB = b.irp();
  Request c = app::sendToDevice(device, IRP_MJ_READ, 0);
  PIRP irpC = c.irp();
  EXPECT_EQ(startedSnapshot(), std::vector<PIRP>{irpA});
  ASSERT_TRUE(finish(&context->readQueue));
  EXPECT_EQ(startedSnapshot(), (std::vector<PIRP>{irpA, irpB}));
  ASSERT_TRUE(finish(&context->readQueue));
  ASSERT_TRUE(finish(&context->readQueue));
  EXPECT_EQ(startedSnapshot(), (std::vector<PIRP>{irpA, irpB, irpC}));
  EXPECT_EQ(c.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&context->readQueue.idleEvent), 1) << "nothing left to start";
}

TEST_F(QueueTest, QueuesAreStalledUntilTheFirstRestart) {
  Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  File port;
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", port), STATUS_SUCCESS);
  Request purge = port.ioctlAsync(kPurgeCode, none, 0);
  sim::runReady();
  EXPECT_FALSE(read.done());
  EXPECT_FALSE(purge.done());
  EXPECT_TRUE(startedSnapshot().empty());

  restartAll();  // the purge queue starts from its DPC
  EXPECT_EQ(startedSnapshot().size(), 2u);
  finish(&context->readQueue);
  finish(&context->purgeQueue);
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(purge.wait().status, STATUS_SUCCESS);
}

TEST_F(QueueTest, WaitingRequestCancelledBySubmitterIsNeverStarted) {
  restartAll();
  Request first = app::sendToDevice(device, IRP_MJ_READ, 0);
  Request second = app::sendToDevice(device, IRP_MJ_READ, 0);
  EXPECT_TRUE(second.cancel());
  app::Result r = second.wait();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.information, 0u);
  finish(&context->readQueue);
  EXPECT_EQ(startedSnapshot().size(), 1u);
  EXPECT_EQ(first.wait().status, STATUS_SUCCESS);
}

NTSTATUS keepIrp(PDEVICE_OBJECT, PIRP, PVOID completed) {
  *static_cast<bool*>(completed) = true;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(QueueTest, RequestAlreadyCancelledWhenItReachesABusyQueueIsCompletedAtOnce) {
  restartAll();
  Request first = app::sendToDevice(device, IRP_MJ_READ, 0);
  PIRP irp = IoAllocateIrp(CCHAR(device->StackSize + 1), FALSE);
  bool completed = false;
  IoSetCompletionRoutine(irp, keepIrp, &completed, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = device;
  irp->Cancel = TRUE;
  EXPECT_EQ(TzSerialQueueRequest(&context->readQueue, irp), STATUS_CANCELLED);
  EXPECT_TRUE(completed);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(irp->CancelRoutine, nullptr);
  IoFreeIrp(irp);
  finish(&context->readQueue);
  EXPECT_EQ(startedSnapshot().size(), 1u);
  first.wait();
}

TEST_F(QueueTest, RequestCancelledDuringTheStartNextWalkIsSkippedAndCompletedOnce) {
  restartAll();
  Request a = app::sendToDevice(device, IRP_MJ_READ, 0);
  Request b = app::sendToDevice(device, IRP_MJ_READ, 0);
  Request c = app::sendToDevice(device, IRP_MJ_READ, 0);
  PIRP irpB = b.irp(), irpC = c.irp();

  // The canceller has taken B's routine but not yet reached the queue lock.
  irpB->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irpB, nullptr);
  ASSERT_NE(routine, nullptr);
  finish(&context->readQueue);  // the walk skips B and starts C
  EXPECT_EQ(startedSnapshot().back(), irpC);
  EXPECT_FALSE(b.done());

  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irpB->CancelIrql = irql;
  routine(device, irpB);
  EXPECT_EQ(b.wait().status, STATUS_CANCELLED);
  finish(&context->readQueue);
  EXPECT_EQ(c.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(startedSnapshot().size(), 2u);
}

TEST_F(QueueTest, NestedStallsNeedAsManyRestartsAndRestartNeverGoesBelowZero) {
  RequestQueue* queue = &context->readQueue;
  TzSerialRestartQueue(queue);
  TzSerialRestartQueue(queue);
  EXPECT_EQ(queue->stallCount, 0);
  TzSerialStallQueue(queue);
  TzSerialStallQueue(queue);
  Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  TzSerialRestartQueue(queue);
  EXPECT_TRUE(startedSnapshot().empty()) << "one restart of two stalls";
  TzSerialRestartQueue(queue);
  EXPECT_EQ(startedSnapshot().size(), 1u);
  finish(queue);
  read.wait();
}

TEST_F(QueueTest, StallWaitsForTheCurrentRequest) {
  restartAll();
  Request read = app::sendToDevice(device, IRP_MJ_READ, 0);
  sim::schedule(7 * sim::kMs, [this] { finish(&context->readQueue); });
  TzSerialStallQueue(&context->readQueue);
  EXPECT_EQ(sim::now(), 7 * sim::kMs);
  EXPECT_EQ(read.wait().status, STATUS_SUCCESS);
}

TEST_F(QueueTest, CleanupOfOneHandleKeepsOtherHandlesWaitsButTakesEveryReadAndFlush) {
  restartAll();
  File a, b;
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", a), STATUS_SUCCESS);
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", b), STATUS_SUCCESS);
  Request purgeA1 = a.ioctlAsync(kPurgeCode, none, 0);  // current
  Request purgeA2 = a.ioctlAsync(kPurgeCode, none, 0);
  Request purgeB = b.ioctlAsync(kPurgeCode, none, 0);
  Request armedWaitB = b.ioctlAsync(kWaitCode, none, 0);  // armed as the device's wait
  Request readB1 = b.readAsync(4);  // current
  Request readB2 = b.readAsync(4);
  Request flushB = b.flushAsync();  // current
  sim::runReady();

  TzSerialCancelAllRequests(context, a.fileObject());
  EXPECT_EQ(purgeA2.wait().status, STATUS_CANCELLED);
  EXPECT_FALSE(purgeA1.done()) << "the current purge is not touched";
  EXPECT_FALSE(purgeB.done()) << "another handle's waiting purge stays";
  EXPECT_EQ(readB1.wait().status, STATUS_CANCELLED) << "reads go whatever the handle";
  EXPECT_EQ(readB2.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(flushB.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(armedWaitB.wait().status, STATUS_CANCELLED) << "the port's armed wait goes with any cleanup";
  EXPECT_EQ(context->currentWaitRequest, nullptr);

  TzSerialCancelAllRequests(context, nullptr);
  EXPECT_EQ(purgeB.wait().status, STATUS_CANCELLED) << "a device-wide cancel takes every handle's";
  EXPECT_FALSE(purgeA1.done());
  finish(&context->purgeQueue);
  EXPECT_EQ(purgeA1.wait().status, STATUS_SUCCESS);
}

TEST_F(QueueTest, HeldControlRequestsReplayInArrivalOrderWithLateArrivalsBehind) {
  File port;
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", port), STATUS_SUCCESS);
  Request c1 = port.ioctlAsync(kControlCode, none, 0);
  Request c2 = port.ioctlAsync(kControlCode, none, 0);
  PIRP irp1 = c1.irp(), irp2 = c2.irp();
  EXPECT_FALSE(c1.done());
  std::vector<Request> late;
  PIRP irp3 = nullptr;
  onControl = [&](PIRP irp) {
    if (irp != irp1) return;
    late.push_back(port.ioctlAsync(kControlCode, none, 0));  // arrives during the replay
    irp3 = late.back().irp();
    EXPECT_FALSE(late.back().done()) << "held behind the replayed ones";
  };
  TzSerialHoldQueueResume(&context->holdQueue);
  onControl = nullptr;
  EXPECT_EQ(controlsRun, (std::vector<PIRP>{irp1, irp2, irp3}));
  EXPECT_EQ(context->holdQueue.stallCount, 0);
  EXPECT_EQ(context->holdQueue.activeCount, 0);
  EXPECT_EQ(late.back().wait().status, STATUS_SUCCESS);
  EXPECT_EQ(port.ioctl(kControlCode, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS) << "admitted at once now";
}

// A replayed request that its dispatch routine refuses before the hold queue
// sees it must not leave a pass behind for whatever request comes next.
TEST_F(QueueTest, AReplayedRequestRefusedBeforeAdmissionLeavesNoPassBehind) {
  File port;
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", port), STATUS_SUCCESS);
  Request held = port.ioctlAsync(kControlCode, none, 0);
  ASSERT_FALSE(held.done());
  refuseControls = true;
  TzSerialHoldQueueResume(&context->holdQueue);
  EXPECT_EQ(held.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(context->holdQueue.replayRequest, nullptr);

  refuseControls = false;
  TzSerialHoldQueueStall(&context->holdQueue);
  Request next = port.ioctlAsync(kControlCode, none, 0);
  EXPECT_FALSE(next.done()) << "held by the stall";
  TzSerialHoldQueueResume(&context->holdQueue);
  EXPECT_EQ(next.wait().status, STATUS_SUCCESS);
}

// A start routine that completes its request and starts the next one without
// marking it finishing leaves a window in which a flush reaches for a freed
// request; the queue stops it.
TEST_F(QueueTest, ARequestDroppedUnmarkedByItsStartRoutineIsStopped) {
  TzSerialInitializeQueue(
      &context->readQueue,
      [](PDEVICE_OBJECT device, PIRP irp) {
        TzSerialCompleteRequest(irp, STATUS_SUCCESS);
        TzSerialStartNextRequest(&TzSerialGetDeviceContext(device)->readQueue);
        return STATUS_SUCCESS;
      },
      device, FALSE);
  restartAll();
  std::string message;
  try {
    app::sendToDevice(device, IRP_MJ_READ, 0);
  } catch (const sim::VerifierStop& stop) {
    message = stop.what();
  }
  EXPECT_NE(message.find("ASSERT failed"), std::string::npos) << message;
  EXPECT_NE(message.find("TzSerialStartNextRequest"), std::string::npos) << message;
  destroyDevice();
  bootKernel({});
}

TEST_F(QueueTest, HeldRequestOfACleanedUpHandleIsCancelled) {
  File a, b;
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", a), STATUS_SUCCESS);
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", b), STATUS_SUCCESS);
  Request heldA = a.ioctlAsync(kControlCode, none, 0);
  Request heldB = b.ioctlAsync(kControlCode, none, 0);
  TzSerialHoldQueueCancelHeld(&context->holdQueue, a.fileObject());
  EXPECT_EQ(heldA.wait().status, STATUS_CANCELLED);
  EXPECT_FALSE(heldB.done());
  EXPECT_TRUE(heldB.cancel()) << "a held request can be cancelled by its submitter";
  EXPECT_EQ(heldB.wait().status, STATUS_CANCELLED);
}

TEST_F(QueueTest, AfterRemovalControlRequestsAndTransfersAreRefused) {
  HoldQueue* hold = &context->holdQueue;
  EXPECT_EQ(TzSerialHoldQueueAcquire(hold), STATUS_DEVICE_BUSY) << "stalled";
  TzSerialHoldQueueResume(hold);
  ASSERT_EQ(TzSerialHoldQueueAcquire(hold), STATUS_SUCCESS);
  TzSerialHoldQueueRelease(hold);
  TzSerialHoldQueueSetAbortStatus(hold, STATUS_DELETE_PENDING);
  EXPECT_EQ(TzSerialHoldQueueAcquire(hold), STATUS_DELETE_PENDING);
  File port;
  ASSERT_EQ(File::open(u"\\Device\\QueueTest0", port), STATUS_SUCCESS);
  EXPECT_EQ(port.ioctl(kControlCode, nullptr, 0, nullptr, 0).status, STATUS_DELETE_PENDING);
  EXPECT_TRUE(controlsRun.empty());
}

TEST_F(QueueTest, StallAllReturnsAtOnceWhenIdleAndWaitsForActiveTransfers) {
  restartAll();
  TzSerialStallAllQueues(context);
  EXPECT_EQ(sim::now(), 0);
  restartAll();
  ASSERT_EQ(TzSerialHoldQueueAcquire(&context->holdQueue), STATUS_SUCCESS);
  sim::schedule(3 * sim::kMs, [this] { TzSerialHoldQueueRelease(&context->holdQueue); });
  TzSerialStallAllQueues(context);
  EXPECT_EQ(sim::now(), 3 * sim::kMs);
  restartAll();
  for (RequestQueue* queue : context->requestQueues) EXPECT_EQ(queue->stallCount, 0);
}

// A holder that never lets go (a transfer the bus lost) does not keep the
// query's thread for ever: the stall gives up after its bound, and the
// caller fails the query and resumes. It used to wait without a limit.
TEST_F(QueueTest, StallAllGivesUpAfterItsBoundWhenATransferNeverComesBack) {
  restartAll();
  ASSERT_EQ(TzSerialHoldQueueAcquire(&context->holdQueue), STATUS_SUCCESS);
  EXPECT_FALSE(TzSerialStallAllQueues(context));
  EXPECT_GE(sim::now(), 5 * sim::kSecond);
  EXPECT_LT(sim::now(), 6 * sim::kSecond);
  restartAll();
  TzSerialHoldQueueRelease(&context->holdQueue);
  EXPECT_TRUE(TzSerialStallAllQueues(context)) << "at rest now";
  restartAll();
}

TEST_F(QueueTest, ErrorAbortFlushesReadsAndWrites) {
  restartAll();
  Request read1 = app::sendToDevice(device, IRP_MJ_READ, 0);
  Request read2 = app::sendToDevice(device, IRP_MJ_READ, 0);
  Request flush = app::sendToDevice(device, IRP_MJ_FLUSH_BUFFERS, 0);
  KeInitializeDpc(&context->errorAbortDpc, TzSerialErrorAbortDpc, context);
  KeInsertQueueDpc(&context->errorAbortDpc, nullptr, nullptr);
  EXPECT_EQ(read1.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(read2.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(flush.wait().status, STATUS_CANCELLED);
}

}  // namespace
