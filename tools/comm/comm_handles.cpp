// The comm API's handles (tool side): opening a port by its Win32 name, the
// table that turns a HANDLE into its port, and closing.
#include "tools/comm/comm_port.h"

#include <atomic>
#include <string_view>
#include <unordered_map>

namespace comm {

namespace {

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// The open handles. Handle values are never reused, so a stale one can never
// reach a newer port. Never destroyed: a handle left open at exit must not
// send its cleanup to a kernel that has already stopped.
struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<Port>> ports;
  uintptr_t nextHandle = 0x1000;
};

HandleTable& Handles() {
  static auto* table = new HandleTable;
  return *table;
}

// "COM5", "\\.\COM5" and "\\?\COM5" name \??\COM5; a name that starts with
// one backslash is the object manager's already.
std::u16string ObjectName(std::string_view name) {
  for (std::string_view prefix : {"\\\\.\\", "\\\\?\\"})
    if (name.starts_with(prefix)) return u"\\??\\" + sim::widen(std::string(name.substr(prefix.size())));
  if (name.starts_with("\\")) return sim::widen(std::string(name));
  return u"\\??\\" + sim::widen(std::string(name));
}

}  // namespace

std::shared_ptr<Port> PortOf(HANDLE handle) {
  {
    HandleTable& table = Handles();
    std::lock_guard lock(table.lock);
    auto found = table.ports.find(reinterpret_cast<uintptr_t>(handle));
    if (found != table.ports.end()) return found->second;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

HANDLE CreateFileA(LPCSTR name, DWORD desiredAccess, DWORD shareMode, void*, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
  bool badArguments = !name || shareMode != 0 || creationDisposition != OPEN_EXISTING || templateFile ||
                      (desiredAccess & ~(GENERIC_READ | GENERIC_WRITE)) ||
                      (flagsAndAttributes & ~(FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL));
  if (badArguments) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!*name) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  app::File file;
  NTSTATUS status = app::File::open(ObjectName(name), file);
  if (!NT_SUCCESS(status)) {
    SetLastError(ErrorFromStatus(status));
    return INVALID_HANDLE_VALUE;
  }
  auto port = std::make_shared<Port>(std::move(file), (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
  HandleTable& table = Handles();
  std::lock_guard lock(table.lock);
  uintptr_t handle = table.nextHandle;
  table.nextHandle += 4;
  table.ports.emplace(handle, std::move(port));
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(handle);
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<Port> port;
  {
    HandleTable& table = Handles();
    std::lock_guard lock(table.lock);
    auto found = table.ports.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.ports.end()) return Fail(ERROR_INVALID_HANDLE);
    port = std::move(found->second);
    table.ports.erase(found);
  }
  // Calls already inside the port keep it alive; they find it closing.
  port->close();
  return 1;
}

app::File* FileOf(HANDLE handle) {
  auto port = PortOf(handle);
  return port ? port->file() : nullptr;
}

}  // namespace comm
