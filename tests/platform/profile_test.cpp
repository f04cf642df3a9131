#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

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
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "SYMR", 6875), 6875);
  EXPECT_EQ(ReadProfileText("DSTSETTINGT", "NAME", ""), "");
  ASSERT_TRUE(WriteProfileInt("DCTSETTINGP", "FREQ", 474000));
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "SYMR", 6875), 6875);
  EXPECT_EQ(ReadProfileInt("OTHER", "FREQ", -1), -1);
}

TEST_F(ProfileTest, ValuesRoundTripIncludingKeysWithBlanks) {
  ASSERT_TRUE(WriteProfileInt("LNB1", "22KHz Tone", 1));
  ASSERT_TRUE(WriteProfileInt("LNB1", "LNB Enable", 0));
  ASSERT_TRUE(WriteProfileInt("LNB2", "Custom1", -5));
  ASSERT_TRUE(WriteProfileText("DSTSETTINGP", "NAME", "/data/a b\\c\nd.DAT"));
  EXPECT_EQ(ReadProfileInt("LNB1", "22KHz Tone", 7), 1);
  EXPECT_EQ(ReadProfileInt("LNB1", "LNB Enable", 7), 0);
  EXPECT_EQ(ReadProfileInt("LNB2", "Custom1", 7), -5);
  EXPECT_EQ(ReadProfileText("DSTSETTINGP", "NAME"), "/data/a b\\c\nd.DAT");
  // Overwriting keeps one value per key.
  ASSERT_TRUE(WriteProfileInt("LNB1", "22KHz Tone", 0));
  EXPECT_EQ(ReadProfileInt("LNB1", "22KHz Tone", 7), 0);
}

TEST_F(ProfileTest, HandEditedFileReadsAsWrittenAndKeepsItsComments) {
  std::filesystem::create_directories(dir.path() + "/CAPTURE");
  WriteFileBytes(GetProfilePath(),
                 "; written by hand\r\n"
                 "stray = 1\r\n"
                 "[LNB1]\r\n"
                 "  LNB Type = 2  \r\n"
                 "# the dish on the roof\r\n"
                 "DiSEqC=3\r\n"
                 "\r\n"
                 "[ DSTSETTINGP ]\r\n"
                 "NAME =  /data/cap.DAT \r\n"
                 "[LNB1]\r\n"
                 "DiSEqC=4\r\n"
                 "Custom1=5150\r\n");
  EXPECT_EQ(ReadProfileInt("LNB1", "LNB Type", -1), 2);
  EXPECT_EQ(ReadProfileText("DSTSETTINGP", "NAME"), "/data/cap.DAT");
  // A section written twice is one section; its first value of a key counts.
  EXPECT_EQ(ReadProfileInt("LNB1", "DiSEqC", -1), 3);
  EXPECT_EQ(ReadProfileInt("LNB1", "Custom1", -1), 5150);
  // Keys before the first section belong to no section.
  EXPECT_EQ(ReadProfileInt("", "stray", -1), -1);

  // A rewrite keeps the comments, the lines before the first section and
  // both copies of the section, and changes the value that is read.
  ASSERT_TRUE(WriteProfileInt("LNB1", "DiSEqC", 1));
  ASSERT_TRUE(WriteProfileInt("LNB1", "Custom1", 9750));
  EXPECT_EQ(ReadProfileInt("LNB1", "DiSEqC", -1), 1);
  EXPECT_EQ(ReadProfileInt("LNB1", "Custom1", -1), 9750);
  EXPECT_EQ(ReadProfileInt("LNB1", "LNB Type", -1), 2);
  const std::string text = ReadFileBytes(GetProfilePath());
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.rfind("; written by hand\nstray=1\n", 0), 0u) << text;
  EXPECT_NE(text.find("# the dish on the roof\n"), std::string::npos) << text;
  EXPECT_NE(text.find("DiSEqC=4\n"), std::string::npos) << text;
}

TEST_F(ProfileTest, ValuesKeepTheirOwnBlanks) {
  ASSERT_TRUE(WriteProfileText("DSTSETTINGP", "NAME", " a b\t"));
  EXPECT_EQ(ReadProfileText("DSTSETTINGP", "NAME"), " a b\t");
  ASSERT_TRUE(WriteProfileText("S", "K", "\\s"));
  EXPECT_EQ(ReadProfileText("S", "K"), "\\s");
}

TEST_F(ProfileTest, OutOfRangeValuesReadAsTheDefault) {
  ASSERT_TRUE(WriteProfileInt("LNB1", "LNB Type", -3));
  ASSERT_TRUE(WriteProfileInt("LNB1", "DiSEqC", 1000));
  ASSERT_TRUE(WriteProfileInt("LNB1", "LNB Enable", 1));
  EXPECT_EQ(ReadProfileIntInRange("LNB1", "LNB Type", 0, 0, 2), 0);
  EXPECT_EQ(ReadProfileIntInRange("LNB1", "DiSEqC", 0, 0, 4), 0);
  EXPECT_EQ(ReadProfileIntInRange("LNB1", "LNB Enable", 0, 0, 1), 1);
  EXPECT_EQ(ReadProfileIntInRange("LNB1", "Missing", 7, 0, 4), 7);
}

TEST(ProfileHomeTest, WithoutAnAbsoluteXdgConfigHomeTheProfileLivesInHome) {
  TempDir home;
  ScopedEnv homeEnv("HOME", home.path().c_str());
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(GetProfilePath(), home.path() + "/.config/CAPTURE/VANTREL.ini");
    ASSERT_TRUE(WriteProfileInt("S", "K", 4));
    EXPECT_TRUE(std::filesystem::exists(home.path() + "/.config/CAPTURE/VANTREL.ini"));
  }
  ScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
  EXPECT_EQ(GetProfilePath(), home.path() + "/.config/CAPTURE/VANTREL.ini");
  EXPECT_EQ(ReadProfileInt("S", "K", 0), 4);
}

TEST_F(ProfileTest, NamesCompareWithoutCase) {
  ASSERT_TRUE(WriteProfileInt("DttSettingP", "freq", 5));
  EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "FREQ", 0), 5);
}

TEST_F(ProfileTest, NonIntegerValuesGiveTheDefault) {
  for (const char* bad : {"", "abc", "12x", "99999999999", "0x10", "1.5"}) {
    ASSERT_TRUE(WriteProfileText("S", "K", bad));
    EXPECT_EQ(ReadProfileInt("S", "K", 42), 42) << "value '" << bad << "'";
  }
  ASSERT_TRUE(WriteProfileText("S", "K", " -2147483648 "));
  EXPECT_EQ(ReadProfileInt("S", "K", 42), -2147483647 - 1);
}

TEST_F(ProfileTest, RefusesNamesThatWouldBreakTheFile) {
  EXPECT_FALSE(WriteProfileInt("A]B", "K", 1));
  EXPECT_FALSE(WriteProfileInt("S", "K=V", 1));
  EXPECT_FALSE(WriteProfileInt("S", "", 1));
  EXPECT_EQ(ReadProfileInt("S", "K", 3), 3);
}

TEST_F(ProfileTest, UnwritableFolderFailsAndKeepsTheOldFile) {
  ASSERT_TRUE(WriteProfileInt("S", "K", 1));
  std::filesystem::permissions(dir.path() + "/CAPTURE", std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_exec);
  if (access((dir.path() + "/CAPTURE").c_str(), W_OK) == 0) GTEST_SKIP() << "running as a user that ignores permissions";
  EXPECT_FALSE(WriteProfileInt("S", "K", 2));
  EXPECT_EQ(ReadProfileInt("S", "K", 0), 1);
}

// A profile that exists but cannot be read reads as defaults, says why, and
// is never rewritten (every other section would be lost). A folder in its
// place stops root too; a loop of links cannot be written through.
TEST_F(ProfileTest, AProfileThatCannotBeReadIsNeverRewritten) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* reason;
  };
  const Case cases[] = {
      {"folder", [](const std::string& path) { std::filesystem::create_directories(path + "/inside"); },
       "Is a directory"},
      {"loop of links",
       [](const std::string& path) { std::filesystem::create_symlink("VANTREL.ini", path); },
       "Too many levels of symbolic links"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir.path() + "/CAPTURE");
    std::filesystem::create_directories(dir.path() + "/CAPTURE");
    c.make(GetProfilePath());
    EXPECT_EQ(ProfileReadProblem(), c.reason);
    EXPECT_EQ(ReadProfileInt("DTTSETTINGP", "FREQ", 7), 7);
    EXPECT_FALSE(WriteProfileInt("LNB1", "22KHz Tone", 1));
    EXPECT_EQ(LastProfileWriteProblem(), std::string("it cannot be read (") + c.reason + "), so it is left as it is");
    EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::symlink_status(GetProfilePath())));
  }
  std::filesystem::remove_all(dir.path() + "/CAPTURE");
  EXPECT_EQ(ProfileReadProblem(), "") << "a profile not made yet is no problem";
  EXPECT_TRUE(WriteProfileInt("LNB1", "22KHz Tone", 1));
  EXPECT_EQ(LastProfileWriteProblem(), "");
}

// A profile kept elsewhere (a dotfiles folder) through a link: the link
// stays, the file it names is rewritten and keeps its mode.
TEST_F(ProfileTest, ALinkedProfileIsWrittenThroughAndKeepsItsMode) {
  std::filesystem::create_directories(dir.path() + "/CAPTURE");
  std::filesystem::create_directories(dir.path() + "/dotfiles");
  const std::string target = dir.path() + "/dotfiles/vantrel.ini";
  WriteFileBytes(target, "[DCTSETTINGP]\nFREQ=306000\n");
  std::filesystem::permissions(target, std::filesystem::perms(0644));
  std::filesystem::create_symlink("../dotfiles/vantrel.ini", GetProfilePath());
  ASSERT_TRUE(WriteProfileInt("LNB1", "22KHz Tone", 1));
  EXPECT_TRUE(std::filesystem::is_symlink(GetProfilePath()));
  EXPECT_EQ(ReadFileBytes(target), "[DCTSETTINGP]\nFREQ=306000\n\n[LNB1]\n22KHz Tone=1\n\n");
  EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0644));
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
    EXPECT_EQ(ReadProfileInt("CHILD", "K" + std::to_string(i), -1), i);
    EXPECT_EQ(ReadProfileInt("PARENT", "K" + std::to_string(i), -1), i);
  }
}

}  // namespace
