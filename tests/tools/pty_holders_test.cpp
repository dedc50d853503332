// Tests of the count of a pty slave's holders (host program side), on a real
// pseudo-terminal: every open and close is done before the count is read,
// as when the bridge looks late.
#include "tools/tzcom/pty_holders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SlaveHoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    slavePath = name;
    std::string error;
    ASSERT_TRUE(holders.watch(slavePath, master, &error)) << error;
  }
  void TearDown() override {
    holders.close();
    if (master >= 0) ::close(master);
  }
  int openSlave() { return ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }
  bool news() {
    pollfd fd{holders.fd(), POLLIN, 0};
    return poll(&fd, 1, 0) == 1;
  }

  int master = -1;
  std::string slavePath;
  tzcom::SlaveHolders holders;
};

TEST_F(SlaveHoldersTest, ProgramsThatOpenTogetherCountOneByOne) {
  EXPECT_FALSE(news());
  int a = openSlave(), b = openSlave();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_TRUE(news());
  EXPECT_EQ(holders.count().holders, 2);
  EXPECT_FALSE(news());  // read

  ::close(a);
  EXPECT_EQ(holders.count().holders, 1);
  EXPECT_EQ(holders.count().departures, 0u);
  ::close(b);
  tzcom::SlaveHolders::Count left = holders.count();
  EXPECT_EQ(left.holders, 0);
  EXPECT_EQ(left.departures, 1u);
}

// The next program is already there when the count is read: the last one
// leaving still counts as a departure.
TEST_F(SlaveHoldersTest, ALeaveAndReopenReadLateIsADeparture) {
  int a = openSlave();
  ASSERT_GE(a, 0);
  EXPECT_EQ(holders.count().holders, 1);
  ::close(a);
  int b = openSlave();
  int c = openSlave();
  ::close(b);
  tzcom::SlaveHolders::Count now = holders.count();
  EXPECT_EQ(now.holders, 1);
  EXPECT_EQ(now.departures, 1u);
  ::close(c);
}

// A descriptor shared by dup and fork is one open file: it leaves with its
// last copy.
TEST_F(SlaveHoldersTest, ADescriptorSharedByForkLeavesWithItsLastCopy) {
  int a = openSlave();
  ASSERT_GE(a, 0);
  int copy = dup(a);
  pid_t child = fork();
  if (child == 0) {
    ::close(a);
    ::close(copy);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ::close(a);
  EXPECT_EQ(holders.count().holders, 1);
  ::close(copy);
  tzcom::SlaveHolders::Count now = holders.count();
  EXPECT_EQ(now.holders, 0);
  EXPECT_EQ(now.departures, 1u);
}

}  // namespace
