// Tests (Windows program, run under Wine): installs the driver package from
// its INF through setupapi, as the device manager does for an arriving
// adapter, and prints what the install created, one "key value" line each:
// the device's class, the service's type, start, error control and image
// path, the Parameters values, and the driver key's modem entries.
// usage: wine_install.exe PACKAGE\tzserial.inf
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

const GUID kModemClass = {0x4D36E96D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const wchar_t kHardwareIds[] = L"USB\\VID_7A5E&PID_C0DE\0";

int fail(const char* what) {
  std::printf("error %s %lu\n", what, GetLastError());
  return 1;
}

std::string narrow(const wchar_t* s) {
  std::string out;
  for (; *s; ++s) out += *s < 128 ? char(*s) : '?';
  return out;
}

// Prints one value of HKLM\path as "label value".
void printValue(const std::wstring& path, const wchar_t* name, const char* label) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    std::printf("%s (no key)\n", label);
    return;
  }
  BYTE data[1024] = {};
  DWORD type = 0, size = sizeof data - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS)
    std::printf("%s (none)\n", label);
  else if (type == REG_DWORD)
    std::printf("%s %lu\n", label, *reinterpret_cast<DWORD*>(data));
  else if (type == REG_SZ || type == REG_EXPAND_SZ)
    std::printf("%s %s\n", label, narrow(reinterpret_cast<wchar_t*>(data)).c_str());
  else {
    std::printf("%s", label);
    for (DWORD i = 0; i < size; ++i) std::printf(" %02x", data[i]);
    std::printf("\n");
  }
  RegCloseKey(key);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return fail("usage");
  wchar_t inf[MAX_PATH];
  if (!GetFullPathNameW(argv[1], MAX_PATH, inf, nullptr)) return fail("path");
  if (!SetupCopyOEMInfW(inf, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) return fail("SetupCopyOEMInf");

  // A device with the adapter's hardware id, as the bus reports one.
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kModemClass, nullptr);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoW(set, L"MODEM", &kModemClass, nullptr, nullptr, DICD_GENERATE_ID, &device))
    return fail("SetupDiCreateDeviceInfo");
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(kHardwareIds),
                                         sizeof kHardwareIds))
    return fail("SetupDiSetDeviceRegistryProperty");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return fail("DIF_REGISTERDEVICE");

  // The driver the package's INF offers for it, installed.
  SP_DEVINSTALL_PARAMS_W params{};
  params.cbSize = sizeof params;
  if (!SetupDiGetDeviceInstallParamsW(set, &device, &params)) return fail("SetupDiGetDeviceInstallParams");
  params.Flags |= DI_ENUMSINGLEINF;
  lstrcpynW(params.DriverPath, inf, MAX_PATH);
  if (!SetupDiSetDeviceInstallParamsW(set, &device, &params)) return fail("SetupDiSetDeviceInstallParams");
  if (!SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER)) return fail("SetupDiBuildDriverInfoList");
  if (!SetupDiSelectBestCompatDrv(set, &device)) return fail("SetupDiSelectBestCompatDrv");
  if (!SetupDiInstallDevice(set, &device)) return fail("SetupDiInstallDevice");

  wchar_t text[256];
  if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_CLASS, nullptr, reinterpret_cast<BYTE*>(text),
                                        sizeof text, nullptr))
    std::printf("device.class %s\n", narrow(text).c_str());
  if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_CLASSGUID, nullptr, reinterpret_cast<BYTE*>(text),
                                        sizeof text, nullptr))
    std::printf("device.classguid %s\n", narrow(text).c_str());
  if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(text),
                                        sizeof text, nullptr))
    std::printf("device.service %s\n", narrow(text).c_str());
  if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(text),
                                        sizeof text, nullptr)) {
    std::wstring driverKey = L"System\\CurrentControlSet\\Control\\Class\\" + std::wstring(text);
    printValue(driverKey, L"PortSubClass", "driver.PortSubClass");
    printValue(driverKey, L"DriverVersion", "driver.DriverVersion");
  }
  const std::wstring service = L"System\\CurrentControlSet\\Services\\tzserial";
  printValue(service, L"Type", "service.Type");
  printValue(service, L"Start", "service.Start");
  printValue(service, L"ErrorControl", "service.ErrorControl");
  printValue(service, L"ImagePath", "service.ImagePath");
  printValue(service + L"\\Parameters", L"STATIC_SETTING", "parameters.STATIC_SETTING");
  SetupDiDestroyDeviceInfoList(set);
  return 0;
}
