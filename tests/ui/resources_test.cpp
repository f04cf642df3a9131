// Resources: both languages complete, the English texts verbatim, the dialog
// unit conversion, and dialogs built from their templates.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <set>

#include "analysis/dialogs/search_packets_dlg.h"
#include "ui/dialog_units.h"
#include "ui/resource_dialog.h"
#include "ui/resources.h"
#include "tests/ui/qt_test_support.h"

namespace {

class ResourcesTest : public ::testing::Test {
protected:
  void SetUp() override { TestApplication(); }
};

TEST_F(ResourcesTest, BothLanguagesDefineEveryText) {
  EXPECT_TRUE(FindResourceLanguageGaps().isEmpty()) << FindResourceLanguageGaps().join(QLatin1Char('\n')).toStdString();
  const int ids[] = {128,   57344, 57345, 601,   602,   603,   604,   605,   606,   607,   608,   609,
                     612,   613,   614,   615,   616,   617,   32772, 32773, 32775, 32777, 32778, 32779,
                     32780, 32785, 57664, 57665, 59392, 59393, 61714, 61715};
  for (ResLanguage language : {ResLanguage::English, ResLanguage::SimplifiedChinese}) {
    ScopedResourceLanguage scoped(language);
    for (int id : ids) EXPECT_FALSE(LoadResString(id).isEmpty()) << id << " " << ResourceLanguageKey(language);
    EXPECT_EQ(LoadMenuResource(128).size(), 6u);
    for (int dialog : ListDialogResources()) EXPECT_TRUE(LoadDialogResource(dialog).has_value()) << dialog;
  }
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  EXPECT_EQ(LoadResString(612), QStringLiteral("搜索"));
  EXPECT_TRUE(LoadResString(99999).isEmpty());
}

TEST_F(ResourcesTest, EnglishMessageAndToolbarStringsAreVerbatim) {
  const std::pair<int, const char*> expected[] = {
      {601, "Successful operation !"}, {602, "Operation fail !"}, {603, "File"}, {604, "Reset"},
      {605, "About"}, {606, "Exit"}, {607, "Program Associate Section"}, {608, "Program Map Section"},
      {609, "Program Name List"}, {612, "Search"}, {613, "Stop"}, {614, "Pause"}, {615, "Continue"},
      {616, "This device is unsupported!"}, {617, "Tuning"}, {57345, "ready"}, {57344, "TELVANO"},
      {128, "Vantrel\nTB\nTollbk\n\n\nTollbeck.Document\nTollbk Document"},
  };
  for (const auto& [id, text] : expected) EXPECT_EQ(LoadResString(id).toStdString(), text) << id;
  EXPECT_EQ(PromptStatusText(32775), QStringLiteral("Select a file ..."));
  EXPECT_EQ(PromptTooltip(32775), QStringLiteral("Select"));
  EXPECT_EQ(PromptStatusText(32772), QStringLiteral("Packets"));
  EXPECT_TRUE(PromptTooltip(32772).isEmpty());
}

TEST_F(ResourcesTest, SystemLocalePicksTheLanguage) {
  EXPECT_EQ(LanguageForLocaleName(QStringLiteral("zh_CN")), ResLanguage::SimplifiedChinese);
  EXPECT_EQ(LanguageForLocaleName(QStringLiteral("zh_SG")), ResLanguage::SimplifiedChinese);
  EXPECT_EQ(LanguageForLocaleName(QStringLiteral("zh_TW")), ResLanguage::English);
  EXPECT_EQ(LanguageForLocaleName(QStringLiteral("de_DE")), ResLanguage::English);
  EXPECT_EQ(LanguageForLocaleName(QStringLiteral("C")), ResLanguage::English);
}

TEST(DialogUnitsTest, ConvertsAsTheWindowsDialogManager) {
  // MS Sans Serif 8 at 96 dpi: letters 312 px wide, 13 px high -> 6 x 13.
  const DialogBaseUnits sansSerif = ComputeDialogBaseUnits(312, 13);
  EXPECT_EQ(sansSerif.x, 6);
  EXPECT_EQ(sansSerif.y, 13);
  // Tahoma 8: 5.something letters round up through (n / 26 + 1) / 2.
  EXPECT_EQ(ComputeDialogBaseUnits(286, 13).x, 6);
  EXPECT_EQ(ComputeDialogBaseUnits(259, 13).x, 5);

  EXPECT_EQ(MulDiv(7, 6, 4), 11);    // 10.5 rounds up
  EXPECT_EQ(MulDiv(5, 13, 8), 8);    // 8.125
  EXPECT_EQ(MulDiv(-7, 6, 4), -11);  // half away from zero
  EXPECT_EQ(MulDiv(3, 4, 0), 0);
  EXPECT_EQ(MapDialogRect(QRect(7, 7, 50, 14), sansSerif), QRect(11, 11, 75, 23));
  EXPECT_EQ(MapDialogSize(QSize(321, 234), sansSerif), QSize(482, 380));
}

TEST_F(ResourcesTest, TemplatesAreSoundAndControlsLandOnTheirRectangles) {
  for (int id : ListDialogResources()) {
    const std::optional<DialogResource> dialog = LoadDialogResource(id);
    ASSERT_TRUE(dialog);
    std::set<int> ids;
    for (const ControlResource& control : dialog->controls) {
      if (control.id != -1) {
        EXPECT_TRUE(ids.insert(control.id).second) << id << " duplicates " << control.id;
      }
      EXPECT_LE(control.rect.x() + control.rect.width(), dialog->size.width()) << id << "/" << control.id;
      if (control.kind != QLatin1String("combo")) {  // a combo's height includes its list
        EXPECT_LE(control.rect.y() + control.rect.height(), dialog->size.height()) << id << "/" << control.id;
      }
    }
  }

  CSearchPacketsDlg dialog(nullptr);
  ASSERT_TRUE(dialog.HasTemplate());
  const DialogBaseUnits base = GetDialogBaseUnits(GetDialogFont());
  EXPECT_EQ(dialog.BaseUnits().x, base.x);
  // The template's size, wider only where a text needs it (see below).
  EXPECT_EQ(dialog.height(), MapDialogSize(QSize(321, 234), base).height());
  EXPECT_GE(dialog.width(), MapDialogSize(QSize(321, 234), base).width());
  EXPECT_EQ(dialog.GetDlgItem(1000)->geometry(), MapDialogRect(QRect(7, 7, 239, 110), base));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Searching Packets"));
  auto* list = dialog.Item<QComboBox>(1005);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count(), 3);
  EXPECT_EQ(list->itemText(0), QStringLiteral("Not search"));
  EXPECT_FALSE(dialog.GetDlgItem(1006)->isEnabled());
  EXPECT_FALSE(dialog.GetDlgItem(1008)->isEnabled());
  EXPECT_TRUE(dialog.Item<QPushButton>(1)->isDefault());
}

TEST_F(ResourcesTest, EveryLabelAndListShowsItsWholeTextInTheFontUsed) {
  for (ResLanguage language : {ResLanguage::English, ResLanguage::SimplifiedChinese}) {
    ScopedResourceLanguage scoped(language);
    for (int id : ListDialogResources()) {
      CResourceDialog dialog(id, nullptr);
      for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const char* where = ResourceLanguageKey(language);
        if (auto* label = qobject_cast<QLabel*>(child); label && !label->text().contains(QLatin1Char('\n'))) {
          EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()))
              << id << " " << where << " " << label->text().toStdString();
        }
        if (auto* radio = qobject_cast<QRadioButton*>(child)) {
          EXPECT_GE(radio->width(), radio->sizeHint().width()) << id << " " << where << " " << radio->text().toStdString();
        }
        if (auto* combo = qobject_cast<QComboBox*>(child)) {
          for (int i = 0; i < combo->count(); ++i)
            EXPECT_GE(combo->width(), combo->fontMetrics().horizontalAdvance(combo->itemText(i)) + 20)
                << id << " " << where << " " << combo->itemText(i).toStdString();
        }
        EXPECT_LE(child->geometry().right(), dialog.width()) << id << " " << where << " " << child->objectName().toStdString();
      }
    }
  }
  // A label beside a field sits on the field's vertical centre: the PID of
  // "DST Setting" starts at its field's top in the template.
  CResourceDialog dst(136, nullptr);
  const QRect pidLabel = dst.GetDlgItem(1051)->geometry();
  const QRect pidEdit = dst.GetDlgItem(1050)->geometry();
  EXPECT_EQ(pidLabel.center().y(), pidEdit.center().y());
  EXPECT_TRUE(qobject_cast<QLabel*>(dst.GetDlgItem(1051))->alignment() & Qt::AlignVCenter);
}

TEST_F(ResourcesTest, ChineseDialogsKeepTheIds) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  CSearchPacketsDlg dialog(nullptr);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("搜索数据包"));
  EXPECT_EQ(dialog.GetDlgItemText(2), QStringLiteral("取消"));
  EXPECT_EQ(dialog.Item<QComboBox>(1009)->count(), 5);
}

TEST_F(ResourcesTest, MultiLineTextsKeepCarriageReturnLineFeed) {
  CSearchPacketsDlg dialog(nullptr);
  const QString text = QStringLiteral("\r\n0x00 0xB0 \r\nsecond line\r\n");
  dialog.SetDlgItemText(1000, text);
  EXPECT_EQ(dialog.GetDlgItemText(1000), text);
  EXPECT_EQ(dialog.Item<QPlainTextEdit>(1000)->document()->blockCount(), 4);
}

TEST(DialogFieldTest, NumbersAreCheckedLikeTheDialogDataExchange) {
  uint32_t value = 7;
  EXPECT_TRUE(ParseDialogUnsigned(QStringLiteral(" \t42\t "), value));
  EXPECT_EQ(value, 42u);
  EXPECT_TRUE(ParseDialogUnsigned(QStringLiteral("4294967295"), value));
  EXPECT_EQ(value, 4294967295u);
  for (const char* refused : {"", " ", "-1", "+1", " +42", "12a", "0x10", "4294967296", "1 2",
                              "00000000000000000000000000000001"}) {
    uint32_t untouched = 7;
    EXPECT_FALSE(ParseDialogUnsigned(QString::fromLatin1(refused), untouched)) << refused;
    EXPECT_EQ(untouched, 7u);
  }
  int64_t pid = 0;
  EXPECT_TRUE(ParseDialogInt(QStringLiteral("-32768"), -32768, 32767, pid));
  EXPECT_EQ(pid, -32768);
  EXPECT_FALSE(ParseDialogInt(QStringLiteral("32768"), -32768, 32767, pid));
  EXPECT_FALSE(ParseDialogInt(QStringLiteral("+5"), -32768, 32767, pid));
}

TEST_F(ResourcesTest, EnterInAReportBoxPressesTheDefaultButton) {
  CSearchPacketsDlg dialog(nullptr);
  dialog.SetDlgItemText(1004, QStringLiteral("0"));
  dialog.SetDlgItemText(1000, QStringLiteral("line"));
  dialog.show();
  auto* report = dialog.Item<QPlainTextEdit>(1000);
  report->setFocus();
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(report, &enter);
  EXPECT_EQ(report->toPlainText(), QStringLiteral("line"));  // no line break inserted
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);  // OK is the default button
}

TEST_F(ResourcesTest, QtsOwnTextsAreChineseToo) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  InstallFrameworkTranslations();
  QMessageBox box(QMessageBox::Question, QStringLiteral("VANTREL"), QStringLiteral("?"),
                  QMessageBox::Yes | QMessageBox::No);
  EXPECT_NE(box.button(QMessageBox::Yes)->text(), QStringLiteral("&Yes"));
  EXPECT_TRUE(box.button(QMessageBox::No)->text().contains(QStringLiteral("否")))
      << box.button(QMessageBox::No)->text().toStdString();
}

}  // namespace
