// Tests: the queue test device and its driver.
#include "queue_fixture.h"

QueueTest* QueueTest::current = nullptr;

namespace {

ULONG codeOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode; }

void currentCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Information = 0;
  TzSerialFinishCurrent(QueueTest::current->queueOf(irp), irp, STATUS_CANCELLED);
}

void armedWaitCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  DeviceContext* context = QueueTest::current->context;
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  if (context->currentWaitRequest == irp) context->currentWaitRequest = nullptr;
  KeReleaseSpinLock(&context->controlLock, old);
  TzSerialCompleteRequest(irp, STATUS_CANCELLED);
}

NTSTATUS testStart(PDEVICE_OBJECT, PIRP irp) {
  QueueTest* t = QueueTest::current;
  {
    std::lock_guard<std::mutex> lock(t->recordLock);
    t->started.push_back(irp);
  }
  RequestQueue* queue = t->queueOf(irp);
  if (t->startMode == QueueTest::StartMode::FinishAtOnce) {
    NTSTATUS status = t->immediateStatus;
    irp->IoStatus.Information = 0;
    TzSerialFinishCurrent(queue, irp, status);
    return status;
  }
  IoMarkIrpPending(irp);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&t->context->controlLock);
  if (queue == &t->context->waitMaskQueue) {
    // A wait is armed and leaves the queue free for the next set or wait.
    t->context->currentWaitRequest = irp;
    IoSetCancelRoutine(irp, armedWaitCancel);
    TzSerialSetCurrentFinishing(queue);  // the queue is done with it
    KeReleaseSpinLock(&t->context->controlLock, old);
    TzSerialStartNextRequest(queue);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(irp, currentCancel);
  KeReleaseSpinLock(&t->context->controlLock, old);
  return STATUS_PENDING;
}

NTSTATUS succeed(PDEVICE_OBJECT, PIRP irp) {
  TzSerialCompleteRequest(irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

NTSTATUS queueDispatch(PDEVICE_OBJECT, PIRP irp) {
  QueueTest* t = QueueTest::current;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL && codeOf(irp) == kControlCode) {
    if (t->refuseControls) {
      TzSerialCompleteRequest(irp, STATUS_CANCELLED);
      return STATUS_CANCELLED;
    }
    NTSTATUS status = TzSerialHoldQueueAdmitRequest(&t->context->holdQueue, irp);
    if (status != STATUS_SUCCESS) return status;
    {
      std::lock_guard<std::mutex> lock(t->recordLock);
      t->controlsRun.push_back(irp);
    }
    if (t->onControl) t->onControl(irp);
    TzSerialCompleteRequest(irp, STATUS_SUCCESS);
    TzSerialHoldQueueRelease(&t->context->holdQueue);
    return STATUS_SUCCESS;
  }
  return TzSerialQueueRequest(t->queueOf(irp), irp);
}

void unload(PDRIVER_OBJECT) {}

NTSTATUS queueDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = succeed;
  driver->MajorFunction[IRP_MJ_CLOSE] = succeed;
  driver->MajorFunction[IRP_MJ_CLEANUP] = succeed;
  driver->MajorFunction[IRP_MJ_READ] = queueDispatch;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = queueDispatch;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = queueDispatch;
  driver->DriverUnload = unload;
  return STATUS_SUCCESS;
}

}  // namespace

RequestQueue* QueueTest::queueOf(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  switch (location->MajorFunction) {
    case IRP_MJ_READ: return &context->readQueue;
    case IRP_MJ_FLUSH_BUFFERS: return &context->writeQueue;
    default: return codeOf(irp) == kWaitCode ? &context->waitMaskQueue : &context->purgeQueue;
  }
}

bool QueueTest::finish(RequestQueue* queue, NTSTATUS status) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&context->controlLock);
  KeAcquireSpinLockAtDpcLevel(&queue->lock);
  // A request its cancel routine is finishing is no longer ours to touch.
  PIRP irp = queue->currentFinishing ? nullptr : queue->currentRequest;
  KeReleaseSpinLockFromDpcLevel(&queue->lock);
  if (!irp || !IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLock(&context->controlLock, old);
    return false;
  }
  irp->IoStatus.Information = 0;
  TzSerialFinishCurrentLocked(queue, irp, status, old);
  return true;
}

void QueueTest::restartAll() { TzSerialRestartAllQueues(context); }

std::vector<PIRP> QueueTest::startedSnapshot() {
  std::lock_guard<std::mutex> lock(recordLock);
  return started;
}

void QueueTest::bootKernel(const sim::BootOptions& options) {
  sim::boot(options);
  current = this;
  driver = sim::loadDriver(u"queuetest", queueDriverEntry);
  createDevice();
}

void QueueTest::SetUp() { bootKernel({}); }

void QueueTest::createDevice() {
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\QueueTest0");
  ASSERT_EQ(IoCreateDevice(driver, sizeof(DeviceContext), &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), 0);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  context = static_cast<DeviceContext*>(device->DeviceExtension);
  context->functionDevice = device;
  context->requestQueues[WriteQueueIndex] = &context->writeQueue;
  context->requestQueues[WaitMaskQueueIndex] = &context->waitMaskQueue;
  context->requestQueues[ReadQueueIndex] = &context->readQueue;
  context->requestQueues[PurgeQueueIndex] = &context->purgeQueue;
  TzSerialInitializeQueue(&context->writeQueue, testStart, device, FALSE);
  TzSerialInitializeQueue(&context->readQueue, testStart, device, FALSE);
  TzSerialInitializeQueue(&context->waitMaskQueue, testStart, device, TRUE);
  TzSerialInitializeQueue(&context->purgeQueue, testStart, device, TRUE);
  TzSerialInitializeHoldQueue(&context->holdQueue, device);
  KeInitializeSpinLock(&context->controlLock);
  // What bringing the transfers to rest looks at: no transfer, no write.
  InitializeListHead(&context->sendOrder);
  KeInitializeEvent(&context->removeEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&context->txIdle, NotificationEvent, TRUE);
  KeInitializeEvent(&context->statusDone, NotificationEvent, TRUE);
  for (KEVENT& done : context->bulkInDone) KeInitializeEvent(&done, NotificationEvent, TRUE);
}

void QueueTest::destroyDevice() {
  if (device) IoDeleteDevice(device);
  device = nullptr;
}

void QueueTest::TearDown() {
  if (!HasFailure()) {
    destroyDevice();
    EXPECT_NO_THROW(sim::unloadDriver(driver));
  }
  current = nullptr;
  SimTest::TearDown();
}
