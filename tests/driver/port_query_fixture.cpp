// Tests: the open-port fixture of the query and vendor-code tests.
#include "port_query_fixture.h"

void PortQueryTest::openPort(sim::usb::AdapterOptions options) {
  adapter = &plug(std::move(options));
  context = adapter->context;
  ASSERT_EQ(start(*adapter), STATUS_SUCCESS);
  ASSERT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS);
}

app::Result PortQueryTest::query(ULONG code, ULONG outputLength, std::vector<uint8_t>* output) {
  app::Request request = port.ioctlAsync(code, {}, outputLength);
  app::Result result = request.wait();
  if (output) *output = request.data();
  return result;
}

void PortQueryTest::TearDown() {
  if (port.isOpen()) port.close();
  AdapterTest::TearDown();
}

void PortQueryStressTest::SetUp() {
  sim::boot({.mode = sim::Mode::Concurrent,
             .seed = uint64_t(::testing::UnitTest::GetInstance()->random_seed()),
             .workerThreads = 2});
  reload();
}
