// The Qt UI hooks: message boxes and the open-file dialog, from the UI thread
// and from workers, and waiting for a worker that needs the UI thread.
#include <gtest/gtest.h>

#include <cerrno>

#include <QAbstractButton>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <cstdlib>
#include <atomic>
#include <thread>

#include "ui/ui_thread.h"
#include "platform/ui_hooks.h"
#include "tests/ui/qt_test_support.h"

namespace {

class UiThreadTest : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    previous_ = InstallUiHooks({});
    InstallQtUiHooks();
  }
  void TearDown() override { InstallUiHooks(previous_); }
  UiHooks previous_;
};

TEST_F(UiThreadTest, WorkerMessageIsAWarningBoxOnTheUiThread) {
  struct Seen {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    bool onUiThread = false;
  } seen;
  auto watch1 = WhenModal<QMessageBox>([&](QMessageBox* box) {
    seen = {box->windowTitle(), box->text(), box->icon(), static_cast<int>(box->buttons().size()),
            QThread::currentThread() == QCoreApplication::instance()->thread()};
    box->button(QMessageBox::Ok)->click();
  });
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    ShowMessage("Searching complete !");
    returned.store(true);
  });
  EXPECT_TRUE(ProcessEventsUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(seen.title, QStringLiteral("VANTREL"));
  EXPECT_EQ(seen.text, QStringLiteral("Searching complete !"));
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
  EXPECT_EQ(seen.buttons, 1);
  EXPECT_TRUE(seen.onUiThread);
}

TEST_F(UiThreadTest, MessagesAndTemplatesComeInTheChosenLanguage) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  EXPECT_EQ(TranslateText("Searching complete !"), "搜索完成！");
  EXPECT_EQ(TranslateText("Successful operation !"), "操作成功！");
  EXPECT_EQ(TranslateText("Must select a valid file !"), "必须选择一个有效的文件！");
  // printf templates, also with the line end the caller appends.
  EXPECT_EQ(TranslateText("Free space:%u(MB)"), "可用空间:%u(MB)");
  EXPECT_EQ(TranslateText("Free space:%u(MB)\r\n"), "可用空间:%u(MB)\r\n");
  EXPECT_EQ(TranslateText("not a text of the program"), "not a text of the program");
  // The cause the C library gives for a failed file operation, inside a message.
  EXPECT_EQ(TranslateAndFill("Cannot write the capture file \"%s\": %s.", {"/x.ts", SystemErrorText(ENOSPC)}),
            "无法写入采集文件“/x.ts”：设备上没有空间。");
  EXPECT_EQ(SystemErrorText(EACCES), "权限不够");
  QString shown;
  auto watch = WhenModal<QMessageBox>([&](QMessageBox* box) {
    shown = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  ShowMessage("Open file failure !");
  EXPECT_EQ(shown, QStringLiteral("打开文件失败！"));
  SetResourceLanguage(ResLanguage::English);
  EXPECT_EQ(TranslateText("Searching complete !"), "Searching complete !");
}

TEST_F(UiThreadTest, MessageBoxShowsItsWholeCaptionCentredOnItsOwner) {
  QWidget owner;
  owner.setGeometry(300, 200, 640, 480);
  owner.show();
  QRect box;
  int captionWidth = 0;
  auto watch = WhenModal<QMessageBox>([&](QMessageBox* message) {
    box = message->frameGeometry();
    captionWidth = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(message->windowTitle());
    message->button(QMessageBox::Ok)->click();
  });
  QMessageBox message(QMessageBox::Warning, QStringLiteral("VANTREL"), QStringLiteral("OK"), QMessageBox::Ok, &owner);
  FitMessageBox(message);
  message.exec();
  ASSERT_TRUE(box.isValid());
  // A short text: the box is still wide enough for the caption and the
  // title bar's buttons.
  EXPECT_GT(box.width(), captionWidth + 100);
  EXPECT_LE(std::abs(box.center().x() - owner.frameGeometry().center().x()), 2);
  EXPECT_LE(std::abs(box.center().y() - owner.frameGeometry().center().y()), 2);
}

TEST_F(UiThreadTest, WaitingForAWorkerRunsItsUiCalls) {
  std::atomic<bool> done{false};
  int ranOn = 0;
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i)
      RunOnUiThread([&] { ranOn += QThread::currentThread() == QCoreApplication::instance()->thread(); });
    done.store(true);
  });
  WaitPumpingUiCalls([&] { return done.load(); });  // no event loop: only the pump runs them
  worker.join();
  EXPECT_EQ(ranOn, 3);
}

TEST_F(UiThreadTest, OpenFileDialogUsesTheEngineFilter) {
  QStringList filters;
  QFileDialog::FileMode mode = QFileDialog::AnyFile;
  QString suffix;
  auto watch2 = WhenModal<QFileDialog>([&](QFileDialog* dialog) {
    filters = dialog->nameFilters();
    mode = dialog->fileMode();
    suffix = dialog->defaultSuffix();
    dialog->reject();
  });
  std::string path = "unchanged";
  EXPECT_FALSE(AskOpenFileName("Data Files (*.DAT)|*.DAT|Transmission Stream (*.TS)|*.TS|All Files (*.*)|*.*||",
                               "*.DAT", path));
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(filters, (QStringList{QStringLiteral("Data Files (*.DAT *.dat)"),
                                  QStringLiteral("Transmission Stream (*.TS *.ts)"),
                                  QStringLiteral("All Files (*)")}));
  EXPECT_EQ(mode, QFileDialog::ExistingFile);
  EXPECT_EQ(suffix, QStringLiteral("DAT"));
}

}  // namespace
