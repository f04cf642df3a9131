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

TEST(UiHooks, TextsTranslateThroughTheHookAndStayWithoutOne) {
  UiHooks previous = InstallUiHooks(UiHooks{});
  EXPECT_EQ(TranslateText("Operation fail !"), "Operation fail !");
  UiHooks hooks;
  hooks.translate = [](const std::string& text) {
    return text == "Operation fail !" ? std::string("\u64cd\u4f5c\u5931\u8d25\uff01") : text;
  };
  InstallUiHooks(hooks);
  EXPECT_EQ(TranslateText("Operation fail !"), "\u64cd\u4f5c\u5931\u8d25\uff01");
  EXPECT_EQ(TranslateText("unknown"), "unknown");
  InstallUiHooks(previous);
}

}  // namespace
