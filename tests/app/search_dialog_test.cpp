// "Searching Packets": the first packet, matches, pause and continue, stop,
// completion, the count, and closing while the worker runs.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QRegularExpression>

#include "analysis/dialogs/search_packets_dlg.h"
#include "analysis/engine/ts_file.h"
#include "tests/ui/qt_test_support.h"
#include "tests/support/test_env.h"

namespace {

// Decimal value of one field in a packet header report.
int Field(const QString& report, const char* name) {
  const QRegularExpression line(QStringLiteral("(?:^|\\n)%1 +(\\d+) 0X").arg(QLatin1String(name)));
  const QRegularExpressionMatch match = line.match(report);
  return match.hasMatch() ? match.captured(1).toInt() : -1;
}

class SearchPacketsTest : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    ResetAnalysis();
    strTsFileName = LongSample();
    ASSERT_EQ(OpenTsFile(), 1);
    ASSERT_EQ(FirstPacket(), 1);
    firstReport_ = QString::fromStdString(PacketHeaderReport());
    ASSERT_EQ(RestartTsFile(), 1);
    dialog_ = std::make_unique<CSearchPacketsDlg>(nullptr);
    dialog_->InitDialog();
  }
  void TearDown() override {
    dialog_.reset();
    ResetAnalysis();
  }

  void Click(int id) { dialog_->Item<QPushButton>(id)->click(); }
  QString Text(int id) const { return dialog_->GetDlgItemText(id); }
  bool WaitForMatchOrEnd() {
    return ProcessEventsUntil([this] { return dialog_->IsPaused() || !dialog_->IsSearching(); });
  }
  QString CountAfterTick() {
    ProcessEventsUntil([] { return false; }, 2 * CSearchPacketsDlg::kCountMilliseconds + 50);
    return Text(1012);
  }

  RecordingUiHooks hooks_;
  QString firstReport_;
  std::unique_ptr<CSearchPacketsDlg> dialog_;
};

TEST_F(SearchPacketsTest, StartsOnTheFirstPacketWithTheButtonsIdle) {
  EXPECT_EQ(Text(1000), firstReport_);
  EXPECT_EQ(Field(firstReport_, "PID"), 17);
  EXPECT_EQ(Text(1004), QStringLiteral("0"));
  EXPECT_EQ(Text(1010), QStringLiteral("Search"));
  EXPECT_EQ(Text(1011), QStringLiteral("Pause"));
  EXPECT_FALSE(dialog_->GetDlgItem(1011)->isEnabled());
  EXPECT_EQ(CountAfterTick(), QStringLiteral("[           1]"));
  Click(1001);
  EXPECT_NE(Text(1000), firstReport_);
  EXPECT_EQ(CountAfterTick(), QStringLiteral("[           2]"));
}

TEST_F(SearchPacketsTest, MatchPausesOnThePacketAndContinueFindsTheNext) {
  Click(1010);  // every list on its first item: PID 0 only
  EXPECT_EQ(Text(1010), QStringLiteral("Stop"));
  ASSERT_TRUE(WaitForMatchOrEnd());
  ASSERT_TRUE(dialog_->IsPaused());
  EXPECT_EQ(Field(Text(1000), "PID"), 0);
  EXPECT_EQ(Text(1011), QStringLiteral("Continue"));
  EXPECT_TRUE(dialog_->GetDlgItem(1011)->isEnabled());
  const int countAtMatch = nPacketCount.load();
  EXPECT_EQ(CountAfterTick(), QString::asprintf("[%12d]", countAtMatch));
  EXPECT_EQ(nPacketCount.load(), countAtMatch);  // the worker waits

  Click(1011);
  EXPECT_EQ(Text(1011), QStringLiteral("Pause"));
  ASSERT_TRUE(WaitForMatchOrEnd());
  ASSERT_TRUE(dialog_->IsPaused());
  EXPECT_GT(nPacketCount.load(), countAtMatch);
  EXPECT_EQ(Field(Text(1000), "PID"), 0);

  // While paused, Next steps the engine itself.
  const int paused = nPacketCount.load();
  Click(1001);
  EXPECT_EQ(nPacketCount.load(), paused + 1);
  EXPECT_TRUE(hooks_.Messages().empty());
}

TEST_F(SearchPacketsTest, AllConditionsMustHold) {
  dialog_->SetDlgItemText(1004, QStringLiteral("768"));
  dialog_->Item<QComboBox>(1005)->setCurrentIndex(2);  // "1"
  dialog_->Item<QComboBox>(1009)->setCurrentIndex(4);  // "11"
  Click(1010);
  ASSERT_TRUE(WaitForMatchOrEnd());
  ASSERT_TRUE(dialog_->IsPaused());
  const QString report = Text(1000);
  EXPECT_EQ(Field(report, "PID"), 768);
  EXPECT_EQ(Field(report, "payload_unit_start_indicator"), 1);
  EXPECT_EQ(Field(report, "adaptation_field_control"), 3);
  EXPECT_EQ(PacketFilter.pidEnable, 1);
  EXPECT_EQ(PacketFilter.priorityEnable, 0);
  EXPECT_EQ(PacketFilter.continuityEnable, 0);
}

TEST_F(SearchPacketsTest, PauseWaitsForTheWorkerAndStopShowsTheFirstPacket) {
  dialog_->SetDlgItemText(1004, QStringLiteral("8191"));  // null packets: many
  Click(1010);
  Click(1011);  // pause at once, whether or not a match came first
  EXPECT_TRUE(dialog_->IsPaused());
  EXPECT_EQ(Text(1011), QStringLiteral("Continue"));
  const int count = nPacketCount.load();
  ProcessEventsUntil([] { return false; }, 150);
  EXPECT_EQ(nPacketCount.load(), count);

  Click(1010);  // stop while paused
  EXPECT_FALSE(dialog_->IsSearching());
  EXPECT_EQ(Text(1010), QStringLiteral("Search"));
  EXPECT_EQ(Text(1011), QStringLiteral("Pause"));
  EXPECT_FALSE(dialog_->GetDlgItem(1011)->isEnabled());
  EXPECT_EQ(Text(1000), firstReport_);
  EXPECT_EQ(CountAfterTick(), QStringLiteral("[           1]"));
}

TEST_F(SearchPacketsTest, SearchToTheEndCompletesAndRestartsTheFile) {
  dialog_->SetDlgItemText(1004, QStringLiteral("8190"));  // not in the stream
  Click(1010);
  ASSERT_TRUE(ProcessEventsUntil([this] { return !dialog_->IsSearching(); }, 30000));
  EXPECT_EQ(hooks_.Messages(), std::vector<std::string>{"Searching complete !"});
  EXPECT_EQ(Text(1010), QStringLiteral("Search"));
  EXPECT_EQ(Text(1011), QStringLiteral("Pause"));
  EXPECT_FALSE(dialog_->GetDlgItem(1011)->isEnabled());
  EXPECT_EQ(CountAfterTick(), QStringLiteral("[           0]"));
  Click(1001);
  EXPECT_EQ(Text(1000), firstReport_);

  // A second search starts from the top again.
  dialog_->SetDlgItemText(1004, QStringLiteral("17"));
  Click(1010);
  ASSERT_TRUE(WaitForMatchOrEnd());
  EXPECT_TRUE(dialog_->IsPaused());
  EXPECT_EQ(Field(Text(1000), "PID"), 17);
}

TEST_F(SearchPacketsTest, RefusedPidKeepsThePreviousValue) {
  for (const char* refused : {"abc", "+17", "8192"}) {
    RecordingUiHooks hooks;
    dialog_->SetDlgItemText(1004, QString::fromLatin1(refused));
    dialog_->accept();  // reads the fields; the dialog is not shown, nothing closes
    EXPECT_EQ(hooks.Messages(), std::vector<std::string>{"Please enter an integer from 0 to 8191."}) << refused;
  }
  dialog_->SetDlgItemText(1004, QStringLiteral("abc"));
  Click(1010);
  EXPECT_EQ(hooks_.Messages(), std::vector<std::string>{"Please enter an integer from 0 to 8191."});
  ASSERT_TRUE(WaitForMatchOrEnd());
  EXPECT_EQ(Field(Text(1000), "PID"), 0);
  // OK reads the fields too: a refused PID keeps the dialog open.
  dialog_->show();
  dialog_->accept();
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_FALSE(dialog_->IsSearching());  // the worker was stopped all the same
  EXPECT_EQ(Text(1010), QStringLiteral("Search"));
  EXPECT_EQ(hooks_.Messages().size(), 2u);
  dialog_->SetDlgItemText(1004, QStringLiteral("0"));
  dialog_->accept();
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->result(), QDialog::Accepted);
}

TEST_F(SearchPacketsTest, EscapeAndCancelStopARunningWorker) {
  for (int round = 0; round < 2; ++round) {
    dialog_->SetDlgItemText(1004, QStringLiteral("8190"));
    dialog_->show();
    Click(1010);
    // The worker cannot complete without this thread (its completion step
    // runs here), so it is still running when the dialog is closed.
    ASSERT_TRUE(dialog_->IsSearching());
    if (round == 0) {
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(dialog_.get(), &escape);
    } else {
      Click(2);
    }
    EXPECT_FALSE(dialog_->isVisible());
    EXPECT_EQ(dialog_->result(), QDialog::Rejected);
    // The worker has ended: nothing steps the engine any more.
    const int count = nPacketCount.load();
    ProcessEventsUntil([] { return false; }, 100);
    EXPECT_EQ(nPacketCount.load(), count);
    dialog_ = std::make_unique<CSearchPacketsDlg>(nullptr);
    ASSERT_EQ(RestartTsFile(), 1);
    dialog_->InitDialog();
  }
}

}  // namespace
