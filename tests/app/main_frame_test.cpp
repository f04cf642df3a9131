// The main frame: menus, toolbar, status bar, window style, the view and the
// command flows of the analysis commands.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <QElapsedTimer>
#include <QProgressDialog>
#include <QTimer>
#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QRegularExpression>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>

#include "analysis/dialogs/pat_section_dlg.h"
#include "analysis/dialogs/pmt_info_dlg.h"
#include "analysis/dialogs/search_packets_dlg.h"
#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"
#include "analysis/engine/ts_file.h"
#include "app/about_box.h"
#include "app/main_frame.h"
#include "app/tollbeck_app.h"
#include "app/tollbeck_view.h"
#include "tests/ui/qt_test_support.h"
#include "tests/support/test_env.h"

namespace {

constexpr const char* kEngineFilter =
    "Data Files (*.DAT)|*.DAT|Transmission Stream (*.TS)|*.TS|All Files (*.*)|*.*||";

class MainFrameTest : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    ResetAnalysis();
    app_ = std::make_unique<CTollbeckApp>();
    ASSERT_TRUE(app_->CreateMainWindow());
    frame_ = app_->GetMainFrame();
  }
  void TearDown() override {
    app_.reset();
    ResetAnalysis();
  }

  QString ViewLine(int y) const {
    for (const auto& line : CTollbeckView::BannerLines())
      if (line.y == y) return line.text;
    return QStringLiteral("<none>");
  }
  void Trigger(int id) { frame_->CommandAction(id)->trigger(); }

  std::unique_ptr<CTollbeckApp> app_;
  CMainFrame* frame_ = nullptr;
};

TEST_F(MainFrameTest, MenusCarryTheTextsAndIds) {
  struct Item {
    const char* text;
    int id;  // 0: separator
  };
  const std::vector<std::pair<const char*, std::vector<Item>>> expected = {
      {"App&lication", {{"E&xit", 57665}}},
      {"&View", {{"&ToolBar", 59392}, {"&StatusBar", 59393}}},
      {"&Analyze",
       {{"Select File...\t(&F)", 32775}, {"", 0}, {"Packets\t(&P)", 32772}, {"PAT\t(&O)", 32773},
        {"PMT\t(&M)", 32778}, {"SDT\t(&N)", 32779}, {"Stream Analysis...\t(&S)", 32790},
        {"Live Stream Analysis...\t(&L)", 32791}, {"", 0},
        {"Reset All\t(&R)", 32777}}},
      {"&Capture", {{"&Special TS...", 32780}, {"Channel Sc&an...", 32794}}},
      {"&Tools", {{"Antenna Tuning &Utility", 32785}}},
      {"&Help", {{"&Getting started", 32793}, {"", 0}, {"&About Vantrel...", 57664}}},
  };
  const QList<QAction*> popups = frame_->menuBar()->actions();
  ASSERT_EQ(popups.size(), static_cast<qsizetype>(expected.size()));
  for (size_t p = 0; p < expected.size(); ++p) {
    EXPECT_EQ(popups[p]->text().toStdString(), expected[p].first);
    const QList<QAction*> items = popups[p]->menu()->actions();
    ASSERT_EQ(items.size(), static_cast<qsizetype>(expected[p].second.size())) << expected[p].first;
    for (size_t i = 0; i < expected[p].second.size(); ++i) {
      const Item& item = expected[p].second[i];
      if (item.id == 0) {
        EXPECT_TRUE(items[i]->isSeparator());
        continue;
      }
      EXPECT_EQ(items[i]->text().toStdString(), item.text);
      EXPECT_EQ(items[i]->objectName().toInt(), item.id);
      EXPECT_EQ(frame_->CommandAction(item.id), items[i]);
    }
  }
  EXPECT_EQ(frame_->CommandAction(kCmdPat)->toolTip(), QStringLiteral("PAT"));
  EXPECT_EQ(frame_->CommandAction(kCmdAbout)->statusTip(),
            QStringLiteral("Display information about version and copyright"));
}

TEST_F(MainFrameTest, ToolbarButtonsInOrderWithTheirTextsAndSize) {
  auto* toolbar = frame_->findChild<QToolBar*>(QStringLiteral("59392"));
  ASSERT_NE(toolbar, nullptr);
  EXPECT_EQ(toolbar->iconSize(), QSize(16, 15));
  EXPECT_TRUE(toolbar->isMovable());
  const QList<QAction*> actions = toolbar->actions();
  const std::vector<std::tuple<int, const char*, const char*>> expected = {
      {32775, "File", "Select"}, {32777, "Reset", "Reset"}, {32790, "Analysis", "Stream Analysis"}, {0, "", ""},
      {32785, "Tuning", "Antenna Tuning"}, {57664, "About", "About"}, {57665, "Exit", "Exit"}};
  ASSERT_EQ(actions.size(), 7);
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& [id, text, tip] = expected[i];
    if (id == 0) {
      EXPECT_TRUE(actions[i]->isSeparator());
      continue;
    }
    EXPECT_EQ(actions[i]->objectName().toInt(), id);
    auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(actions[i]));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->objectName().toInt(), id);
    EXPECT_EQ(button->text().toStdString(), text);
    EXPECT_EQ(button->toolTip().toStdString(), tip);
    // 45 x 42, wider when the text needs it: never elided.
    EXPECT_EQ(button->height(), 42);
    EXPECT_GE(button->width(), std::max(45, button->sizeHint().width())) << text;
    EXPECT_FALSE(button->icon().isNull());
  }
}

TEST_F(MainFrameTest, StatusBarShowsPromptsThenTheIdleText) {
  QStatusBar* status = frame_->statusBar();
  EXPECT_EQ(status->currentMessage(), QStringLiteral("ready"));
  frame_->CommandAction(kCmdSelectFile)->showStatusText(frame_);
  EXPECT_EQ(status->currentMessage(), QStringLiteral("Select a file ..."));
  QStatusTipEvent leave{QString()};
  QApplication::sendEvent(frame_, &leave);
  EXPECT_EQ(status->currentMessage(), QStringLiteral("ready"));

  frame_->show();
  auto* toolbar = frame_->findChild<QToolBar*>(QStringLiteral("59392"));
  Trigger(kCmdViewToolbar);
  EXPECT_FALSE(toolbar->isVisible());
  Trigger(kCmdViewToolbar);
  EXPECT_TRUE(toolbar->isVisible());
  Trigger(kCmdViewStatusBar);
  EXPECT_FALSE(status->isVisible());
  EXPECT_FALSE(frame_->CommandAction(kCmdViewStatusBar)->isChecked());
  frame_->hide();
}

TEST_F(MainFrameTest, WindowCoversACentredQuarterOfTheScreenAndCannotBeResized) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_EQ(frame_->size(), QSize(screen.width() / 2, screen.height() / 2));
  EXPECT_EQ(frame_->geometry().topLeft(), QPoint(screen.width() / 4, screen.height() / 4));
  EXPECT_EQ(frame_->minimumSize(), frame_->maximumSize());
  EXPECT_EQ(frame_->windowTitle(), QStringLiteral("Vantrel"));
  EXPECT_TRUE(frame_->windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST_F(MainFrameTest, ViewShowsTheBannerAndTheSelectedFile) {
  EXPECT_EQ(ViewLine(0), QStringLiteral("Vantrel Tools"));
  EXPECT_EQ(ViewLine(16), QStringLiteral("Version: Beta 1.0"));
  EXPECT_EQ(ViewLine(45), QString(88, QLatin1Char('=')));
  EXPECT_EQ(ViewLine(64), QStringLiteral("No file selected."));
  EXPECT_EQ(ViewLine(80), QString());

  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer(LongSample());
  Trigger(kCmdSelectFile);
  EXPECT_EQ(hooks.LastFilter(), kEngineFilter);
  EXPECT_EQ(hooks.LastDefaultExtension(), "*.DAT");
  EXPECT_EQ(ViewLine(64), QStringLiteral("Selected file : ") + QString::fromStdString(LongSample()));
  SetAnalysingFlag(1);
  EXPECT_EQ(ViewLine(80), QStringLiteral("Analyzing ... !"));
  SetAnalysingFlag(0);

  Trigger(kCmdResetAll);
  EXPECT_EQ(ViewLine(64), QStringLiteral("No file selected."));
  EXPECT_TRUE(hooks.Messages().empty());
}

TEST_F(MainFrameTest, AnalysisWithoutAFileAsksForOneAndStopsWhenCancelled) {
  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer("");
  ShownDialogRecorder dialogs;
  Trigger(kCmdPat);
  EXPECT_EQ(hooks.Messages(), std::vector<std::string>{"Must select a valid file !"});
  EXPECT_EQ(hooks.FileRequests(), 1);
  EXPECT_TRUE(dialogs.Shown().isEmpty());
  EXPECT_EQ(GetAnalysingFlag(), 0);
  EXPECT_EQ(ViewLine(64), QStringLiteral("No file selected."));
}

TEST_F(MainFrameTest, CommandsRedrawTheViewBeforeTheyReturn) {
  frame_->show();
  ASSERT_TRUE(ProcessEventsUntil([this] { return frame_->GetView()->PaintedTexts().size() == 5; }));
  const auto painted = [this](int line) { return frame_->GetView()->PaintedTexts().value(line).toStdString(); };
  EXPECT_EQ(painted(3), "No file selected.");

  // No event is processed between the command and the checks: the redraw
  // happened inside the command.
  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer(LongSample());
  Trigger(kCmdSelectFile);
  EXPECT_EQ(painted(3), "Selected file : " + LongSample());

  std::string duringAnalysis;
  auto watch = WhenModal<CPatSectionDlg>([&](CPatSectionDlg* dialog) {
    duringAnalysis = painted(4);
    dialog->accept();
  });
  Trigger(kCmdPat);
  EXPECT_EQ(duringAnalysis, "Analyzing ... !");
  EXPECT_EQ(painted(4), "");

  Trigger(kCmdResetAll);
  EXPECT_EQ(painted(3), "No file selected.");
  frame_->hide();
}

TEST_F(MainFrameTest, ViewSpeaksTheUsersLanguage) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  EXPECT_EQ(ViewLine(64), QStringLiteral("未选择文件。"));
  strTsFileName = LongSample();
  EXPECT_EQ(ViewLine(64), QStringLiteral("已选择文件：") + QString::fromStdString(LongSample()));
  SetAnalysingFlag(1);
  EXPECT_EQ(ViewLine(80), QStringLiteral("正在分析 ... ！"));
  SetAnalysingFlag(0);
}

TEST_F(MainFrameTest, FileWithoutAPacketSaysSo) {
  TempDir dir;
  WriteFileBytes(dir.File("empty.ts"), "");
  WriteFileBytes(dir.File("short.ts"), std::string(100, '\x47'));  // no whole packet
  WriteFileBytes(dir.File("nosync.ts"), std::string(100000, '\x00'));
  for (const char* name : {"empty.ts", "short.ts", "nosync.ts"}) {
    RecordingUiHooks hooks;
    hooks.QueueOpenFileAnswer(dir.File(name));
    Trigger(kCmdSelectFile);
    ShownDialogRecorder dialogs;
    for (int id : {kCmdPat, kCmdPmt, kCmdSdt, kCmdPackets}) Trigger(id);
    // The search's progress window (named after its text's id) may show on a
    // slow machine; no result dialog may.
    QStringList shown = dialogs.Shown();
    shown.removeAll(QStringLiteral("1730"));
    EXPECT_TRUE(shown.isEmpty()) << name << ": " << shown.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(hooks.Messages(), std::vector<std::string>(4, "No transport stream packet was found in this file."))
        << name;
    EXPECT_EQ(GetAnalysingFlag(), 0);
  }
}

TEST_F(MainFrameTest, AHugeFileWithoutASyncByteNeverHoldsTheWindow) {
  TempDir dir;
  const std::string path = dir.File("huge.ts");
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, off_t{20} << 30), 0);  // 20 GiB of zeros, sparse
  ::close(fd);
  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer(path);
  Trigger(kCmdSelectFile);
  for (int command : {kCmdPackets, kCmdPat}) {
    // The event loop goes on while the file is searched: a 10 ms timer is
    // never held long; the progress window comes, and its Cancel ends it.
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
      longest = std::max(longest, clock.elapsed() - last);
      last = clock.elapsed();
    });
    tick.start(10);
    bool cancelled = false;
    auto watch = WhenModal<QProgressDialog>([&](QProgressDialog* progress) {
      cancelled = true;
      progress->cancel();
    });
    Trigger(command);
    EXPECT_TRUE(cancelled) << command;
    EXPECT_LT(longest, 1000) << command;
    EXPECT_LT(clock.elapsed(), 20000) << command;
  }
  EXPECT_TRUE(hooks.Messages().empty());
  EXPECT_EQ(GetAnalysingFlag(), 0);
}

TEST_F(MainFrameTest, PmtThenPatShowsTheStoredProgramTable) {
  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer(LongSample());
  Trigger(kCmdSelectFile);
  ShownDialogRecorder dialogs;

  QStringList rows;
  bool analysingDuringDialog = false;
  auto watch1 = WhenModal<CPmtInfoDlg>([&](CPmtInfoDlg* dialog) {
    auto* list = dialog->Item<QListWidget>(1018);
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    analysingDuringDialog = ViewLine(80) == QStringLiteral("Analyzing ... !");
    dialog->accept();
  });
  Trigger(kCmdPmt);
  EXPECT_EQ(rows, (QStringList{QStringLiteral("001    101(  65)    512( 200)"),
                               QStringLiteral("002    102(  66)    513( 201)"),
                               QStringLiteral("003    103(  67)    514( 202)")}));
  EXPECT_TRUE(analysingDuringDialog);
  EXPECT_EQ(ViewLine(80), QString());
  EXPECT_EQ(bPatDone, 1);

  QString patReport;
  auto watch2 = WhenModal<CPatSectionDlg>([&](CPatSectionDlg* dialog) {
    patReport = dialog->GetDlgItemText(1002);
    dialog->accept();
  });
  Trigger(kCmdPat);
  EXPECT_EQ(patReport.toStdString(), strPatReport);
  EXPECT_TRUE(patReport.startsWith(QStringLiteral("Number of program is 3\r\n")));
  EXPECT_EQ(dialogs.Shown(), (QStringList{QStringLiteral("147"), QStringLiteral("134"), QStringLiteral("147"),
                                          QStringLiteral("131")}));
  EXPECT_TRUE(hooks.Messages().empty());
}

TEST_F(MainFrameTest, ResetAllForgetsTheFile) {
  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer(LongSample());
  Trigger(kCmdSelectFile);
  Trigger(kCmdResetAll);
  EXPECT_EQ(ViewLine(64), QStringLiteral("No file selected."));
  EXPECT_EQ(pTsFile, nullptr);
  hooks.QueueOpenFileAnswer("");
  Trigger(kCmdSdt);
  EXPECT_EQ(hooks.Messages(), std::vector<std::string>{"Must select a valid file !"});
}

TEST_F(MainFrameTest, PacketsOpensTheSearchDialogOnTheFirstPacket) {
  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer(LongSample());
  QString report;
  auto watch3 = WhenModal<CSearchPacketsDlg>([&](CSearchPacketsDlg* dialog) {
    report = dialog->GetDlgItemText(1000);
    dialog->reject();
  });
  Trigger(kCmdPackets);  // no file yet: asks for one, then opens it
  EXPECT_EQ(hooks.Messages(), std::vector<std::string>{"Must select a valid file !"});
  EXPECT_TRUE(report.contains(QRegularExpression(QStringLiteral("\\r\\nPID +17 0X11 +\\r\\n"))))
      << report.toStdString();
}

TEST_F(MainFrameTest, AboutAndTheDocumentCommands) {
  QString title, version;
  auto watch4 = WhenModal<CAboutBox>([&](CAboutBox* box) {
    title = box->windowTitle();
    for (QLabel* label : box->findChildren<QLabel*>())
      if (label->text().startsWith(QStringLiteral("Vantrel Beta"))) version = label->text();
    box->GetDlgItem(1)->setFocus();
    box->accept();
  });
  Trigger(kCmdAbout);
  EXPECT_EQ(title, QStringLiteral("About Vantrel"));
  EXPECT_EQ(version, QStringLiteral("Vantrel Beta 1.53 Version"));

  // Ctrl+O asks for a file for the empty document and leaves the analysis alone.
  RecordingUiHooks hooks;
  hooks.QueueOpenFileAnswer(LongSample());
  Trigger(kCmdFileOpen);
  EXPECT_EQ(hooks.FileRequests(), 1);
  EXPECT_EQ(hooks.LastFilter(), "All Files (*.*)|*.*||");
  EXPECT_EQ(ViewLine(64), QStringLiteral("No file selected."));
  // Ctrl+N renews the empty document and leaves the selected file alone.
  EXPECT_EQ(frame_->CommandAction(kCmdFileNew)->shortcut(), QKeySequence(QKeySequence::New));
  hooks.QueueOpenFileAnswer(LongSample());
  Trigger(kCmdSelectFile);
  Trigger(kCmdFileNew);
  EXPECT_EQ(ViewLine(64), QStringLiteral("Selected file : ") + QString::fromStdString(LongSample()));
  EXPECT_EQ(strTsFileName, LongSample());
}

}  // namespace
