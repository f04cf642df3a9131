// CaptureThreadProc as the progress dialog runs it: settings stored by a
// family's "Capture", the end event, then the result message.
#include <sys/stat.h>

#include <mutex>
#include <thread>

#include "tests/capture/live_box.h"

namespace {

using livebox::LiveBoxTest;
using livebox::NumberedStream;

// Records each message together with whether the end event was already
// signalled when it was shown.
class ResultMessages {
public:
  explicit ResultMessages(std::shared_ptr<SyncEvent> done) : done_(std::move(done)) {
    UiHooks hooks;
    hooks.showMessage = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(text);
      signalledFirst_.push_back(done_->IsSignalled());
    };
    previous_ = InstallUiHooks(hooks);
  }
  ~ResultMessages() { InstallUiHooks(previous_); }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  bool AllAfterTheEvent() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (bool signalled : signalledFirst_)
      if (!signalled) return false;
    return true;
  }

private:
  std::shared_ptr<SyncEvent> done_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
  std::vector<bool> signalledFirst_;
  UiHooks previous_;
};

class CaptureWorker : public LiveBoxTest {
protected:
  void SetUp() override {
    LiveBoxTest::SetUp();
    done_ = std::make_shared<SyncEvent>(true);
    hCaptureDone = done_;
  }
  void TearDown() override {
    hCaptureDone.reset();
    ClearSettingsBlock();
    LiveBoxTest::TearDown();
  }

  // What the terrestrial dialog's "Capture" stores, limited by size.
  void StoreTerrestrialCapture(uint32_t megabytes, const std::string& path) {
    DttFields fields;
    fields.frequencyKHz = 474000;
    fields.bandwidthMHz = 8;
    fields.limits.recordMode = 1;
    fields.limits.megabytes = megabytes;
    fields.limits.captureFile = path;
    StoreDttSettings(fields);
  }

  // Runs the worker as the progress dialog does and waits for its end event.
  int RunWorker() {
    int result = -1;
    std::thread worker([&result] { result = CaptureThreadProc(); });
    EXPECT_EQ(WaitForEvent(*done_, 30000), WaitResult::First);
    worker.join();
    return result;
  }

  TempDir profile_;
  ScopedEnv profileHome_{"XDG_CONFIG_HOME", profile_.path().c_str()};
  std::shared_ptr<SyncEvent> done_;
};

TEST_F(CaptureWorker, CapturesWithTheStoredSettingsThenReportsSuccess) {
  // 2 MB/s: a worker kept off the processor for a second loses nothing.
  ASSERT_TRUE(StartBox({"--kind", "t"}, NumberedStream(), {"--bitrate", "16000000"}));
  std::string path = dir_.File("worker.ts");
  StoreTerrestrialCapture(2, path);
  ResultMessages ui(done_);
  EXPECT_EQ(RunWorker(), 1);
  ASSERT_EQ(ui.Messages().size(), 1u);
  EXPECT_EQ(ui.Messages()[0].rfind("Successful operation !\nSaved 2,097,152 bytes (", 0), 0u) << ui.Messages()[0];
  EXPECT_TRUE(ui.AllAfterTheEvent());
  std::string captured = ReadFileBytes(path);
  EXPECT_EQ(captured.size(), 2u * 1048576u);
  EXPECT_TRUE(LosslessFromFirstSync(captured));
}

TEST_F(CaptureWorker, CancelBeforeTheLoopLeavesTheFileAloneAndReportsFailure) {
  ASSERT_TRUE(StartBox({"--kind", "t"}, NumberedStream()));
  std::string path = dir_.File("cancelled.ts");
  WriteFileBytes(path, "an earlier capture");
  StoreTerrestrialCapture(2, path);
  bCaptureCancel.store(1);  // pressed while the box was being tuned
  ResultMessages ui(done_);
  EXPECT_EQ(RunWorker(), 0);
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{"Operation fail !\nThe capture was cancelled.\nThe file " + path +
                                                    " was left as it was: nothing was written to it."});
  EXPECT_EQ(ReadFileBytes(path), "an earlier capture") << "nothing was captured, nothing replaced";
  EXPECT_EQ(Requests("00222334"), 0) << "no stream started";
  EXPECT_TRUE(GetLastCaptureReport().cancelled);
}

TEST_F(CaptureWorker, BoxThatCannotBeTunedReportsFailureAfterTheEvent) {
  ASSERT_TRUE(StartBox({"--kind", "t"}, NumberedStream(), {"--fail", "222328"}));
  std::string path = dir_.File("untuned.ts");
  StoreTerrestrialCapture(1, path);
  ResultMessages ui(done_);
  EXPECT_EQ(RunWorker(), 0);
  EXPECT_EQ(ui.Messages(), std::vector<std::string>{"Operation fail !\nThe box did not accept the channel.\nThe file " +
                                                    path + " was removed: nothing was written to it."});
  EXPECT_TRUE(ui.AllAfterTheEvent());
  struct stat info {};
  EXPECT_NE(::stat(path.c_str(), &info), 0);
}

}  // namespace
