// Tests of the simulated kernel: the power manager. Serialization of power
// IRPs per device object, the verifier's check that each driver lets a query
// or set go (PoStartNextPowerIrp) before the IRP leaves it, PoRequestPowerIrp,
// the delivery IRQL, and sleep, wake and wait-wake through a function driver
// on a PDO down to the bus.
#include "fragment.h"
#include "sim/pnp.h"
#include "sim/power.h"


namespace {

NTSTATUS releaseAndComplete(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  return frag::complete(irp, status);
}

NTSTATUS releaseAndPassDown(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(frag::layerOf(device).lower, irp);
}

POWER_STATE deviceState(DEVICE_POWER_STATE d) {
  POWER_STATE s;
  s.DeviceState = d;
  return s;
}

POWER_STATE systemPowerState(SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return s;
}

// What a PoRequestPowerIrp completion function was called with.
struct Completion {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  NTSTATUS status = STATUS_PENDING;
};

void recordCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK io) {
  auto c = static_cast<Completion*>(context);
  ++c->calls;
  c->device = device;
  c->minor = minor;
  c->state = state;
  c->status = io->Status;
}

// Fragment stacks that take power requests: the bottom lets each go and
// completes it with `bottomStatus`.
class PowerTest : public FragmentTest {
 protected:
  void SetUp() override {
    FragmentTest::SetUp();
    takePower();
  }
  void takePower() { driver->MajorFunction[IRP_MJ_POWER] = driver->MajorFunction[IRP_MJ_CREATE]; }
  void rebootWithPower() {
    reboot();
    takePower();
  }
  PDEVICE_OBJECT addBottom(NTSTATUS bottomStatus = STATUS_SUCCESS) {
    return addDevice(frag::onlyFor(IRP_MJ_POWER, [bottomStatus](PDEVICE_OBJECT, PIRP irp) {
      return releaseAndComplete(irp, bottomStatus);
    }));
  }
  PDEVICE_OBJECT bottom() { return layers.front()->device; }
};

// The top driver holds a device set without letting it go: a device query
// waits in the power manager until PoStartNextPowerIrp, while a system request
// (the other kind) goes straight through.
TEST_F(PowerTest, ASecondRequestOfAKindWaitsUntilTheFirstIsLetGo) {
  addBottom();
  PIRP held = nullptr;
  std::vector<UCHAR> seen;
  addDevice(frag::onlyFor(IRP_MJ_POWER, [&](PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seen.push_back(stack->MinorFunction);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
      held = irp;
      IoMarkIrpPending(irp);
      return STATUS_PENDING;
    }
    return releaseAndPassDown(device, irp);
  }));

  app::Request set = sim::power::sendDevicePowerAsync(bottom(), IRP_MN_SET_POWER, PowerDeviceD3);
  app::Request query = sim::power::sendDevicePowerAsync(bottom(), IRP_MN_QUERY_POWER, PowerDeviceD3);
  sim::runReady();
  EXPECT_EQ(seen, std::vector<UCHAR>{IRP_MN_SET_POWER}) << "the device query waits behind the device set";
  EXPECT_FALSE(query.done());
  EXPECT_EQ(sim::power::querySystemPower(bottom(), PowerSystemSleeping3), STATUS_SUCCESS) << "another kind";
  ASSERT_NE(held, nullptr);

  PoStartNextPowerIrp(held);
  EXPECT_EQ(seen.size(), 2u) << "the next one is dispatched from a kernel thread, not inside PoStartNextPowerIrp";
  EXPECT_EQ(query.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_QUERY_POWER}));
  EXPECT_FALSE(set.done());
  IoSkipCurrentIrpStackLocation(held);
  PoCallDriver(bottom(), held);
  EXPECT_EQ(set.wait().status, STATUS_SUCCESS);
}

// Each way a query or set can leave a driver that never let it go is stopped,
// as is letting it go twice and sending a power IRP the driver allocated.
TEST_F(PowerTest, ADriverThatDoesNotLetAPowerRequestGoIsStopped) {
  auto stopFor = [&](frag::Dispatch top) {
    addBottom();
    addDevice(frag::onlyFor(IRP_MJ_POWER, std::move(top)));
    std::string message =
        frag::stopMessage([&] { sim::power::sendDevicePower(bottom(), IRP_MN_SET_POWER, PowerDeviceD2); });
    rebootWithPower();
    return message;
  };
  EXPECT_NE(stopFor([](PDEVICE_OBJECT device, PIRP irp) {
              IoSkipCurrentIrpStackLocation(irp);
              return PoCallDriver(frag::layerOf(device).lower, irp);
            }).find("PoCallDriver: power IRP passed down without PoStartNextPowerIrp"),
            std::string::npos);
  EXPECT_NE(stopFor([](PDEVICE_OBJECT device, PIRP irp) {
              IoSkipCurrentIrpStackLocation(irp);
              return IoCallDriver(frag::layerOf(device).lower, irp);
            }).find("IofCallDriver: power IRP passed down without PoStartNextPowerIrp"),
            std::string::npos);
  EXPECT_NE(stopFor([](PDEVICE_OBJECT, PIRP irp) {
              return frag::complete(irp, STATUS_SUCCESS);
            }).find("IofCompleteRequest: power IRP completed without PoStartNextPowerIrp"),
            std::string::npos);
  // Passed down with a completion routine, it comes back; the routine must let it go.
  EXPECT_NE(stopFor([](PDEVICE_OBJECT device, PIRP irp) {
              IoMarkIrpPending(irp);
              IoCopyCurrentIrpStackLocationToNext(irp);
              IoSetCompletionRoutine(
                  irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE,
                  TRUE);
              PoCallDriver(frag::layerOf(device).lower, irp);
              return STATUS_PENDING;
            }).find("completion routine: power IRP passed back up without PoStartNextPowerIrp"),
            std::string::npos);
  EXPECT_NE(stopFor([](PDEVICE_OBJECT, PIRP irp) {
              PoStartNextPowerIrp(irp);
              return releaseAndComplete(irp, STATUS_SUCCESS);
            }).find("PoStartNextPowerIrp: called twice"),
            std::string::npos);

  PDEVICE_OBJECT device = addBottom();
  PIRP own = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_POWER;
  IoGetNextIrpStackLocation(own)->MinorFunction = IRP_MN_SET_POWER;
  EXPECT_VERIFIER_STOP(IoCallDriver(device, own), "sends a power IRP the driver allocated itself");
  rebootWithPower();
}

// Letting go before passing on, or in the completion routine, is right; a
// wait-wake request needs no PoStartNextPowerIrp at all.
TEST_F(PowerTest, DriversThatLetGoInTimeAreNotStopped) {
  addBottom();
  addDevice(frag::onlyFor(IRP_MJ_POWER, [](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_WAIT_WAKE)
      return frag::complete(irp, STATUS_NOT_SUPPORTED);
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
          PoStartNextPowerIrp(done);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(frag::layerOf(device).lower, irp);
    return STATUS_PENDING;
  }));
  addDevice(frag::onlyFor(IRP_MJ_POWER, releaseAndPassDown));
  EXPECT_EQ(sim::power::sendDevicePower(bottom(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(sim::power::sleep(bottom(), PowerSystemHibernate), STATUS_SUCCESS);
  Completion wake;
  ASSERT_EQ(PoRequestPowerIrp(bottom(), IRP_MN_WAIT_WAKE, systemPowerState(PowerSystemSleeping3), recordCompletion,
                              &wake, nullptr),
            STATUS_PENDING);
  EXPECT_EQ(wake.status, STATUS_NOT_SUPPORTED);
}

// The request goes to the top of the stack; the completion function runs
// once, with the device it was asked for and the final status, and the IRP is
// freed (TearDown finds none). A failed allocation calls nothing.
TEST_F(PowerTest, PoRequestPowerIrpCompletesOnceWithTheStatusOrFailsToAllocate) {
  addBottom(STATUS_INVALID_DEVICE_STATE);
  std::vector<DEVICE_POWER_STATE> topSaw;
  addDevice(frag::onlyFor(IRP_MJ_POWER, [&](PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->Parameters.Power.Type, DevicePowerState);
    topSaw.push_back(stack->Parameters.Power.State.DeviceState);
    return releaseAndPassDown(device, irp);
  }));
  Completion c;
  EXPECT_EQ(PoRequestPowerIrp(bottom(), IRP_MN_QUERY_POWER, deviceState(PowerDeviceD2), recordCompletion, &c, nullptr),
            STATUS_PENDING);
  sim::runReady();
  EXPECT_EQ(topSaw, std::vector<DEVICE_POWER_STATE>{PowerDeviceD2});
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(c.device, bottom()) << "the device object the request was made for";
  EXPECT_EQ(c.minor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(c.state.DeviceState, PowerDeviceD2);
  EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_STATE);

  sim::faults::arm(1);
  EXPECT_EQ(PoRequestPowerIrp(bottom(), IRP_MN_SET_POWER, deviceState(PowerDeviceD3), recordCompletion, &c, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(sim::faults::fired());
  sim::faults::disarm();
  EXPECT_EQ(PoRequestPowerIrp(bottom(), IRP_MN_POWER_SEQUENCE, deviceState(PowerDeviceD3), recordCompletion, &c,
                              nullptr),
            STATUS_INVALID_PARAMETER_2);
  sim::runReady();
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(topSaw.size(), 1u);
}

// A test can have power IRPs delivered at DISPATCH_LEVEL: the driver then
// defers its work to a work item. A power IRP passed at DISPATCH_LEVEL to a
// DO_POWER_PAGABLE device waits for PASSIVE_LEVEL instead.
TEST_F(PowerTest, DeliveryAtDispatchLevelAndPagableDevicesAtPassiveLevel) {
  addBottom();
  struct Deferred {
    PIO_WORKITEM item = nullptr;
    PIRP irp = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<KIRQL> irqls;
  } deferred;
  PDEVICE_OBJECT top = addDevice(frag::onlyFor(IRP_MJ_POWER, [&](PDEVICE_OBJECT device, PIRP irp) {
    deferred.irqls.push_back(KeGetCurrentIrql());
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) return releaseAndPassDown(device, irp);
    deferred.item = IoAllocateWorkItem(device);
    deferred.irp = irp;
    deferred.lower = frag::layerOf(device).lower;
    IoMarkIrpPending(irp);
    IoQueueWorkItem(
        deferred.item,
        [](PDEVICE_OBJECT, PVOID context) {
          auto d = static_cast<Deferred*>(context);
          IoFreeWorkItem(d->item);
          PoStartNextPowerIrp(d->irp);
          IoSkipCurrentIrpStackLocation(d->irp);
          PoCallDriver(d->lower, d->irp);
        },
        DelayedWorkQueue, &deferred);
    return STATUS_PENDING;
  }));

  sim::power::setDeliveryIrql(DISPATCH_LEVEL);
  EXPECT_EQ(sim::power::sendDevicePower(bottom(), IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  sim::power::setDeliveryIrql(PASSIVE_LEVEL);
  EXPECT_EQ(sim::power::sendDevicePower(bottom(), IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(deferred.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, PASSIVE_LEVEL}));

  top->Flags |= DO_POWER_PAGABLE;
  Completion c;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(PoRequestPowerIrp(bottom(), IRP_MN_SET_POWER, deviceState(PowerDeviceD2), recordCompletion, &c, nullptr),
            STATUS_PENDING);
  KeLowerIrql(old);
  EXPECT_EQ(deferred.irqls.size(), 2u) << "not called at DISPATCH_LEVEL";
  sim::runReady();
  EXPECT_EQ(deferred.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, PASSIVE_LEVEL, PASSIVE_LEVEL}));
  EXPECT_EQ(c.status, STATUS_SUCCESS);
}

// A power policy owner on a PDO: system requests go down, and on the way back
// become the matching device request (PoRequestPowerIrp); the system request
// completes when that does. It can veto a sleep.
struct Policy {
  static inline PDEVICE_OBJECT fdo = nullptr;
  static inline PDEVICE_OBJECT lower = nullptr;
  static inline PDEVICE_OBJECT pdo = nullptr;
  static inline PIRP systemIrp = nullptr;
  static inline bool vetoSleep = false;

  static NTSTATUS complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  static NTSTATUS power(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool system = stack->Parameters.Power.Type == SystemPowerState &&
                  (stack->MinorFunction == IRP_MN_QUERY_POWER || stack->MinorFunction == IRP_MN_SET_POWER);
    if (system && stack->MinorFunction == IRP_MN_QUERY_POWER && vetoSleep) {
      PoStartNextPowerIrp(irp);
      return complete(irp, STATUS_UNSUCCESSFUL);
    }
    if (!system) {
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(lower, irp);
    }
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, systemDone, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(lower, irp);
    return STATUS_PENDING;
  }
  static NTSTATUS systemDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status)) {
      systemIrp = irp;
      POWER_STATE d;
      d.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
      if (NT_SUCCESS(PoRequestPowerIrp(pdo, stack->MinorFunction, d, deviceDone, nullptr, nullptr)))
        return STATUS_MORE_PROCESSING_REQUIRED;
      systemIrp = nullptr;
    }
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
  }
  static void deviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK io) {
    PIRP irp = systemIrp;
    systemIrp = nullptr;
    PoStartNextPowerIrp(irp);
    complete(irp, io->Status);
  }
  static NTSTATUS pnp(PDEVICE_OBJECT self, PIRP irp) {
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
      IoDetachDevice(lower);
      IoDeleteDevice(self);
      fdo = nullptr;
    }
    return status;
  }
  static NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    pdo = physical;
    lower = IoAttachDeviceToDeviceStack(fdo, physical);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
  }
  static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = pnp;
    driver->MajorFunction[IRP_MJ_POWER] = power;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
  }
};

class PowerManagerTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    load();
  }
  void load() {
    Policy::vetoSleep = false;
    Policy::systemIrp = nullptr;
    driver = sim::loadDriver(u"policy", Policy::entry);
    pdo = sim::pnp::createPhysicalDevice();
    ASSERT_EQ(sim::pnp::addDevice(driver, pdo), STATUS_SUCCESS);
  }
  void unload() {
    for (PDEVICE_OBJECT plugged : {pdo, raw}) {
      if (!plugged || !sim::pnp::isPlugged(plugged)) continue;
      if (plugged->AttachedDevice) sim::pnp::send(plugged, IRP_MN_REMOVE_DEVICE).wait();
      sim::pnp::deletePhysicalDevice(plugged);
    }
    raw = nullptr;
    sim::unloadDriver(driver);
  }
  void TearDown() override {
    if (!HasFailure()) unload();
    SimTest::TearDown();
  }
  static std::vector<std::tuple<UCHAR, POWER_STATE_TYPE, int>> busSaw(PDEVICE_OBJECT pdo) {
    std::vector<std::tuple<UCHAR, POWER_STATE_TYPE, int>> seen;
    for (const sim::power::BusPowerRequest& r : sim::power::busPowerRequests(pdo))
      seen.emplace_back(r.minor, r.type, r.type == SystemPowerState ? int(r.state.SystemState) : int(r.state.DeviceState));
    return seen;
  }
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT raw = nullptr;  // a second PDO with no driver
};

using Seen = std::vector<std::tuple<UCHAR, POWER_STATE_TYPE, int>>;

TEST_F(PowerManagerTest, SleepAndWakeReachTheBusAsSystemThenDeviceRequests) {
  ASSERT_EQ(sim::power::sleep(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(sim::power::systemState(), PowerSystemSleeping3);
  EXPECT_EQ(sim::pnp::devicePowerState(pdo), PowerDeviceD3) << "the bus told the power manager (PoSetPowerState)";
  ASSERT_EQ(sim::power::wake(pdo), STATUS_SUCCESS);
  EXPECT_EQ(sim::power::systemState(), PowerSystemWorking);
  EXPECT_EQ(sim::pnp::devicePowerState(pdo), PowerDeviceD0);
  EXPECT_EQ(busSaw(pdo), (Seen{{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3},
                               {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3},
                               {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3},
                               {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3},
                               {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
                               {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0}}));
}

// A veto stops the sleep before any set, and the stack hears that the system
// stays in S0. Over several PDOs, every one is queried before any is set.
TEST_F(PowerManagerTest, AVetoedQueryLeavesTheSystemWhereItWas) {
  raw = sim::pnp::createPhysicalDevice();
  Policy::vetoSleep = true;
  EXPECT_EQ(sim::power::sleep(pdo, PowerSystemSleeping1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sim::power::sleepAll(PowerSystemHibernate), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sim::power::systemState(), PowerSystemWorking);
  Seen reaffirm{{IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
                {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0}};
  Seen twice = reaffirm;
  twice.insert(twice.end(), reaffirm.begin(), reaffirm.end());
  EXPECT_EQ(busSaw(pdo), twice);
  EXPECT_TRUE(busSaw(raw).empty()) << "the first PDO vetoed before the second was queried";

  Policy::vetoSleep = false;
  ASSERT_EQ(sim::power::sleepAll(PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(busSaw(raw), (Seen{{IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemHibernate},
                               {IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate}}));
  EXPECT_EQ(sim::pnp::devicePowerState(pdo), PowerDeviceD3);
  ASSERT_EQ(sim::power::wakeAll(), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::devicePowerState(pdo), PowerDeviceD0);
}

// The bus keeps one wait-wake pending per PDO until the device signals or the
// sender cancels; a second fails busy, one for too deep a state fails at once.
TEST_F(PowerManagerTest, WaitWakeStaysPendingUntilTheDeviceSignalsOrItIsCancelled) {
  Completion first, second, deep;
  PIRP irp = nullptr;
  ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, systemPowerState(PowerSystemSleeping3), recordCompletion, &first,
                              &irp),
            STATUS_PENDING);
  sim::runReady();
  EXPECT_TRUE(sim::power::waitWakePending(pdo));
  EXPECT_EQ(first.calls, 0);
  PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, systemPowerState(PowerSystemSleeping3), recordCompletion, &second, nullptr);
  PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, systemPowerState(PowerSystemHibernate), recordCompletion, &deep, nullptr);
  EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(deep.status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(sim::power::signalWake(pdo));
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.state.SystemState, PowerSystemSleeping3);
  EXPECT_FALSE(sim::power::signalWake(pdo)) << "nothing pending any more";

  Completion cancelled;
  ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, systemPowerState(PowerSystemSleeping1), recordCompletion,
                              &cancelled, &irp),
            STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(cancelled.calls, 1);
  EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
  EXPECT_FALSE(sim::power::waitWakePending(pdo));
}

// Concurrent mode: queued and deferred power IRPs are dispatched on worker
// threads while the test thread waits.
TEST_F(PowerManagerTest, SleepAndWakeOnWorkerThreads) {
  unload();
  sim::boot({.mode = sim::Mode::Concurrent, .seed = sim::seed(), .workerThreads = 2});
  load();
  sim::power::setDeliveryIrql(DISPATCH_LEVEL);  // the PDO's dispatch then waits for a worker
  for (int round = 0; round < 10; ++round) {
    ASSERT_EQ(sim::power::sleep(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::devicePowerState(pdo), PowerDeviceD3);
    ASSERT_EQ(sim::power::wake(pdo), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::devicePowerState(pdo), PowerDeviceD0);
  }
}

}  // namespace
