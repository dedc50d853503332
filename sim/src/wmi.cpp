// Simulated platform: the WMI library's dispatch helper, for providers that
// register no data blocks. WmiSystemControl sorts an IRP_MJ_SYSTEM_CONTROL
// request as the platform's library does:
//  - a minor function WMI does not know (above IRP_MN_REGINFO_EX, or the
//    unused 0x0A): IrpNotWmi, untouched;
//  - a WMI request for another provider (Parameters.WMI.ProviderId is not the
//    device object): IrpForward, untouched;
//  - IRP_MN_REGINFO / IRP_MN_REGINFO_EX: the library answers it and leaves the
//    completion to the caller (IrpNotCompleted). With QueryWmiRegInfo it writes
//    a WMIREGINFOW with no GUIDs and the registry path and MOF resource name
//    the callback gave (STATUS_BUFFER_TOO_SMALL with the size needed in the
//    first ULONG when the buffer is short); without the callback, which the
//    platform requires, the request fails with STATUS_INVALID_DEVICE_REQUEST;
//  - a data-block or event request for a GUID not in GuidList: an error the
//    library finds itself, so the IRP is set up with STATUS_WMI_GUID_NOT_FOUND
//    and left to the caller to complete (IrpNotCompleted).
// Requests for a registered GUID (the provider's callbacks) and registration
// of GUIDs are not implemented: they are verifier stops.
#include "kernel.h"

#include <wmilib.h>

#include <cstring>

using namespace sim::detail;

namespace {

// The registration record IRP_MN_REGINFO returns (WMIREGINFOW), without GUID
// entries; offsets are from its start.
struct RegInfoHeader {
  ULONG BufferSize;
  ULONG NextWmiRegInfo;
  ULONG RegistryPath;     // offset of a counted string: USHORT byte length, then the characters
  ULONG MofResourceName;  // likewise, or 0
  ULONG GuidCount;
};
static_assert(sizeof(RegInfoHeader) == 20, "WMIREGINFOW header layout");

NTSTATUS setUp(PIRP irp, NTSTATUS status, ULONG_PTR information, PSYSCTL_IRP_DISPOSITION disposition) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  *disposition = IrpNotCompleted;
  return status;
}

ULONG countedSize(PCUNICODE_STRING s) { return s && s->Length ? ULONG(sizeof(USHORT) + s->Length) : 0; }

void writeCounted(uint8_t* at, PCUNICODE_STRING s) {
  USHORT length = s->Length;
  std::memcpy(at, &length, sizeof length);
  std::memcpy(at + sizeof length, s->Buffer, length);
}

NTSTATUS registrationInfo(PWMILIB_CONTEXT info, PDEVICE_OBJECT deviceObject, PIRP irp,
                          PSYSCTL_IRP_DISPOSITION disposition) {
  if (!info->QueryWmiRegInfo) return setUp(irp, STATUS_INVALID_DEVICE_REQUEST, 0, disposition);
  if (info->GuidCount)
    stop("WmiSystemControl", "registering data blocks (GuidCount above 0) is not implemented by the simulation");
  ULONG regFlags = 0;
  UNICODE_STRING instanceName{};
  PUNICODE_STRING registryPath = nullptr;
  UNICODE_STRING mofResourceName{};
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = info->QueryWmiRegInfo(deviceObject, &regFlags, &instanceName, &registryPath, &mofResourceName, &pdo);
  if (!NT_SUCCESS(status)) return setUp(irp, status, 0, disposition);
  if (!registryPath) stop("WmiSystemControl", "QueryWmiRegInfo succeeded without a registry path");

  ULONG pathOffset = sizeof(RegInfoHeader);
  ULONG mofOffset = countedSize(&mofResourceName) ? pathOffset + countedSize(registryPath) : 0;
  ULONG needed = pathOffset + countedSize(registryPath) + countedSize(&mofResourceName);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto buffer = static_cast<uint8_t*>(stack->Parameters.WMI.Buffer);
  ULONG size = stack->Parameters.WMI.BufferSize;
  if (size < needed) {
    if (size < sizeof(ULONG)) return setUp(irp, STATUS_BUFFER_TOO_SMALL, 0, disposition);
    std::memcpy(buffer, &needed, sizeof needed);
    return setUp(irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), disposition);
  }
  RegInfoHeader header{needed, 0, pathOffset, mofOffset, 0};
  std::memcpy(buffer, &header, sizeof header);
  writeCounted(buffer + pathOffset, registryPath);
  if (mofOffset) writeCounted(buffer + mofOffset, &mofResourceName);
  return setUp(irp, STATUS_SUCCESS, needed, disposition);
}

bool registered(PWMILIB_CONTEXT info, const GUID* guid) {
  for (ULONG i = 0; i < info->GuidCount; ++i)
    if (IsEqualGUID(*info->GuidList[i].Guid, *guid)) return true;
  return false;
}

}  // namespace

extern "C" NTSTATUS WmiSystemControl(PWMILIB_CONTEXT wmiLibInfo, PDEVICE_OBJECT deviceObject, PIRP irp,
                                     PSYSCTL_IRP_DISPOSITION irpDisposition) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) stop("WmiSystemControl", "called above PASSIVE_LEVEL");
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL) stop("WmiSystemControl", "not an IRP_MJ_SYSTEM_CONTROL request");
  UCHAR minor = stack->MinorFunction;
  if (minor > IRP_MN_REGINFO_EX || minor == IRP_MN_EXECUTE_METHOD + 1) {
    *irpDisposition = IrpNotWmi;
    return irp->IoStatus.Status;
  }
  if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(deviceObject)) {
    *irpDisposition = IrpForward;
    return irp->IoStatus.Status;
  }
  if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
    return registrationInfo(wmiLibInfo, deviceObject, irp, irpDisposition);
  auto guid = static_cast<const GUID*>(stack->Parameters.WMI.DataPath);
  if (!guid || !registered(wmiLibInfo, guid)) return setUp(irp, STATUS_WMI_GUID_NOT_FOUND, 0, irpDisposition);
  stop("WmiSystemControl", "requests for a registered data block are not implemented by the simulation");
}
