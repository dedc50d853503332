// Tests: the adapter fixture.
#include "adapter_fixture.h"

#include "driver/pnp/port_name.h"
#include "driver/pnp/usb_config.h"
#include "driver/io/write.h"
#include "driver/usb/bulk_in.h"
#include "driver/usb/pipe_control.h"
#include "driver/usb/status_pipe.h"

sim::pnp::PhysicalDeviceOptions AdapterTest::modemClass() {
  sim::pnp::PhysicalDeviceOptions options;
  options.className = u"Modem";
  return options;
}

Adapter& AdapterTest::plug(sim::usb::AdapterOptions adapterOptions, sim::pnp::PhysicalDeviceOptions pdoOptions,
                           std::optional<std::u16string> portName) {
  auto plugged = sim::usb::plugAdapter(std::move(adapterOptions), std::move(pdoOptions));
  auto adapter = std::make_unique<Adapter>();
  adapter->pdo = plugged.pdo;
  adapter->model = plugged.adapter;
  if (portName) sim::registry::setString(sim::pnp::deviceParametersKey(adapter->pdo), u"PortName", *portName);
  EXPECT_EQ(sim::pnp::addDevice(driver, adapter->pdo), STATUS_SUCCESS);
  adapter->context = TzSerialGetDeviceContext(adapter->pdo->AttachedDevice);
  adapters.push_back(std::move(adapter));
  return *adapters.back();
}

NTSTATUS AdapterTest::start(Adapter& adapter) {
  NTSTATUS status = TzSerialStartDevice(adapter.context, nullptr);
  if (NT_SUCCESS(status)) {
    adapter.context->deviceState = DeviceStateStarted;
    adapter.context->devicePowerState = PowerDeviceD0;
    adapter.started = true;
  } else {
    tearDown(adapter);
  }
  return status;
}

void AdapterTest::tearDown(Adapter& adapter) {
  DeviceContext* c = adapter.context;
  TzSerialRemovePortName(c);
  TzSerialReleaseConfiguration(c);
  if (c->shadowRegisters.buffer) ExFreePoolWithTag(c->shadowRegisters.buffer, TzSerialPoolTag);
  c->shadowRegisters.buffer = nullptr;
  adapter.started = false;
}

void AdapterTest::startReception(Adapter& adapter) {
  TzSerialStatusSubmit(adapter.context);
  TzSerialBulkInStart(adapter.context);
}

void AdapterTest::stopReception(Adapter& adapter) {
  DeviceContext* c = adapter.context;
  // As close waits: on every slot's event, which a completion sets last.
  auto idle = [c] {
    for (KEVENT& done : c->bulkInDone)
      if (!KeReadStateEvent(&done)) return false;
    return true;
  };
  // A transfer that completed with data as the cancel went out goes straight
  // back down; cancel again until none is left.
  while (!idle()) {
    TzSerialBulkInCancelAll(c);
    sim::runUntil(idle, 100 * sim::kMs);
  }
  // The status reader and whatever is still being transmitted.
  auto quiet = [c] {
    return InterlockedCompareExchange(&c->statusBusy, 0, 0) == 0 && KeReadStateEvent(&c->txIdle);
  };
  while (!quiet()) {
    TzSerialStatusCancel(c);
    TzSerialCancelWrites(c);
    TzSerialCancelBulkOut(c);
    sim::runUntil(quiet, 100 * sim::kMs);
  }
}

void AdapterTest::remove(Adapter& adapter) {
  if (!adapter.context) return;
  DeviceContext* c = adapter.context;
  // As removal does: no request, transfer or sender may still be inside the
  // driver when its device objects go.
  if (c->deviceState != DeviceStateRemoved) TzSerialWaitOutstandingIo(c);
  tearDown(adapter);
  PDEVICE_OBJECT fdo = c->functionDevice, port = c->portDevice;
  IoFreeWorkItem(c->workItem);
  ExFreePoolWithTag(c->deviceName.Buffer, TzSerialPoolTag);
  IoDetachDevice(c->lowerDevice);
  IoDeleteDevice(fdo);
  if (port) IoDeleteDevice(port);
  adapter.context = nullptr;
}

void AdapterTest::TearDown() {
  if (!HasFailure()) {
    for (auto& adapter : adapters) {
      remove(*adapter);
      sim::pnp::deletePhysicalDevice(adapter->pdo);
    }
  }
  adapters.clear();
  DriverTest::TearDown();
}
