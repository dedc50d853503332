// Tests: cleanup racing the readers. A bulk-in completion that saw the port
// open brings its slot to a resubmission that may reach the send after
// cleanup has cleared portActive and cancelled; reusing the IRP there wipes
// the cancel's mark, so the send itself must look at the port again, or the
// transfer pends on a closed port and the next close waits out its bound.
#include "adapter_fixture.h"

#include "driver/usb/bulk_in.h"

namespace {

constexpr uint8_t kBulkIn = 0x82;

class CleanupRaceTest : public AdapterTest {};

TEST_F(CleanupRaceTest, AResubmissionThatArrivesAfterCleanupStaysOffTheBus) {
  Adapter& a = plug({.loopback = true}, modemClass());
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  app::File port;
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
  ASSERT_EQ(port.cleanup().status, STATUS_SUCCESS);
  ASSERT_EQ(a.model->pendingTransfers(kBulkIn), 0u);

  // The late resubmission, as the completion path makes it.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  TzSerialBulkInSubmit(a.context, 3);
  KeLowerIrql(old);
  sim::runReady();
  EXPECT_EQ(a.model->pendingTransfers(kBulkIn), 0u) << "a reader went back on the bus of a closed port";
  EXPECT_EQ(a.context->bulkInBusy[3], 0);

  int64_t before = sim::now();
  EXPECT_EQ(port.close().status, STATUS_SUCCESS);
  EXPECT_LT(sim::now() - before, sim::kSecond) << "close found every reader at rest";
}

}  // namespace
