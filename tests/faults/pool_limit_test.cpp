// Tests: requests whose size comes from the caller meet a pool that cannot
// grant everything: a block larger than any the pool holds is refused, as
// the platform's pool refuses it, and the request fails with its status.
#include "driver/core/dispatch.h"
#include "sim/cdc_acm.h"
#include "sim/sim.h"
#include "support/sim_test.h"

namespace {

TEST(PoolLimitTest, ABlockLargerThanThePoolHoldsIsRefusedAndCountsNothing) {
  sim::boot();
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T(1) << 40, sim::tag("Test")), nullptr);
  EXPECT_EQ(ExAllocatePoolWithQuotaTag(POOL_TYPE(NonPagedPoolNx | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 0xFFFFFFF0u,
                                       sim::tag("Ddk ")),
            nullptr);
  EXPECT_EQ(sim::poolInUse().blocks, 0u);
  EXPECT_NO_THROW(sim::checkQuiescent());
  sim::shutdown();
}

class QueueSizeLimitTest : public DriverTest {};

// IOCTL_SERIAL_SET_QUEUE_SIZE charges a block of the size asked for; one of
// nearly 4 GiB is refused and the request fails, leaving the port as it was.
TEST_F(QueueSizeLimitTest, AQueueSizeBeyondWhatThePoolGrantsFailsWithInsufficientResources) {
  sim::pnp::PhysicalDeviceOptions modem;
  modem.className = u"Modem";
  auto plugged = sim::usb::plugAdapter({.loopback = true}, modem);
  sim::registry::setString(sim::pnp::deviceParametersKey(plugged.pdo), u"PortName", u"COM7");
  ASSERT_EQ(sim::pnp::addDevice(driver, plugged.pdo), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::startDevice(plugged.pdo), STATUS_SUCCESS);
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);

  SERIAL_QUEUE_SIZE size = {0xFFFFFFF0u, 0};
  EXPECT_EQ(port.ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size, nullptr, 0).status,
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(port.write("ok", 2).information, 2u) << "the port still works";

  port.close();
  EXPECT_EQ(sim::pnp::removeDevice(plugged.pdo), STATUS_SUCCESS);
  sim::pnp::deletePhysicalDevice(plugged.pdo);
}

}  // namespace
