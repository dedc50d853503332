// Simulated platform: the Plug and Play manager and the USB bus driver that
// owns each adapter's physical device object. Tests and tools plug an adapter
// (a PDO on the simulated bus), call the function driver's AddDevice for it,
// and send it Plug and Play requests down the stack the driver built.
#pragma once

#include "sim/app.h"

#include <array>
#include <map>

namespace sim::pnp {

// How the bus driver's device extension looks to a function driver.
enum class BusExtension {
  Foreign,  // another bus driver: extensionSize bytes that do not start with the family signature
  Family,   // the adapter family's bus driver: "VTQB", then at bytes 8..15 the address of its claim block
};

struct PhysicalDeviceOptions {
  // DevicePropertyClassName; nullopt makes the property read fail.
  std::optional<std::u16string> className = u"Ports";
  BusExtension extension = BusExtension::Foreign;
  size_t extensionSize = 64;  // Foreign only; Family extensions are 16 bytes
  // What the Family claim block holds at first: 0x55, the claim code twice
  // (0x9C free, 0x6C the serial function, 0x93 the other function), 0xAA.
  std::array<uint8_t, 4> claimBlock = {0x55, 0x9C, 0x9C, 0xAA};
  ULONG flags = DO_POWER_PAGABLE;
  // Plug and Play requests the bus driver fails, by minor function, with the
  // given status (the others it answers as a bus driver does).
  std::map<UCHAR, NTSTATUS> pnpFailures;
  // Device set-power requests the bus driver fails, by target device state
  // (the state is then not recorded).
  std::map<DEVICE_POWER_STATE, NTSTATUS> devicePowerFailures;
  // Handles IRP_MJ_INTERNAL_DEVICE_CONTROL (URBs, port reset) for the device
  // model; without one such requests fail with STATUS_NOT_SUPPORTED.
  std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> internalDeviceControl;
  // The device model's transfers not yet completed: a device set-power to
  // D1-D3 that reaches the bus while any is pending is a verifier stop.
  std::function<size_t()> transfersNotCompleted;
};

// Creates an adapter's physical device object on the simulated USB bus.
PDEVICE_OBJECT createPhysicalDevice(const PhysicalDeviceOptions& options = {});
// The four-byte claim block a Family bus extension points at.
uint8_t* claimBlock(PDEVICE_OBJECT pdo);
// Deletes a physical device object; nothing may be attached to it any more.
void deletePhysicalDevice(PDEVICE_OBJECT pdo);
// Makes IoAttachDeviceToDeviceStack onto this PDO fail (the device is being removed).
void markRemoved(PDEVICE_OBJECT pdo);
// The PDO's "Device Parameters" key, which IoOpenDeviceRegistryKey opens for
// PLUGPLAY_REGKEY_DEVICE; created with the PDO. Tests put PortName there.
std::u16string deviceParametersKey(PDEVICE_OBJECT pdo);

// A device interface as registered with IoRegisterDeviceInterface. Interfaces
// stay registered after their PDO is deleted, but are disabled then.
struct DeviceInterface {
  GUID classGuid{};
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string symbolicLink;  // the name IoRegisterDeviceInterface returned
  std::u16string referenceString;
  bool enabled = false;
};
// Every interface of the class, in order of registration.
std::vector<DeviceInterface> deviceInterfaces(const GUID& classGuid);

// The device power state a driver last reported for the device with PoSetPowerState.
DEVICE_POWER_STATE devicePowerState(PDEVICE_OBJECT device);

// Calls the driver's AddDevice for the PDO at PASSIVE_LEVEL, as the Plug and
// Play manager does. On success the device attached to the PDO must have
// cleared DO_DEVICE_INITIALIZING (a verifier stop otherwise).
NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// Sends IRP_MJ_PNP with the minor function to the top of the PDO's stack,
// IoStatus.Status preset to STATUS_NOT_SUPPORTED as the manager does.
app::Request send(PDEVICE_OBJECT pdo, UCHAR minorFunction,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = {});

// ---- the Plug and Play manager's sequences ------------------------------------
// Each sends its requests to the top of the PDO's stack one at a time, at
// PASSIVE_LEVEL, and waits for each, as the manager does.

// IRP_MN_START_DEVICE; once started, IRP_MN_QUERY_CAPABILITIES, as the
// manager follows a start. Returns the start's status.
NTSTATUS startDevice(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE when it is granted or
// IRP_MN_CANCEL_STOP_DEVICE when it is refused. Returns the query's status.
NTSTATUS stopDevice(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE when it is granted
// (the stack is gone; the PDO stays on the bus) or IRP_MN_CANCEL_REMOVE_DEVICE
// when it is refused. Returns the query's status.
NTSTATUS removeDevice(PDEVICE_OBJECT pdo);
// The adapter has left the bus: IRP_MN_SURPRISE_REMOVAL, then, once no handle
// is open on a device object of the stack (at once when none is), removal and
// the deletion of the PDO. A named device object outside the stack does not
// hold the removal back.
void surpriseRemove(PDEVICE_OBJECT pdo);
// Whether the PDO is still on the bus.
bool isPlugged(PDEVICE_OBJECT pdo);

// The record the manager sends with IRP_MN_QUERY_CAPABILITIES: Size and
// Version 1 set, Address and UINumber unknown (0xFFFFFFFF), the rest zero.
DEVICE_CAPABILITIES initialCapabilities();
// Sends IRP_MN_QUERY_CAPABILITIES with caps (prepared by the caller) and
// returns the status; the stack fills caps. The bus driver fills a Version 1
// record of full size with a USB device's power capabilities.
NTSTATUS queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& caps);

// The minor functions of the IRP_MJ_PNP requests that reached the bus driver
// for this PDO, in order.
std::vector<UCHAR> busPnpRequests(PDEVICE_OBJECT pdo);

}  // namespace sim::pnp
