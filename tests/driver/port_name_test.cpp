// Tests: naming the port at start and removing the name at tear-down. The
// link and the device-map value, the Identifier fallback, the retries while
// the installer has not written the name yet (on the virtual clock), the
// device interfaces by class, bad names refused, and the tear-down removing
// exactly the link its start made.
#include "adapter_fixture.h"
#include "driver/pnp/port_name.h"

namespace {

const std::u16string kSerialComm = std::u16string(sim::kDeviceMapRoot) + u"\\SERIALCOMM";

class PortNameTest : public AdapterTest {
 protected:
  static size_t enabled(const GUID& classGuid) {
    size_t n = 0;
    for (const auto& i : sim::pnp::deviceInterfaces(classGuid)) n += i.enabled;
    return n;
  }
  static std::optional<std::u16string> mapValue(const std::u16string& deviceName) {
    return sim::registry::stringValue(kSerialComm, deviceName);
  }
  void expectNothingNamed(const char* why) {
    EXPECT_FALSE(sim::symbolicLinkTarget(u"\\??\\COM7")) << why;
    EXPECT_FALSE(mapValue(u"\\Device\\TALVENO0")) << why;
    EXPECT_EQ(enabled(TzSerialPortInterfaceGuid) + enabled(TzSerialComPortInterfaceGuid) +
                  enabled(TzSerialModemInterfaceGuid),
              0u)
        << why;
  }
};

TEST_F(PortNameTest, PortNameGivesTheLinkAndTheDeviceMapValue) {
  Adapter& a = plug();
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\TALVENO0");
  auto value = sim::registry::value(kSerialComm, u"\\Device\\TALVENO0");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->type, ULONG(REG_SZ));
  EXPECT_EQ(value->data.size(), 10u) << "COM7 and its NUL";
  EXPECT_EQ(mapValue(u"\\Device\\TALVENO0"), u"COM7");
  EXPECT_EQ(enabled(TzSerialPortInterfaceGuid), 1u);
  EXPECT_EQ(enabled(TzSerialComPortInterfaceGuid), 1u);
  EXPECT_EQ(enabled(TzSerialModemInterfaceGuid), 0u);

  app::File port;
  EXPECT_EQ(app::File::open(u"\\??\\COM7", port), STATUS_SUCCESS) << "the name reaches the driver";
  port.close();

  stop(a);
  expectNothingNamed("after tear-down");
}

TEST_F(PortNameTest, IdentifierNamesThePortWhenPortNameIsMissing) {
  Adapter& a = plug({}, {}, std::nullopt);
  sim::registry::setString(sim::pnp::deviceParametersKey(a.pdo), u"Identifier", u"COM12");
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\COM12"), u"\\Device\\TALVENO0");
  EXPECT_EQ(mapValue(u"\\Device\\TALVENO0"), u"COM12");
}

TEST_F(PortNameTest, WithoutANameTheStartFailsAfterTenTriesHalfASecondLater) {
  Adapter& a = plug({}, {}, std::nullopt);
  int64_t begin = sim::now();
  EXPECT_EQ(start(a), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(sim::now() - begin, 500 * sim::kMs);
  expectNothingNamed("a failed start names nothing");
}

TEST_F(PortNameTest, ANameTheInstallerWritesDuringTheRetriesIsPickedUp) {
  Adapter& a = plug({}, {}, std::nullopt);
  std::u16string key = sim::pnp::deviceParametersKey(a.pdo);
  int64_t begin = sim::now();
  sim::schedule(120 * sim::kMs, [key] { sim::registry::setString(key, u"PortName", u"COM3"); });
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(sim::now() - begin, 150 * sim::kMs) << "found on the fourth attempt";
  EXPECT_TRUE(sim::symbolicLinkTarget(u"\\??\\COM3"));
}

TEST_F(PortNameTest, AnUnknownSetupClassNeverStartsAndUndoesItsName) {
  sim::pnp::PhysicalDeviceOptions other;
  other.className = u"Multifunction";
  Adapter& a = plug({}, other);
  EXPECT_EQ(start(a), STATUS_UNSUCCESSFUL);
  expectNothingNamed("everything undone");
  EXPECT_EQ(sim::pnp::deviceInterfaces(TzSerialPortInterfaceGuid).size(), 1u) << "registered, then disabled";
}

TEST_F(PortNameTest, AModemRegistersTheModemInterfaceOnly) {
  Adapter& a = plug({}, modemClass());
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  EXPECT_EQ(enabled(TzSerialModemInterfaceGuid), 1u);
  EXPECT_EQ(enabled(TzSerialComPortInterfaceGuid), 0u);
  EXPECT_EQ(enabled(TzSerialPortInterfaceGuid), 1u);
}

TEST_F(PortNameTest, TearDownRemovesTheLinkItsStartMadeEvenAfterPortNameChanged) {
  Adapter& first = plug({}, {}, u"COM7");
  ASSERT_EQ(start(first), STATUS_SUCCESS);
  Adapter& second = plug({}, {}, u"COM8");
  ASSERT_EQ(start(second), STATUS_SUCCESS);

  // The user renames the first port to the second's name while it runs.
  sim::registry::setString(sim::pnp::deviceParametersKey(first.pdo), u"PortName", u"COM8");
  stop(first);
  EXPECT_FALSE(sim::symbolicLinkTarget(u"\\??\\COM7")) << "the link this start made is gone";
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\COM8"), u"\\Device\\TALVENO1") << "the other port keeps its name";
  EXPECT_EQ(mapValue(u"\\Device\\TALVENO1"), u"COM8");
}

TEST_F(PortNameTest, ANameThatIsNotAStringOrDoesNotFitIsRefused) {
  Adapter& dword = plug({}, {}, std::nullopt);
  sim::registry::setDword(sim::pnp::deviceParametersKey(dword.pdo), u"PortName", 7);
  EXPECT_EQ(start(dword), STATUS_OBJECT_NAME_INVALID);

  Adapter& empty = plug({}, {}, u"");
  EXPECT_EQ(start(empty), STATUS_OBJECT_NAME_INVALID);

  Adapter& tooLong = plug({}, {}, std::u16string(253, u'C'));
  EXPECT_EQ(start(tooLong), STATUS_OBJECT_NAME_INVALID);

  Adapter& longest = plug({}, {}, std::u16string(252, u'C'));
  EXPECT_EQ(start(longest), STATUS_SUCCESS) << "252 characters and the prefix fill the link exactly";
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\" + std::u16string(252, u'C')), u"\\Device\\TALVENO3");
}

TEST_F(PortNameTest, ANameAlreadyTakenFailsTheStartAndLeavesTheOwnerAlone) {
  Adapter& owner = plug({}, {}, u"COM7");
  ASSERT_EQ(start(owner), STATUS_SUCCESS);
  Adapter& clash = plug({}, {}, u"COM7");
  EXPECT_EQ(start(clash), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\TALVENO0");
  EXPECT_FALSE(mapValue(u"\\Device\\TALVENO1"));
}

TEST_F(PortNameTest, TearDownIsSafeTwiceAndAfterAFailedStart) {
  Adapter& a = plug();
  ASSERT_EQ(start(a), STATUS_SUCCESS);
  stop(a);
  stop(a);
  expectNothingNamed("twice");
  ASSERT_EQ(start(a), STATUS_SUCCESS) << "a stopped port starts again";
  EXPECT_EQ(sim::symbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\TALVENO0");
}

}  // namespace
