#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/profile.h"
#include "tests/support/test_env.h"

namespace {

class ProfileTest : public ::testing::Test {
protected:
  TempDir dir;
  ScopedEnv env{"XDG_CONFIG_HOME", dir.path().c_str()};
};

TEST_F(ProfileTest, LivesUnderTheCaptureKeyAndApplicationName) {
  EXPECT_EQ(GetProfilePath(), dir.path() + "/CAPTURE/VANTREL.ini");
  ASSERT_TRUE(WriteProfileInt("DSTSETTINGP", "FREQ", 12308));
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/CAPTURE/VANTREL.ini"));
}

TEST_F(ProfileTest, MissingKeysGiveTheDefault) {
  EXPECT_EQ(GetProfileInt("DCTSETTINGP", "SYMR", 6875), 6875);
  EXPECT_EQ(GetProfileString("DSTSETTINGT", "NAME", ""), "");
  ASSERT_TRUE(WriteProfileInt("DCTSETTINGP", "FREQ", 474000));
  EXPECT_EQ(GetProfileInt("DCTSETTINGP", "SYMR", 6875), 6875);
  EXPECT_EQ(GetProfileInt("OTHER", "FREQ", -1), -1);
}

TEST_F(ProfileTest, ValuesRoundTripIncludingKeysWithBlanks) {
  ASSERT_TRUE(WriteProfileInt("LNB1", "22KHz Tone", 1));
  ASSERT_TRUE(WriteProfileInt("LNB1", "LNB Enable", 0));
  ASSERT_TRUE(WriteProfileInt("LNB2", "Custom1", -5));
  ASSERT_TRUE(WriteProfileString("DSTSETTINGP", "NAME", "/data/a b\\c\nd.DAT"));
  EXPECT_EQ(GetProfileInt("LNB1", "22KHz Tone", 7), 1);
  EXPECT_EQ(GetProfileInt("LNB1", "LNB Enable", 7), 0);
  EXPECT_EQ(GetProfileInt("LNB2", "Custom1", 7), -5);
  EXPECT_EQ(GetProfileString("DSTSETTINGP", "NAME"), "/data/a b\\c\nd.DAT");
  // Overwriting keeps one value per key.
  ASSERT_TRUE(WriteProfileInt("LNB1", "22KHz Tone", 0));
  EXPECT_EQ(GetProfileInt("LNB1", "22KHz Tone", 7), 0);
}

TEST_F(ProfileTest, NamesCompareWithoutCase) {
  ASSERT_TRUE(WriteProfileInt("DttSettingP", "freq", 5));
  EXPECT_EQ(GetProfileInt("DTTSETTINGP", "FREQ", 0), 5);
}

TEST_F(ProfileTest, NonIntegerValuesGiveTheDefault) {
  for (const char* bad : {"", "abc", "12x", "99999999999", "0x10", "1.5"}) {
    ASSERT_TRUE(WriteProfileString("S", "K", bad));
    EXPECT_EQ(GetProfileInt("S", "K", 42), 42) << "value '" << bad << "'";
  }
  ASSERT_TRUE(WriteProfileString("S", "K", " -2147483648 "));
  EXPECT_EQ(GetProfileInt("S", "K", 42), -2147483647 - 1);
}

TEST_F(ProfileTest, RefusesNamesThatWouldBreakTheFile) {
  EXPECT_FALSE(WriteProfileInt("A]B", "K", 1));
  EXPECT_FALSE(WriteProfileInt("S", "K=V", 1));
  EXPECT_FALSE(WriteProfileInt("S", "", 1));
  EXPECT_EQ(GetProfileInt("S", "K", 3), 3);
}

TEST_F(ProfileTest, UnwritableFolderFailsAndKeepsTheOldFile) {
  ASSERT_TRUE(WriteProfileInt("S", "K", 1));
  std::filesystem::permissions(dir.path() + "/CAPTURE", std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_exec);
  if (access((dir.path() + "/CAPTURE").c_str(), W_OK) == 0) GTEST_SKIP() << "running as a user that ignores permissions";
  EXPECT_FALSE(WriteProfileInt("S", "K", 2));
  EXPECT_EQ(GetProfileInt("S", "K", 0), 1);
}

TEST_F(ProfileTest, ConcurrentWritersFromTwoProcessesKeepEveryKey) {
  constexpr int kKeys = 40;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = true;
    for (int i = 0; i < kKeys; ++i) ok = WriteProfileInt("CHILD", "K" + std::to_string(i), i) && ok;
    _exit(ok ? 0 : 1);
  }
  for (int i = 0; i < kKeys; ++i) ASSERT_TRUE(WriteProfileInt("PARENT", "K" + std::to_string(i), i));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int i = 0; i < kKeys; ++i) {
    EXPECT_EQ(GetProfileInt("CHILD", "K" + std::to_string(i), -1), i);
    EXPECT_EQ(GetProfileInt("PARENT", "K" + std::to_string(i), -1), i);
  }
}

}  // namespace
