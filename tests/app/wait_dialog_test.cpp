// The analysis wait popup: runs the analysis on its worker, closes at a
// timer tick after the worker finished, and cannot be ended earlier.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QKeyEvent>

#include "analysis/dialogs/analysis_wait_dlg.h"
#include "analysis/engine/psi.h"
#include "analysis/engine/ts_file.h"
#include "ui/shell_state.h"
#include "tests/ui/qt_test_support.h"
#include "tests/support/test_env.h"

namespace {

class WaitDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    ResetAnalysis();
  }
  void TearDown() override { ResetAnalysis(); }
  RecordingUiHooks hooks_;
};

TEST_F(WaitDialogTest, UnknownKindClosesAtTheFirstTick) {
  nAnalysisKind.store(3);
  CAnalysisWaitDlg popup(nullptr);
  EXPECT_TRUE(popup.windowFlags() & Qt::FramelessWindowHint);
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(popup.DoModal(), QDialog::Accepted);
  EXPECT_GE(clock.elapsed(), CAnalysisWaitDlg::kPollMilliseconds - 20);
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_EQ(nProgramCount, 0);
}

TEST_F(WaitDialogTest, RunsTheAnalysisOfItsKind) {
  strTsFileName = LongSample();
  ASSERT_EQ(OpenTsFile(), 1);
  ASSERT_EQ(RestartTsFile(), 1);
  nAnalysisKind.store(kAnalysisPat);
  CAnalysisWaitDlg popup(nullptr);
  EXPECT_EQ(popup.DoModal(), QDialog::Accepted);
  EXPECT_EQ(bPatDone, 1);
  EXPECT_EQ(nProgramCount, 3);
  EXPECT_EQ(bSdtDone, 0);
}

TEST_F(WaitDialogTest, EscapeAndTheCloseBoxDoNotEndIt) {
  strTsFileName = LongSample();
  ASSERT_EQ(OpenTsFile(), 1);
  ASSERT_EQ(RestartTsFile(), 1);
  nAnalysisKind.store(kAnalysisSdt);
  CAnalysisWaitDlg popup(nullptr);
  bool visibleAfterEscape = false;
  auto watch1 = WhenModal<CAnalysisWaitDlg>([&](CAnalysisWaitDlg* shown) {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(shown, &escape);
    shown->close();
    shown->reject();
    visibleAfterEscape = shown->isVisible();
  });
  EXPECT_EQ(popup.DoModal(), QDialog::Accepted);
  EXPECT_TRUE(visibleAfterEscape);
  EXPECT_EQ(bSdtDone, 1);  // the worker had finished when the popup ended
}

}  // namespace
