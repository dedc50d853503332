// The last error of each thread, and the Win32 errors the statuses of a
// serial stack become.
#include "tools/comm/comm.h"

namespace comm {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

DWORD ErrorFromStatus(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
    case STATUS_TIMEOUT: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_SERIAL_COUNTER_TIMEOUT: return ERROR_COUNTER_TIMEOUT;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_IMPLEMENTED: return ERROR_INVALID_FUNCTION;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_NAME_INVALID: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND: return 3;  // ERROR_PATH_NOT_FOUND
    case STATUS_DELETE_PENDING: return ERROR_DELETE_PENDING;
    case STATUS_NO_SUCH_DEVICE: return ERROR_NO_SUCH_DEVICE;
    case STATUS_DEVICE_NOT_CONNECTED: return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_DEVICE_REMOVED: return 1617;  // ERROR_DEVICE_REMOVED
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_DEVICE_BUSY: return 170;  // ERROR_BUSY
    case STATUS_INVALID_DEVICE_STATE: return 5023;  // ERROR_INVALID_STATE
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace comm
