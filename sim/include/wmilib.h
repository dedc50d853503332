// Simulated platform: the WMI library's context and dispatch helper, with the
// Windows x64 names and layouts. Implemented in sim/src/wmi.cpp.
#pragma once

#include "ntddk.h"

extern "C" {

// Minor functions of IRP_MJ_SYSTEM_CONTROL.
#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0b

#define STATUS_WMI_GUID_NOT_FOUND ((NTSTATUS)0xC0000295L)

typedef enum _SYSCTL_IRP_DISPOSITION {
  IrpProcessed,     // the library completed the request
  IrpNotCompleted,  // processed; the caller completes it
  IrpNotWmi,        // not a WMI request: the caller passes it down
  IrpForward,       // for another provider: the caller passes it down
} SYSCTL_IRP_DISPOSITION, *PSYSCTL_IRP_DISPOSITION;

typedef struct _WMIGUIDREGINFO {
  const GUID* Guid;
  ULONG InstanceCount;
  ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

// The callbacks a provider may give; the library calls those that are set.
typedef NTSTATUS WMI_QUERY_REGINFO_CALLBACK(PDEVICE_OBJECT deviceObject, PULONG regFlags,
                                            PUNICODE_STRING instanceName, PUNICODE_STRING* registryPath,
                                            PUNICODE_STRING mofResourceName, PDEVICE_OBJECT* pdo);
typedef NTSTATUS WMI_QUERY_DATABLOCK_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                              ULONG instanceIndex, ULONG instanceCount, PULONG instanceLengthArray,
                                              ULONG bufferAvail, PUCHAR buffer);
typedef NTSTATUS WMI_SET_DATABLOCK_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                            ULONG instanceIndex, ULONG bufferSize, PUCHAR buffer);
typedef NTSTATUS WMI_SET_DATAITEM_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                           ULONG instanceIndex, ULONG dataItemId, ULONG bufferSize, PUCHAR buffer);
typedef NTSTATUS WMI_EXECUTE_METHOD_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                             ULONG instanceIndex, ULONG methodId, ULONG inBufferSize,
                                             ULONG outBufferSize, PUCHAR buffer);
typedef enum { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL;
typedef NTSTATUS WMI_FUNCTION_CONTROL_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                               WMIENABLEDISABLECONTROL function, BOOLEAN enable);

typedef struct _WMILIB_CONTEXT {
  ULONG GuidCount;
  PWMIGUIDREGINFO GuidList;
  WMI_QUERY_REGINFO_CALLBACK* QueryWmiRegInfo;
  WMI_QUERY_DATABLOCK_CALLBACK* QueryWmiDataBlock;
  WMI_SET_DATABLOCK_CALLBACK* SetWmiDataBlock;
  WMI_SET_DATAITEM_CALLBACK* SetWmiDataItem;
  WMI_EXECUTE_METHOD_CALLBACK* ExecuteWmiMethod;
  WMI_FUNCTION_CONTROL_CALLBACK* WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

static_assert(sizeof(WMILIB_CONTEXT) == 64, "WMILIB_CONTEXT layout");

// Processes an IRP_MJ_SYSTEM_CONTROL request for the provider that
// wmiLibInfo describes and says in *irpDisposition what the caller must
// still do with it. PASSIVE_LEVEL.
NTSTATUS WmiSystemControl(PWMILIB_CONTEXT wmiLibInfo, PDEVICE_OBJECT deviceObject, PIRP irp,
                          PSYSCTL_IRP_DISPOSITION irpDisposition);

}  // extern "C"
