// The PAT, PMT and SDT result dialogs on the samples: report texts byte for
// byte, the program list and its details, and the empty case.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>

#include "analysis/dialogs/pat_section_dlg.h"
#include "analysis/dialogs/pmt_info_dlg.h"
#include "analysis/dialogs/program_name_dlg.h"
#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"
#include "analysis/engine/ts_file.h"
#include "tests/ui/qt_test_support.h"
#include "tests/support/test_env.h"

namespace {

class ResultDialogsTest : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    ResetAnalysis();
  }
  void TearDown() override { ResetAnalysis(); }

  void Analyse(const std::string& path, int (*stage)()) {
    strTsFileName = path;
    ASSERT_EQ(OpenTsFile(), 1);
    ASSERT_EQ(RestartTsFile(), 1);
    stage();
  }

  RecordingUiHooks hooks_;
};

TEST_F(ResultDialogsTest, PatDialogShowsTheReportAndSectionZero) {
  Analyse(LongSample(), AnalysePat);
  ASSERT_NE(PatSectionList, nullptr);
  CPatSectionDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Program Associate Section"));
  EXPECT_EQ(ToEngineText(dialog.GetDlgItemText(1002)), strPatReport);
  EXPECT_EQ(ToEngineText(dialog.GetDlgItemText(1003)), PatSectionList->front().text);
  EXPECT_TRUE(dialog.GetDlgItemText(1002).contains(QStringLiteral("\r\n001    101(  65)    512( 200)\r\n")));
  EXPECT_TRUE(dialog.GetDlgItemText(1003).startsWith(QStringLiteral("\r\n0x00 0xB0 ")));
  // The hex box shows all 16 columns of a line.
  auto* hex = dialog.Item<QPlainTextEdit>(1003);
  dialog.show();
  EXPECT_GE(hex->viewport()->width(), hex->fontMetrics().horizontalAdvance(QStringLiteral("0xFF ").repeated(16)));
  EXPECT_LE(hex->geometry().right(), dialog.width());
}

TEST_F(ResultDialogsTest, PmtDialogListsTheProgramsAndShowsDetailsOnSelection) {
  Analyse(LongSample(), AnalysePmt);
  CPmtInfoDlg dialog(nullptr);
  auto* edit = dialog.Item<QPlainTextEdit>(1016);
  auto* list = dialog.Item<QListWidget>(1018);
  const QRect editRect = edit->geometry();
  dialog.InitDialog();
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Program Map Section"));
  EXPECT_EQ(dialog.GetDlgItemText(1017), QStringLiteral("Number of program is 3"));

  ASSERT_EQ(list->count(), 3);
  const char* rows[] = {"001    101(  65)    512( 200)", "002    102(  66)    513( 201)",
                        "003    103(  67)    514( 202)"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(list->item(i)->text().toStdString(), rows[i]);
  EXPECT_EQ(list->geometry(), editRect);
  EXPECT_EQ(edit->geometry(), QRect(editRect.x() + editRect.width() + 20, editRect.y(),
                                    dialog.width() - 120 - (editRect.x() + editRect.width() + 20),
                                    editRect.height()));
  EXPECT_EQ(list->currentRow(), 0);
  EXPECT_TRUE(dialog.GetDlgItemText(1016).isEmpty());  // selecting row 0 shows nothing yet

  list->setCurrentRow(2);
  EXPECT_EQ(ToEngineText(dialog.GetDlgItemText(1016)), BuildProgramDetailText(ProgramTable[2]));
  EXPECT_TRUE(dialog.GetDlgItemText(1016).startsWith(QStringLiteral("Video PID :    772(0x00000304)\r\n")));
  list->setCurrentRow(0);
  const QString first = dialog.GetDlgItemText(1016);
  EXPECT_TRUE(first.startsWith(QStringLiteral("Video PID :    768(0x00000300)\r\nAudio PID :\r\nNo. 1 ")));
  EXPECT_TRUE(first.contains(QStringLiteral("\r\nNo. 1                 769\r\n"))) << first.toStdString();

  // A double click shows the details as well.
  dialog.SetDlgItemText(1016, QString());
  emit list->itemDoubleClicked(list->item(0));
  EXPECT_EQ(dialog.GetDlgItemText(1016), first);
}

TEST_F(ResultDialogsTest, ClickOnTheSelectedProgramShowsItsDetails) {
  Analyse(LongSample(), AnalysePmt);
  CPmtInfoDlg dialog(nullptr);
  dialog.InitDialog();
  dialog.show();
  auto* list = dialog.Item<QListWidget>(1018);
  ASSERT_EQ(list->currentRow(), 0);
  ASSERT_TRUE(dialog.GetDlgItemText(1016).isEmpty());
  // A real mouse click on row 0, which is already selected.
  const QPoint centre = list->visualItemRect(list->item(0)).center();
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent click(type, QPointF(centre), list->viewport()->mapToGlobal(QPointF(centre)), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &click);
  }
  EXPECT_EQ(list->currentRow(), 0);
  EXPECT_EQ(ToEngineText(dialog.GetDlgItemText(1016)), BuildProgramDetailText(ProgramTable[0]));
}

TEST_F(ResultDialogsTest, SdtDialogShowsTheReport) {
  Analyse(LongSample(), AnalyseSdt);
  CProgramNameDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Program Name List"));
  EXPECT_EQ(ToEngineText(dialog.GetDlgItemText(1019)), strSdtReport);
  EXPECT_TRUE(dialog.GetDlgItemText(1019).startsWith(QStringLiteral("SDT exist.\r\n001 \"Video PRG\"  VPID:0x0300 APID:0x0301  \"News 24\"\r\n")));
}

TEST_F(ResultDialogsTest, NamesAreShownDecodedWhileTheReportKeepsTheirBytes) {
  Analyse(SampleStream("test-025.ts"), AnalyseSdt);
  CProgramNameDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_NE(strSdtReport.find("\"\x04P1.1\""), std::string::npos) << strSdtReport;
  EXPECT_TRUE(dialog.GetDlgItemText(1019).contains(QStringLiteral("  \"P1.1\"\r\n")))
      << dialog.GetDlgItemText(1019).toStdString();

  ResetAnalysis();
  Analyse(SampleStream("edge/multi.ts"), AnalyseSdt);
  CProgramNameDlg chinese(nullptr);
  chinese.InitDialog();
  EXPECT_TRUE(chinese.GetDlgItemText(1019).contains(QString::fromUtf8("\"\u8282\u76EE\u4E8C\"")))
      << chinese.GetDlgItemText(1019).toStdString();
}

TEST_F(ResultDialogsTest, WithoutAValidPatTheDialogsAreEmpty) {
  {
    CPatSectionDlg dialog(nullptr);
    dialog.InitDialog();
    EXPECT_TRUE(dialog.GetDlgItemText(1002).isEmpty());
    EXPECT_TRUE(dialog.GetDlgItemText(1003).isEmpty());
  }
  CPmtInfoDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_EQ(dialog.GetDlgItemText(1017), QStringLiteral("Number of program is 0"));
  EXPECT_EQ(dialog.Item<QListWidget>(1018)->count(), 0);
  EXPECT_TRUE(dialog.GetDlgItemText(1016).isEmpty());
}

TEST_F(ResultDialogsTest, ChineseTitlesComeFromTheStringTable) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  CProgramNameDlg names(nullptr);
  names.InitDialog();
  EXPECT_EQ(names.windowTitle(), QStringLiteral("节目名称列表"));
  CPmtInfoDlg map(nullptr);
  map.InitDialog();
  EXPECT_EQ(map.windowTitle(), QStringLiteral("节目映射表"));
  EXPECT_EQ(map.GetDlgItemText(2), QStringLiteral("取消"));
  EXPECT_EQ(map.GetDlgItemText(1017), QStringLiteral("节目数为 0"));
}

TEST_F(ResultDialogsTest, ChineseReportsKeepTheirRowsAndTranslateTheirFixedTexts) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  ScopedTableTranslation translation;
  Analyse(LongSample(), AnalyseSdt);
  CPatSectionDlg pat(nullptr);
  pat.InitDialog();
  EXPECT_TRUE(pat.GetDlgItemText(1002).startsWith(
      QStringLiteral("节目数为 3\r\nNo.     p number        mapID\r\n001    101(  65)    512( 200)\r\n")))
      << pat.GetDlgItemText(1002).toStdString();
  EXPECT_TRUE(strPatReport.starts_with("Number of program is 3\r\n")) << "the report itself stays as it is";

  CPmtInfoDlg map(nullptr);
  map.InitDialog();
  auto* list = map.Item<QListWidget>(1018);
  ASSERT_EQ(list->count(), 3) << "the program rows are still found below the two heading lines";
  EXPECT_EQ(list->item(2)->text(), QStringLiteral("003    103(  67)    514( 202)"));
  list->setCurrentRow(1);
  list->setCurrentRow(0);
  EXPECT_TRUE(map.GetDlgItemText(1016).startsWith(QStringLiteral("视频 PID：   768(0x00000300)\r\n音频 PID：\r\nNo. 1 ")))
      << map.GetDlgItemText(1016).toStdString();

  CProgramNameDlg names(nullptr);
  names.InitDialog();
  EXPECT_TRUE(names.GetDlgItemText(1019).startsWith(
      QStringLiteral("SDT 存在。\r\n001 \"视频节目\"  VPID:0x0300 APID:0x0301  \"News 24\"\r\n")))
      << names.GetDlgItemText(1019).toStdString();
  EXPECT_TRUE(strSdtReport.starts_with("SDT exist.\r\n001 \"Video PRG\""));
}

}  // namespace
