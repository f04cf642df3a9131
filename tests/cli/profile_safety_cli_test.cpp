// The settings profile as another user meets it: a profile that user cannot
// read (root's, mode 000, as `sudo -E` leaves it) is neither used silently
// nor rewritten, writes keep the sections they do not change, and a profile
// that is a symbolic link stays one. Runs the built vantrel-cli as that user.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

const std::string kCli = std::string(VANTREL_BINARY_DIR) + "/cli/vantrel-cli";

// The family sections a user has set up, which an LNB change must not touch.
const std::string kProfile =
    "[DTTSETTINGP]\nFREQ=474000\nBWID=8\n\n"
    "[DSTSETTINGP]\nFREQ=11778\nSYMR=27500\n\n"
    "[DCTSETTINGP]\nFREQ=306000\nQAM=4\n\n"
    "[LNB1]\n22KHz Tone=0\nLNB Type=1\n\n";

// vantrel-cli ARGS with HOME=home, as `uid` (the caller's own when it is not
// root: then the profile is made unreadable by its mode alone).
CliRun RunCliAs(uid_t uid, const std::string& home, const std::vector<std::string>& args, const TempDir& files) {
  const std::string outPath = files.File("out"), errPath = files.File("err");
  const pid_t child = fork();
  if (child == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    if (getuid() == 0 && uid != 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
      _exit(126);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    std::vector<char*> argv{const_cast<char*>(kCli.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(kCli.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  CliRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFileBytes(outPath);
  run.err = ReadFileBytes(errPath);
  return run;
}

// A user's home with ~/.config/CAPTURE; as root, the home of a user id no
// account has (nothing is added to the system), reachable by it.
class ProfileAsAnotherUser : public ::testing::Test {
protected:
  void SetUp() override {
    user_ = getuid() == 0 ? 61000 + static_cast<uid_t>(getpid() % 1000) : getuid();
    ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
    home_ = dir_.File("home");
    profileDir_ = home_ + "/.config/CAPTURE";
    std::filesystem::create_directories(profileDir_);
    for (const std::string& path : {home_, home_ + "/.config", profileDir_})
      ASSERT_EQ(chown(path.c_str(), user_, user_), 0);
    profile_ = profileDir_ + "/VANTREL.ini";
  }
  CliRun Cli(const std::vector<std::string>& args) { return RunCliAs(user_, home_, args, output_); }

  TempDir dir_, output_;
  uid_t user_ = 0;
  std::string home_, profileDir_, profile_;
};

TEST_F(ProfileAsAnotherUser, AnUnreadableProfileIsNamedWithTheReasonAndNeverRewritten) {
  WriteFileBytes(profile_, kProfile);
  ASSERT_EQ(chmod(profile_.c_str(), 0), 0);  // root's when run as root, as sudo -E leaves it
  struct stat before {};
  ASSERT_EQ(stat(profile_.c_str(), &before), 0);

  const CliRun show = Cli({"lnb"});
  EXPECT_EQ(show.exitCode, 0) << show.err;
  const std::string warning = "vantrel-cli: the settings file " + profile_ +
                              " cannot be read (Permission denied): the stored settings are not used and "
                              "the file is left as it is\n";
  EXPECT_EQ(show.err, warning);
  EXPECT_NE(show.out.find("tone off"), std::string::npos) << show.out;

  const CliRun set = Cli({"lnb", "--tone", "on"});
  EXPECT_EQ(set.exitCode, 1);
  EXPECT_EQ(set.err, warning + "vantrel-cli: could not write the LNB settings to " + profile_ + "\n");
  struct stat after {};
  ASSERT_EQ(stat(profile_.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the profile was replaced";
  EXPECT_EQ(after.st_mode & 07777, 0u);
  ASSERT_EQ(chmod(profile_.c_str(), 0600), 0);
  EXPECT_EQ(ReadFileBytes(profile_), kProfile);
}

TEST_F(ProfileAsAnotherUser, AnLnbChangeKeepsTheFamilySectionsAndALinkStaysALink) {
  struct Case {
    const char* name;
    bool throughLink;
  };
  for (const Case& each : {Case{"plain file", false}, Case{"symbolic link", true}}) {
    SCOPED_TRACE(each.name);
    std::filesystem::remove(profile_);
    const std::string target = each.throughLink ? home_ + "/dotfiles.ini" : profile_;
    WriteFileBytes(target, kProfile);
    ASSERT_EQ(chown(target.c_str(), user_, user_), 0);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    if (each.throughLink) std::filesystem::create_symlink("../../dotfiles.ini", profile_);

    const CliRun set = Cli({"lnb", "--tone", "on"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(set.err, "");
    EXPECT_EQ(std::filesystem::is_symlink(profile_), each.throughLink);
    const std::string text = ReadFileBytes(target);
    for (const char* kept : {"[DTTSETTINGP]\nFREQ=474000\nBWID=8\n", "[DSTSETTINGP]\nFREQ=11778\nSYMR=27500\n",
                             "[DCTSETTINGP]\nFREQ=306000\nQAM=4\n", "22KHz Tone=1\n", "[LNB4]\n"})
      EXPECT_NE(text.find(kept), std::string::npos) << kept << " missing from\n" << text;
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_uid, user_);
    EXPECT_NE(Cli({"lnb"}).out.find("tone on"), std::string::npos);
  }
}

}  // namespace
