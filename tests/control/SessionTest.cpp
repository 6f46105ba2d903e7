#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "control/Session.h"
#include "tests/control/ControlTestUtil.h"

namespace tolmix {
namespace {

class Session : public ::testing::Test {
 protected:
  void TearDown() override { control::ClearSession(); }
};

TEST_F(Session, WritesReplaceClearAndCut) {
  control::ReplaceSession("P11", "1234");
  control::SessionSnapshot s = control::SnapshotSession();
  EXPECT_STREQ(s.szInterface, "P11");
  EXPECT_STREQ(s.szPassword, "1234");

  control::SetSessionPassword("99");
  s = control::SnapshotSession();
  EXPECT_STREQ(s.szInterface, "P11");
  EXPECT_STREQ(s.szPassword, "99");

  // A shorter value leaves no bytes of the longer one behind.
  control::ReplaceSession("SKF", nullptr);
  s = control::SnapshotSession();
  EXPECT_EQ(memcmp(s.szInterface, "SKF\0\0\0", 6), 0);
  EXPECT_STREQ(s.szPassword, "");

  std::string longText(400, 'x');
  control::ReplaceSession(longText.c_str(), longText.c_str());
  s = control::SnapshotSession();
  EXPECT_EQ(strlen(s.szInterface), 255u);
  EXPECT_EQ(strlen(s.szPassword), 255u);

  control::ClearSession();
  s = control::SnapshotSession();
  for (char b : s.szInterface) ASSERT_EQ(b, 0);
  for (char b : s.szPassword) ASSERT_EQ(b, 0);
}

TEST_F(Session, ASecondControlStartsWithTheSessionSelector) {
  CtrlPtr first = NewControl();
  EXPECT_STREQ(CTOLMIXCtrlTestPeer::Interface(*first), "");
  control::ReplaceSession("P11", "pin");
  CtrlPtr second = NewControl();
  EXPECT_STREQ(CTOLMIXCtrlTestPeer::Interface(*second), "P11");
  EXPECT_STREQ(CTOLMIXCtrlTestPeer::Interface(*first), "") << "existing controls keep theirs";
  control::ClearSession();
  CtrlPtr third = NewControl();
  EXPECT_STREQ(CTOLMIXCtrlTestPeer::Interface(*third), "");
}

TEST_F(Session, SnapshotsNeverPairValuesOfDifferentWrites) {
  // Two writers install matching pairs of different lengths; readers check
  // that every snapshot is one pair whole.
  const std::string selA = "P11", pwA(200, 'a');
  const std::string selB = "SKF-long-selector", pwB = "b";
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0}, reads{0};
  auto writer = [&](const std::string& sel, const std::string& pw) {
    for (int i = 0; i < 20000 && !stop; ++i) control::ReplaceSession(sel.c_str(), pw.c_str());
  };
  auto reader = [&] {
    while (!stop) {
      control::SessionSnapshot s = control::SnapshotSession();
      std::string sel = s.szInterface, pw = s.szPassword;
      bool ok = (sel.empty() && pw.empty()) || (sel == selA && pw == pwA) ||
                (sel == selB && pw == pwB);
      if (!ok) ++torn;
      ++reads;
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(reader);
  threads.emplace_back(reader);
  std::thread w1(writer, selA, pwA), w2(writer, selB, pwB);
  w1.join();
  w2.join();
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace tolmix
