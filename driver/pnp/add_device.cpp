// Driver: AddDevice. Creates an adapter's device objects (one named function
// device object, or an unnamed function device object plus a named port
// device object), fills the DeviceContext with the port's defaults, and
// attaches to the USB stack. Nothing is sent to the adapter here.
#include "driver/core/globals.h"
#include "driver/io/write_queue.h"
#include "driver/usb/bulk_out.h"
#include "driver/io/read.h"
#include "driver/pnp/pnp.h"
#include "driver/power/power.h"
#include "driver/serial/ioctl.h"
#include "driver/serial/line_state.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/pipe_recovery.h"

namespace {

constexpr ULONG TzSerialClassNameSize = 128;
constexpr ULONG TzSerialBusSignature = ULONG('V') | ULONG('T') << 8 | ULONG('Q') << 16 | ULONG('B') << 24;
constexpr ULONG TzSerialBusExtensionMinimum = 16;  // signature, padding, claim-block address

// Builds \Device\TALVENO<deviceCount> in a new zeroed paged buffer.
NTSTATUS TzSerialBuildDeviceName(PUNICODE_STRING name) {
  name->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, TzSerialDeviceNameSize, TzSerialPoolTag));
  if (!name->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(name->Buffer, TzSerialDeviceNameSize);
  name->Length = 0;
  name->MaximumLength = TzSerialDeviceNameSize;

  WCHAR digits[12];
  UNICODE_STRING number = {0, sizeof digits, digits};
  RtlAppendUnicodeToString(name, L"\\Device\\TALVENO");
  RtlIntegerToUnicodeString(TzSerialGlobals.deviceCount, 10, &number);
  RtlAppendUnicodeStringToString(name, &number);
  return STATUS_SUCCESS;
}

// The family bus driver's extension starts with its signature and holds its
// claim block's address at bytes 8 to 15. A foreign extension is read only as
// far as it is long, so a short one is never read past.
PUCHAR TzSerialFindBusClaimBlock(PDEVICE_OBJECT physicalDevice) {
  ULONG extensionBytes = physicalDevice->Size > sizeof(DEVICE_OBJECT) ? physicalDevice->Size - sizeof(DEVICE_OBJECT) : 0;
  if (!physicalDevice->DeviceExtension || extensionBytes < TzSerialBusExtensionMinimum) return nullptr;
  auto extension = static_cast<PUCHAR>(physicalDevice->DeviceExtension);
  ULONG signature;
  RtlCopyMemory(&signature, extension, sizeof signature);
  if (signature != TzSerialBusSignature) return nullptr;
  PUCHAR claimBlock;
  RtlCopyMemory(&claimBlock, extension + 8, sizeof claimBlock);
  return claimBlock;
}

void TzSerialInitializeQueues(DeviceContext* context) {
  PDEVICE_OBJECT device = context->functionDevice;
  context->requestQueues[WriteQueueIndex] = &context->writeQueue;
  context->requestQueues[WaitMaskQueueIndex] = &context->waitMaskQueue;
  context->requestQueues[ReadQueueIndex] = &context->readQueue;
  context->requestQueues[PurgeQueueIndex] = &context->purgeQueue;
  TzSerialInitializeQueue(&context->writeQueue, TzSerialWriteQueueStart, device, FALSE);
  TzSerialInitializeQueue(&context->readQueue, TzSerialReadStart, device, FALSE);
  TzSerialInitializeQueue(&context->waitMaskQueue, TzSerialWaitMaskStart, device, TRUE);
  TzSerialInitializeQueue(&context->purgeQueue, TzSerialPurgeStart, device, TRUE);
  InitializeListHead(&context->sendOrder);
  KeInitializeSpinLock(&context->txAliveLock);
  KeInitializeEvent(&context->txIdle, NotificationEvent, TRUE);
  KeInitializeSpinLock(&context->controlLock);
}

void TzSerialInitializeTimersAndDpcs(DeviceContext* context) {
  KeInitializeTimer(&context->writeQueueTimer);
  KeInitializeDpc(&context->writeQueueTimeoutDpc, TzSerialWriteQueueTimeoutDpc, context);
  KeInitializeTimer(&context->readTotalTimer);
  KeInitializeTimer(&context->readIntervalTimer);
  KeInitializeDpc(&context->readFilledDpc, TzSerialReadFilledDpc, context);
  KeInitializeDpc(&context->readTotalTimeoutDpc, TzSerialReadTotalTimeoutDpc, context);
  KeInitializeDpc(&context->readIntervalDpc, TzSerialReadIntervalDpc, context);
  KeInitializeTimer(&context->immediateTimer);
  KeInitializeDpc(&context->immediateDoneDpc, TzSerialImmediateDoneDpc, context);
  KeInitializeDpc(&context->immediateTimeoutDpc, TzSerialImmediateTimeoutDpc, context);
  KeInitializeTimer(&context->xoffTimer);
  KeInitializeDpc(&context->xoffTimeoutDpc, TzSerialXoffTimeoutDpc, context);
  KeInitializeDpc(&context->xoffCountedDpc, TzSerialXoffCountedDpc, context);
  KeInitializeDpc(&context->waitCompleteDpc, TzSerialWaitCompleteDpc, context);
  KeInitializeDpc(&context->errorAbortDpc, TzSerialErrorAbortDpc, context);
  KeInitializeEvent(&context->statusDone, NotificationEvent, TRUE);
  for (KEVENT& done : context->bulkInDone) KeInitializeEvent(&done, NotificationEvent, TRUE);
  KeInitializeDpc(&context->bulkInSendDpc, TzSerialBulkInSendDpc, context);
  KeInitializeDpc(&context->controlCharDpc, TzSerialControlCharDpc, context);
  KeInitializeTimer(&context->powerRetryTimer);
  KeInitializeDpc(&context->powerRetryDpc, TzSerialPowerRetryDpc, context);
  KeInitializeDpc(&context->transmitDpc, TzSerialTransmitDpc, context);
  KeInitializeTimer(&context->recoveryTimer);
  KeInitializeDpc(&context->recoveryDpc, TzSerialPipeRecoveryDpc, context);
}

void TzSerialWriteDefaultSettings(DeviceContext* context) {
  context->currentBaudRate = 1200;
  context->lineControl = 0x1A;  // 7 data bits, even parity, 1 stop bit
  context->validDataMask = 0x7F;
  RtlZeroMemory(&context->specialChars, sizeof context->specialChars);
  context->specialChars.XonChar = 0x11;
  context->specialChars.XoffChar = 0x13;
  context->handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  context->handFlow.FlowReplace = SERIAL_RTS_CONTROL;
  context->handFlow.XonLimit = 0;  // set when the port is opened
  context->handFlow.XoffLimit = 0;
  RtlZeroMemory(&context->timeouts, sizeof context->timeouts);
  context->modemStatus = 0;
  context->lineEventState = 0;
  context->intervalCutover.QuadPart = 200000000;  // 20 seconds
  context->intervalPollLong.QuadPart = -10000000;  // 1 second, relative
  context->intervalPollShort.QuadPart = -1;
  context->rxBufferSize = TzSerialRxBufferSize;
}

// Undoes a creation that failed at the port device object or later. Every
// step checks what exists, so any partial creation unwinds.
void TzSerialUnwindAddDevice(PDEVICE_OBJECT functionDevice, PDEVICE_OBJECT portDevice, DeviceContext* context,
                             PUNICODE_STRING name) {
  ExFreePoolWithTag(name->Buffer, TzSerialPoolTag);
  if (context) {
    if (context->workItem) IoFreeWorkItem(context->workItem);
    context->workItem = nullptr;
    if (context->recoveryWorkItem) IoFreeWorkItem(context->recoveryWorkItem);
    context->recoveryWorkItem = nullptr;
    if (context->linesWorkItem) IoFreeWorkItem(context->linesWorkItem);
    context->linesWorkItem = nullptr;
    TzSerialFreeTransferResources(context);
    if (context->lowerDevice) IoDetachDevice(context->lowerDevice);
    context->lowerDevice = nullptr;
  }
  IoDeleteDevice(functionDevice);
  if (portDevice) IoDeleteDevice(portDevice);
}

}  // namespace

ULONG TzSerialQueryInterfaceClass(PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  DeviceContext* context = TzSerialGetDeviceContext(deviceObject);
  WCHAR className[TzSerialClassNameSize / sizeof(WCHAR)];
  RtlZeroMemory(className, sizeof className);
  ULONG length = 0;
  // One character short of the buffer, so the name always ends in a NUL.
  NTSTATUS status = IoGetDeviceProperty(context->physicalDevice, DevicePropertyClassName,
                                        sizeof className - sizeof(WCHAR), className, &length);
  if (!NT_SUCCESS(status)) return FILE_DEVICE_UNKNOWN;

  UNICODE_STRING name, ports, modem;
  RtlInitUnicodeString(&name, className);
  RtlInitUnicodeString(&ports, L"Ports");
  RtlInitUnicodeString(&modem, L"Modem");
  if (RtlEqualUnicodeString(&name, &ports, FALSE)) return FILE_DEVICE_SERIAL_PORT;
  if (RtlEqualUnicodeString(&name, &modem, FALSE)) return FILE_DEVICE_MODEM;
  return FILE_DEVICE_UNKNOWN;
}

NTSTATUS TzSerialAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
  PAGED_CODE();
  bool singleDevice = (TzSerialGlobals.staticSetting & StaticSettingSingleDevice) != 0;

  UNICODE_STRING name;
  NTSTATUS status = TzSerialBuildDeviceName(&name);
  if (!NT_SUCCESS(status)) return status;

  PDEVICE_OBJECT functionDevice = nullptr;
  status = IoCreateDevice(driverObject, sizeof(DeviceContext), singleDevice ? &name : nullptr,
                          FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, FALSE, &functionDevice);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(name.Buffer, TzSerialPoolTag);
    return status;
  }
  auto functionExtension = static_cast<DeviceContext*>(functionDevice->DeviceExtension);
  RtlZeroMemory(functionExtension, sizeof(DeviceContext));
  functionExtension->signature = FunctionDeviceSignature;

  PDEVICE_OBJECT portDevice = nullptr;
  DeviceContext* context = functionExtension;
  if (!singleDevice) {
    status = IoCreateDevice(driverObject, sizeof(DeviceContext), &name, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &portDevice);
    if (!NT_SUCCESS(status)) {
      TzSerialUnwindAddDevice(functionDevice, nullptr, nullptr, &name);
      return status;
    }
    portDevice->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    context = static_cast<DeviceContext*>(portDevice->DeviceExtension);
    RtlZeroMemory(context, sizeof(DeviceContext));
    context->signature = PortDeviceSignature;
    context->portDevice = portDevice;
    portDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  functionExtension->portDevice = portDevice;
  context->physicalDevice = physicalDevice;
  context->interfaceClass = TzSerialQueryInterfaceClass(portDevice ? portDevice : functionDevice);
  context->functionDevice = functionDevice;
  context->deviceName = name;
  context->busClaimBlock = TzSerialFindBusClaimBlock(physicalDevice);

  TzSerialInitializeQueues(context);
  TzSerialInitializeTimersAndDpcs(context);
  TzSerialWriteDefaultSettings(context);

  context->outstandingIo = 1;
  KeInitializeEvent(&context->removeEvent, NotificationEvent, FALSE);
  TzSerialInitializeHoldQueue(&context->holdQueue, functionDevice);
  TzSerialSetDeviceState(context, DeviceStateNotStarted);
  context->previousState = DeviceStateNotStarted;

  context->workItem = IoAllocateWorkItem(functionDevice);
  context->recoveryWorkItem = IoAllocateWorkItem(functionDevice);
  context->linesWorkItem = IoAllocateWorkItem(functionDevice);
  if (!context->workItem || !context->recoveryWorkItem || !context->linesWorkItem) {
    TzSerialUnwindAddDevice(functionDevice, portDevice, context, &name);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  functionDevice->Flags |= DO_BUFFERED_IO;
  context->systemPowerState = PowerSystemWorking;
  context->devicePowerState = PowerDeviceD3;
  POWER_STATE powerState;
  powerState.DeviceState = PowerDeviceD3;
  PoSetPowerState(functionDevice, DevicePowerState, powerState);

  context->lowerDevice = IoAttachDeviceToDeviceStack(functionDevice, physicalDevice);
  if (!context->lowerDevice) {
    TzSerialUnwindAddDevice(functionDevice, portDevice, context, &name);
    return STATUS_DEVICE_REMOVED;
  }
  if (context->lowerDevice->Flags & DO_POWER_PAGABLE)
    functionDevice->Flags |= DO_POWER_PAGABLE;
  else if (context->lowerDevice->Flags & DO_POWER_INRUSH)
    functionDevice->Flags |= DO_POWER_INRUSH;

  status = TzSerialAllocateTransferResources(context);
  if (!NT_SUCCESS(status)) {
    TzSerialUnwindAddDevice(functionDevice, portDevice, context, &name);
    return status;
  }

  TzSerialGlobals.deviceCount++;
  functionDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
