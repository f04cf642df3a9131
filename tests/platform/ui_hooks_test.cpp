#include <gtest/gtest.h>

#include "platform/ui_hooks.h"
#include "tests/support/test_env.h"

namespace {

TEST(UiHooks, RecordedMessagesAndFileAnswers) {
  RecordingUiHooks recorder;
  ShowMessage("Open file failure !");
  EXPECT_EQ(recorder.Messages(), std::vector<std::string>{"Open file failure !"});
  recorder.QueueOpenFileAnswer("/tmp/x.ts");
  recorder.QueueOpenFileAnswer("");
  std::string path = "unchanged";
  EXPECT_TRUE(AskOpenFileName("Data Files (*.DAT)|*.DAT||", "*.DAT", path));
  EXPECT_EQ(path, "/tmp/x.ts");
  path = "unchanged";
  EXPECT_FALSE(AskOpenFileName("f", "e", path));
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(recorder.FileRequests(), 2);
  EXPECT_EQ(recorder.LastFilter(), "f");
}

TEST(UiHooks, PreviousHooksComeBackAfterTheScope) {
  RecordingUiHooks outer;
  {
    RecordingUiHooks inner;
    ShowMessage("inner");
    EXPECT_EQ(inner.Messages().size(), 1u);
  }
  ShowMessage("outer");
  EXPECT_EQ(outer.Messages(), std::vector<std::string>{"outer"});
}

TEST(UiHooks, WithoutAFileHookTheRequestIsRefused) {
  UiHooks previous = InstallUiHooks(UiHooks{});
  std::string path;
  EXPECT_FALSE(AskOpenFileName("f", "e", path));
  InstallUiHooks(previous);
}

}  // namespace
