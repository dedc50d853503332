// The host program's diagnostic report (tzcom --report): boots the kernel
// deterministically, loads the driver, plugs a loopback adapter as COM5 and
// has the Plug and Play manager start it, then opens the port, writes a line,
// reads it back, closes the port, removes the adapter and unloads the driver,
// reporting each step: the driver's global settings and dispatch table, the
// adapter's device objects and context, its USB configuration and port name,
// the round trip and the port's statistics, and that nothing leaked.
#include "tools/tzcom/diagnostic_report.h"

#include "driver/core/dispatch.h"
#include "driver/core/globals.h"
#include "driver/pnp/pnp.h"
#include "driver/pnp/usb_config.h"
#include "sim/app.h"
#include "sim/cdc_acm.h"
#include "sim/pnp.h"
#include "sim/sim.h"

#include <cstdio>
#include <string>

namespace tzcom {

namespace {

const char* routineName(PDRIVER_DISPATCH routine) {
  struct Known {
    PDRIVER_DISPATCH routine;
    const char* name;
  };
  static const Known known[] = {
      {TzSerialCreateDispatch, "TzSerialCreateDispatch"},
      {TzSerialCloseDispatch, "TzSerialCloseDispatch"},
      {TzSerialRead, "TzSerialRead"},
      {TzSerialWrite, "TzSerialWrite"},
      {TzSerialFlush, "TzSerialFlush"},
      {TzSerialDeviceControlDispatch, "TzSerialDeviceControlDispatch"},
      {TzSerialCleanupDispatch, "TzSerialCleanupDispatch"},
      {TzSerialPowerDispatch, "TzSerialPowerDispatch"},
      {TzSerialSystemControlDispatch, "TzSerialSystemControlDispatch"},
      {TzserialPnp, "TzserialPnp"},
  };
  for (const Known& k : known)
    if (k.routine == routine) return k.name;
  return "(I/O manager default: STATUS_INVALID_DEVICE_REQUEST)";
}

const char* majorName(int major) {
  static const char* const names[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  return names[major];
}

void report(PDRIVER_OBJECT driver) {
  const TzSerialGlobalSettings& g = TzSerialGlobals;
  std::printf("driver loaded: %s\n", sim::narrow(&driver->DriverName).c_str());
  std::printf("\nglobal settings\n");
  std::printf("  staticSetting        0x%X%s%s%s\n", g.staticSetting,
              g.staticSetting & StaticSettingBlockSleepWhenOpen ? " BlockSleepWhenOpen" : "",
              g.staticSetting & StaticSettingSingleDevice ? " SingleDevice" : "",
              g.staticSetting & StaticSettingNoZeroLengthPacket ? " NoZeroLengthPacket" : "");
  std::printf("  device scheme        %s\n", g.staticSetting & StaticSettingSingleDevice
                                                 ? "one device object (named function device)"
                                                 : "two device objects (function + named port)");
  std::printf("  deviceCount          %u\n", g.deviceCount);
  std::printf("  maxTransferSize      %u\n", g.maxTransferSize);
  std::printf("  maxWriteTransferSize 0x%X%s\n", g.maxWriteTransferSize,
              g.maxWriteTransferSize == 0xFFFFFFFF ? " (no cap)" : "");
  std::printf("\ndispatch table\n");
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
    std::printf("  %-32s %s\n", majorName(major), routineName(driver->MajorFunction[major]));
  std::printf("  %-32s %s\n", "AddDevice",
              driver->DriverExtension->AddDevice == TzSerialAddDevice ? "TzSerialAddDevice" : "(none)");
  std::printf("  %-32s %s\n", "DriverUnload", driver->DriverUnload == TzSerialUnload ? "TzSerialUnload" : "(none)");
}

const char* typeName(ULONG type) {
  switch (type) {
    case FILE_DEVICE_SERIAL_PORT: return "FILE_DEVICE_SERIAL_PORT";
    case FILE_DEVICE_MODEM: return "FILE_DEVICE_MODEM";
    default: return "FILE_DEVICE_UNKNOWN";
  }
}

void reportAdapter(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;
  DeviceContext* c = TzSerialGetDeviceContext(fdo);
  std::printf("\nadapter enumerated (setup class \"Ports\")\n");
  std::printf("  function device object  %s, attached to the USB bus PDO\n",
              sim::deviceName(fdo).empty() ? "(unnamed)" : sim::narrow(sim::deviceName(fdo)).c_str());
  if (c->portDevice) std::printf("  port device object      %s\n", sim::narrow(sim::deviceName(c->portDevice)).c_str());
  std::printf("  device type             %s\n", typeName(c->interfaceClass));
  std::printf("  bus claim block         %s\n", c->busClaimBlock ? "present" : "none (foreign bus driver)");
  std::printf("  line                    %u bit/s, line control 0x%02X, XON 0x%02X XOFF 0x%02X\n", c->currentBaudRate,
              c->lineControl, c->specialChars.XonChar, c->specialChars.XoffChar);
  std::printf("  handshake               ControlHandShake 0x%X FlowReplace 0x%X\n", c->handFlow.ControlHandShake,
              c->handFlow.FlowReplace);
  std::printf("  receive buffer          %u bytes; %u bulk-in buffers of %u bytes\n", c->rxBufferSize,
              TzSerialBulkInSlots, TzSerialGlobals.maxTransferSize);
  std::printf("  state                   not started, queues stalled, device power not yet D0\n");
  std::printf("  driver pool in use      %zu bytes in %zu blocks\n", sim::poolInUse().bytes, sim::poolInUse().blocks);
}

std::u16string text(const UNICODE_STRING& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

void reportStart(PDEVICE_OBJECT pdo, NTSTATUS status) {
  DeviceContext* c = TzSerialGetDeviceContext(pdo->AttachedDevice);
  std::printf("\nadapter started: 0x%08X\n", unsigned(status));
  if (!NT_SUCCESS(status)) return;
  std::printf("  USB identity            %04X:%04X\n", c->usbIdentity >> 16, c->usbIdentity & 0xFFFF);
  std::printf("  pipe layout             %u (%s)\n", c->pipeLayout,
              c->pipeLayout == PipeLayoutFull ? "bulk-in, bulk-out and interrupt"
              : c->pipeLayout == PipeLayoutDataOnly ? "bulk-in and bulk-out" : "no pipes");
  std::printf("  communication interface %u, interrupt pipe %u\n", c->controlInterfaceNumber, c->interruptPipeIndex);
  std::printf("  data interface          %u, bulk-in pipe %u (%u-byte packets), bulk-out pipe %u (%u-byte packets)\n",
              c->dataInterfaceNumber, c->bulkInPipeIndex, c->bulkInMaxPacketSize, c->bulkOutPipeIndex,
              c->bulkOutMaxPacketSize);
  std::u16string link = text(c->portLinkName), device = text(c->deviceName);
  std::u16string serialComm = std::u16string(sim::kDeviceMapRoot) + u"\\SERIALCOMM";
  std::printf("  port name               %s -> %s\n", sim::narrow(link).c_str(),
              sim::narrow(sim::symbolicLinkTarget(link).value_or(u"?")).c_str());
  std::printf("  SERIALCOMM              %s = %s\n", sim::narrow(device).c_str(),
              sim::narrow(sim::registry::stringValue(serialComm, device).value_or(u"(none)")).c_str());
}

// What an application sees: the port opens by name, carries a line out to
// the adapter and back, and closes.
bool reportRoundTrip() {
  app::File port;
  NTSTATUS status = app::File::open(u"\\??\\COM5", port);
  std::printf("\nopen COM5                 0x%08X\n", unsigned(status));
  if (!NT_SUCCESS(status)) return false;
  const std::string line = "hello from tzcom through the tzserial driver\r\n";
  app::Result wrote = port.write(line.data(), ULONG(line.size()));
  std::printf("  wrote                   %zu bytes, 0x%08X\n", size_t(wrote.information), unsigned(wrote.status));
  std::string echo(line.size(), '\0');
  app::Result read = port.read(echo.data(), ULONG(echo.size()));
  echo.resize(read.information);
  bool same = echo == line;
  std::printf("  read back               %zu bytes, 0x%08X: %s\n", echo.size(), unsigned(read.status),
              same ? "the same line" : "DIFFERENT");
  std::printf("  line                    \"%.*s\"\n", int(line.size() - 2), echo.c_str());
  SERIALPERF_STATS stats{};
  port.ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats);
  std::printf("  statistics              transmitted %u, received %u, overruns %u\n", stats.TransmittedCount,
              stats.ReceivedCount, stats.SerialOverrunErrorCount + stats.BufferOverrunErrorCount);
  status = port.close().status;
  std::printf("close COM5                0x%08X\n", unsigned(status));
  return same && NT_SUCCESS(status);
}

}  // namespace

int runDiagnosticReport(const ReportOptions& options) {
  sim::boot();
  sim::setAbortOnStop(true);
  sim::setWdmVersion(UCHAR(options.wdmMajor), UCHAR(options.wdmMinor));
  std::printf("simulated kernel booted (deterministic, WDM %d.%02X)\n", options.wdmMajor, options.wdmMinor);
  if (options.hasStaticSetting) {
    std::u16string key = std::u16string(sim::kServicesRoot) + u"\\tzserial";
    sim::registry::setDword(key, u"STATIC_SETTING", options.staticSetting);
  }
  NTSTATUS status = 0;
  PDRIVER_OBJECT driver = sim::loadDriver(u"tzserial", DriverEntry, &status);
  std::printf("DriverEntry returned 0x%08X\n", unsigned(status));
  if (!driver) return 1;
  report(driver);

  // A loopback adapter of the family, installed as COM5.
  sim::usb::AdapterOptions adapter;
  adapter.vendorId = AdapterVendorId;
  adapter.productId = AdapterProductId;
  adapter.loopback = true;
  PDEVICE_OBJECT pdo = sim::usb::plugAdapter(adapter).pdo;
  sim::registry::setString(sim::pnp::deviceParametersKey(pdo), u"PortName", u"COM5");
  status = sim::pnp::addDevice(driver, pdo);
  std::printf("\nTzSerialAddDevice returned 0x%08X\n", unsigned(status));
  if (!NT_SUCCESS(status)) return 1;
  reportAdapter(pdo);
  status = sim::pnp::startDevice(pdo);
  reportStart(pdo, status);
  if (!NT_SUCCESS(status)) return 1;
  bool roundTrip = reportRoundTrip();

  // The Plug and Play manager removes the adapter; the driver unloads, and
  // the kernel checks that nothing was left behind (a leak stops it).
  status = sim::pnp::removeDevice(pdo);
  std::printf("\nadapter removed: 0x%08X\n", unsigned(status));
  sim::pnp::deletePhysicalDevice(pdo);
  sim::unloadDriver(driver);
  sim::PoolUse pool = sim::poolInUse();
  std::printf("driver unloaded: %zu bytes of pool in %zu blocks, no IRP, timer, DPC or handle left\n", pool.bytes,
              pool.blocks);
  sim::shutdown();
  return roundTrip && NT_SUCCESS(status) ? 0 : 1;
}

}  // namespace tzcom
