// Simulated platform: the application side of the I/O manager. Builds the IRP
// an application's call produces (buffers per the device's I/O method), sends
// it to the top of the device's stack, and waits for the I/O manager's finish.
#include "kernel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

using namespace sim::detail;

namespace app {

namespace {

// The thread identity an application IRP carries.
char applicationThread;

PIRP newRequest(PDEVICE_OBJECT top, const std::shared_ptr<RequestState>& state, PFILE_OBJECT file) {
  PIRP irp = allocateIrp(top->StackSize, IrpOwner::IoManager);
  Kernel& k = kernel();
  Lock lock(k.mutex);
  k.irps[irp].request = state;
  state->irp = irp;
  state->thread = std::this_thread::get_id();
  // Every request holds a reference on its file object: IRP_MJ_CLOSE waits for it.
  if (file) {
    state->file = file;
    ++k.files.at(file).requests;
  }
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = &applicationThread;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  return irp;
}

// The top driver's stack location of an application IRP still in flight.
// Read only after a dispatch routine broke a rule: a correct driver's IRP may
// be completing on another thread by then.
bool topLocationMarkedPending(PIRP irp) {
  auto top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1;
  return (top->Control & SL_PENDING_RETURNED) != 0;
}

// Sends the IRP down and checks the dispatch routine's answer against the IRP:
// STATUS_PENDING if and only if the request was marked pending, and a final
// status only for a request that is complete, with that status.
Request dispatch(PDEVICE_OBJECT top, PIRP irp, const std::shared_ptr<RequestState>& state) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("app", "requests are sent at PASSIVE_LEVEL");
  NTSTATUS status;
  {
    KernelStackEntry stack(false);  // the requesting thread's kernel stack
    status = IofCallDriver(top, irp);
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("dispatch routine", "returned at raised IRQL");
  if (heldSpinLocks()) stop("dispatch routine", "returned holding a spin lock");
  Kernel& k = kernel();
  Lock lock(k.mutex);
  if (status == STATUS_PENDING) {
    state->returnedPending = true;
    if (state->done && !state->markedPending)
      stop("dispatch routine", "returned STATUS_PENDING without marking the IRP pending");
  } else if (!state->done) {
    // Not yet complete, so not freed: the lock keeps its finish from running.
    if (topLocationMarkedPending(irp)) stop("dispatch routine", kMarkedPendingReturnedFinal);
    stop("dispatch routine", "returned a final status for an IRP it did not complete");
  } else if (state->markedPending) {
    stop("dispatch routine", kMarkedPendingReturnedFinal);
  } else if (state->result.status != status) {
    stop("dispatch routine", "returned a status that differs from the IRP's IoStatus.Status");
  }
  return Request(state);
}

// Builds the IRP an application call produces, with the buffers the
// device's I/O method asks for, and sends it to the top of the stack.
Request submitTo(PDEVICE_OBJECT device_, PFILE_OBJECT fileObject_, UCHAR majorFunction, UCHAR minorFunction,
                 ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
  auto state = std::make_shared<RequestState>();
  bool buffered = (device_->Flags & DO_BUFFERED_IO) != 0;
  // A buffered read or write goes through the system buffer alone: the
  // caller's bytes are copied there once, and a read's output is filled from
  // it at completion, not zeroed first.
  bool bufferedData = buffered && (majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE);
  if (!bufferedData) state->input.assign(input.begin(), input.end());
  if (!bufferedData && !(majorFunction == IRP_MJ_DEVICE_CONTROL && (code & 3) == METHOD_BUFFERED))
    state->output.assign(outputLength, 0);
  state->outputLength = outputLength;
  PIRP irp = newRequest(device_, state, fileObject_);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = state->majorFunction = majorFunction;
  next->MinorFunction = state->minorFunction = minorFunction;
  next->FileObject = fileObject_;
  irp->Tail.Overlay.OriginalFileObject = fileObject_;

  switch (majorFunction) {
    case IRP_MJ_CREATE:
      next->Parameters.Create.Options = code;  // the create options (FILE_DIRECTORY_FILE, ...)
      break;
    case IRP_MJ_READ:
      next->Parameters.Read.Length = outputLength;
      if (buffered) {
        state->systemBuffer = std::malloc(std::max<size_t>(outputLength, 1));
        irp->AssociatedIrp.SystemBuffer = state->systemBuffer;
        state->copyBack = true;
      }
      irp->UserBuffer = buffered ? state->systemBuffer : state->output.data();
      break;
    case IRP_MJ_WRITE:
      next->Parameters.Write.Length = ULONG(input.size());
      if (buffered) {
        state->systemBuffer = std::malloc(std::max<size_t>(input.size(), 1));
        if (!input.empty()) std::memcpy(state->systemBuffer, input.data(), input.size());
        irp->AssociatedIrp.SystemBuffer = state->systemBuffer;
      }
      irp->UserBuffer = buffered ? state->systemBuffer : state->input.data();
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      next->Parameters.DeviceIoControl.IoControlCode = code;
      next->Parameters.DeviceIoControl.InputBufferLength = ULONG(input.size());
      next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
      ULONG method = code & 3;
      if (method == METHOD_BUFFERED) {
        size_t size = std::max<size_t>({input.size(), outputLength, 1});
        state->systemBuffer = std::calloc(1, size);
        if (!input.empty()) std::memcpy(state->systemBuffer, input.data(), input.size());
        irp->AssociatedIrp.SystemBuffer = state->systemBuffer;
        state->copyBack = true;
      } else if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = state->input.data();
        irp->UserBuffer = state->output.data();
      } else {
        stop("app", "direct I/O control methods are not implemented by the simulation");
      }
      break;
    }
    default:
      break;
  }
  return dispatch(device_, irp, state);
}

// The file object's last reference has gone: IRP_MJ_CLOSE, then the object
// itself. PASSIVE_LEVEL, kernel mutex not held.
Result sendClose(PFILE_OBJECT fileObject, PDEVICE_OBJECT top) {
  Result r = submitTo(top, fileObject, IRP_MJ_CLOSE, 0, 0, {}, 0).wait();
  PDEVICE_OBJECT opened = fileObject->DeviceObject;
  {
    Lock lock(kernel().mutex);
    kernel().files.erase(fileObject);
  }
  delete fileObject;
  sim::detail::handleClosed(opened);
  return r;
}

// IoCancelIrp on an application request still in flight; false when it is
// done or no cancel routine was called.
bool cancelRequest(RequestState& state) {
  Kernel& k = kernel();
  PIRP irp;
  {
    Lock lock(k.mutex);
    if (state.done) return false;
    irp = state.irp;
    ++state.cancelsInProgress;
  }
  bool called;
  {
    KernelStackEntry stack(false);  // CancelIoEx's, on the calling thread
    called = IoCancelIrp(irp);
  }
  Lock lock(k.mutex);
  if (--state.cancelsInProgress == 0 && state.freeDeferred) {
    state.irp = nullptr;
    freeIrpLocked(k, irp);
  }
  return called;
}

}  // namespace

Request::~Request() {
  if (!state_ || done()) return;
  try {
    cancel();
    wait();
  } catch (const sim::VerifierStop&) {
    // The IRP stays outstanding; checkQuiescent reports it.
  }
}

bool Request::done() const { return state_->done.load(std::memory_order_acquire); }

Result Request::wait(std::optional<int64_t> timeout100ns) {
  sim::runUntil([this] { return done(); }, timeout100ns);
  return result();
}

Result Request::result() const {
  Lock lock(kernel().mutex);
  return state_->result;
}

bool Request::cancel() { return cancelRequest(*state_); }

const std::vector<uint8_t>& Request::data() const { return state_->output; }

uint64_t Request::completionOrder() const {
  Lock lock(kernel().mutex);
  return state_->completionOrder;
}

PIRP Request::irp() const {
  Lock lock(kernel().mutex);
  return state_->irp;
}

File::File(File&& other) noexcept { *this = std::move(other); }

File& File::operator=(File&& other) noexcept {
  std::swap(fileObject_, other.fileObject_);
  std::swap(device_, other.device_);
  std::swap(cleanedUp_, other.cleanedUp_);
  return *this;
}

File::~File() {
  if (!isOpen()) return;
  try {
    close();
  } catch (const sim::VerifierStop&) {
    // Reported by checkQuiescent as a handle left open.
  }
}

NTSTATUS File::open(const std::u16string& name, File& file, ULONG createOptions) {
  PDEVICE_OBJECT device = resolveDeviceName(name);
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
  auto fileObject = new FILE_OBJECT{};
  fileObject->Type = IO_TYPE_FILE;
  fileObject->Size = sizeof(FILE_OBJECT);
  fileObject->DeviceObject = device;
  File opened;
  opened.fileObject_ = fileObject;
  opened.device_ = IoGetAttachedDevice(device);
  {
    Lock lock(kernel().mutex);
    kernel().files[fileObject].top = opened.device_;
  }
  Result r = opened.submit(IRP_MJ_CREATE, 0, createOptions, {}, 0).wait();
  if (!NT_SUCCESS(r.status)) {
    // A failed create leaves no handle: no cleanup or close follows.
    opened.fileObject_ = nullptr;
    {
      Lock lock(kernel().mutex);
      kernel().files.erase(fileObject);
    }
    delete fileObject;
    sim::detail::handleClosed(device);
    return r.status;
  }
  if (file.isOpen()) file.close();
  file = std::move(opened);
  return r.status;
}

Request File::submit(UCHAR majorFunction, UCHAR minorFunction, ULONG code, std::span<const uint8_t> input,
                     ULONG outputLength) {
  if (!isOpen()) stop("app", "request on a handle that is not open");
  return submitTo(device_, fileObject_, majorFunction, minorFunction, code, input, outputLength);
}

Request File::readAsync(ULONG length) { return submit(IRP_MJ_READ, 0, 0, {}, length); }
Request File::writeAsync(std::span<const uint8_t> data) { return submit(IRP_MJ_WRITE, 0, 0, data, 0); }
Request File::ioctlAsync(ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
  return submit(IRP_MJ_DEVICE_CONTROL, 0, code, input, outputLength);
}
Request File::flushAsync() { return submit(IRP_MJ_FLUSH_BUFFERS, 0, 0, {}, 0); }
Request File::sendAsync(UCHAR majorFunction, UCHAR minorFunction) {
  return submit(majorFunction, minorFunction, 0, {}, 0);
}

Result File::read(void* buffer, ULONG length) {
  Request r = readAsync(length);
  Result result = r.wait();
  // An empty result has no address to copy from, and memcpy may not be given none.
  if (!r.data().empty()) std::memcpy(buffer, r.data().data(), r.data().size());
  return result;
}

Result File::write(const void* data, ULONG length) {
  return writeAsync({static_cast<const uint8_t*>(data), length}).wait();
}

Result File::ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
  Request r = ioctlAsync(code, {static_cast<const uint8_t*>(input), inputLength}, outputLength);
  Result result = r.wait();
  if (output && !r.data().empty())
    std::memcpy(output, r.data().data(), std::min<size_t>(r.data().size(), outputLength));
  return result;
}

Result File::flush() { return flushAsync().wait(); }

Result File::cleanup() {
  cleanedUp_ = true;
  return sendAsync(IRP_MJ_CLEANUP).wait();
}

Result File::close() {
  if (!isOpen()) return Result{STATUS_INVALID_HANDLE, 0};
  {
    // A handle of a kernel since rebooted names nothing any more.
    Lock lock(kernel().mutex);
    if (!kernel().files.contains(fileObject_)) {
      fileObject_ = nullptr;
      device_ = nullptr;
      return Result{STATUS_INVALID_HANDLE, 0};
    }
  }
  if (!cleanedUp_) cleanup();
  PFILE_OBJECT fileObject = std::exchange(fileObject_, nullptr);
  PDEVICE_OBJECT top = std::exchange(device_, nullptr);
  cleanedUp_ = false;
  {
    // The handle is gone; the file object stays while a request holds it.
    Kernel& k = kernel();
    Lock lock(k.mutex);
    FileRecord& record = k.files.at(fileObject);
    if (record.requests) {
      record.closePending = true;
      return Result{STATUS_PENDING, 0};
    }
  }
  return sendClose(fileObject, top);
}

Request sendToDevice(PDEVICE_OBJECT device, UCHAR majorFunction, UCHAR minorFunction,
                     const std::function<void(PIO_STACK_LOCATION)>& setup) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  auto state = std::make_shared<RequestState>();
  PIRP irp = newRequest(top, state, nullptr);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = state->majorFunction = majorFunction;
  next->MinorFunction = state->minorFunction = minorFunction;
  if (setup) setup(next);
  return dispatch(top, irp, state);
}

size_t exitThread() {
  Kernel& k = kernel();
  std::vector<std::shared_ptr<RequestState>> mine;
  {
    Lock lock(k.mutex);
    for (auto& [irp, record] : k.irps)
      if (record.request && !record.request->done && record.request->thread == std::this_thread::get_id())
        mine.push_back(record.request);
  }
  for (auto& state : mine) cancelRequest(*state);
  // As the platform does at thread rundown: wait for the cancelled requests,
  // and after five minutes leave those that never end.
  auto pending = [&] {
    Lock lock(k.mutex);
    return size_t(std::count_if(mine.begin(), mine.end(), [](auto& state) { return !state->done; }));
  };
  sim::runUntil([&] { return pending() == 0; }, 300 * sim::kSecond);
  return pending();
}

Request ioctlToDevice(PDEVICE_OBJECT device, ULONG code, std::span<const uint8_t> input, ULONG outputLength) {
  return submitTo(IoGetAttachedDevice(device), nullptr, IRP_MJ_DEVICE_CONTROL, 0, code, input, outputLength);
}

}  // namespace app

namespace sim::detail {

void fileRequestFinishedLocked(Kernel& k, PFILE_OBJECT file) {
  FileRecord& record = k.files.at(file);
  if (--record.requests || !record.closePending) return;
  record.closePending = false;
  PDEVICE_OBJECT top = record.top;
  TimedItem item;
  item.action = [file, top] { app::sendClose(file, top); };
  int64_t now = nowLocked(k);
  insertTimedLocked(k, TimedKey{now, now, 0}, std::move(item), nullptr);
}

}  // namespace sim::detail
