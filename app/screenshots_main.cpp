// vantrel-screenshots: starts the application as usual (the tuner box may be
// vantrel-boxsim), opens the main window and each dialog in turn on the
// given stream and saves each as a PNG for review. The language follows the
// system locale, as in the application. Used by scripts/screenshots.
//
//   vantrel-screenshots OUT_DIR STREAM_FILE
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>

#include "analysis/dialogs/analysis_wait_dlg.h"
#include "analysis/dialogs/pat_section_dlg.h"
#include "analysis/dialogs/pmt_info_dlg.h"
#include "analysis/dialogs/program_name_dlg.h"
#include "analysis/dialogs/search_packets_dlg.h"
#include "app/about_box.h"
#include "app/main_frame.h"
#include "app/tollbeck_app.h"
#include "platform/ui_hooks.h"

namespace {

QString gOutDir;
int gFailures = 0;

void Save(QWidget* widget, const QString& name) {
  const QString path = gOutDir + QLatin1Char('/') + name + QStringLiteral(".png");
  if (!widget->grab().save(path)) {
    std::fprintf(stderr, "vantrel-screenshots: cannot write %s\n", qPrintable(path));
    ++gFailures;
  }
}

void SaveScreen(const QString& name) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen || !screen->grabWindow(0).save(gOutDir + QLatin1Char('/') + name + QStringLiteral(".png"))) ++gFailures;
}

void Settle(int milliseconds) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < milliseconds) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
}

// Calls action with the next modal dialog of type T, from inside its loop.
template <class T>
void OnNextModal(std::function<void(T*)> action) {
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [=]() {
    if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget()); widget && widget->isVisible()) {
      action(widget);
      return;
    }
    if (clock->elapsed() < 20000) QTimer::singleShot(5, *poll);
    else ++gFailures;
  };
  QTimer::singleShot(0, *poll);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: vantrel-screenshots OUT_DIR STREAM_FILE\n");
    return 2;
  }
  gOutDir = QString::fromLocal8Bit(argv[1]);
  const std::string stream = argv[2];
  QDir().mkpath(gOutDir);

  CTollbeckApp app;
  if (!app.InitInstance()) return 1;
  // The file requests of the commands are answered with the stream.
  UiHooks hooks = InstallUiHooks({});
  hooks.askOpenFile = [stream](const std::string&, const std::string&, std::string& path) {
    path = stream;
    return true;
  };
  InstallUiHooks(hooks);

  CMainFrame* frame = app.GetMainFrame();
  Settle(500);
  Save(frame, QStringLiteral("main"));

  frame->OnSelectFile();
  Settle(200);
  Save(frame, QStringLiteral("main-file"));

  OnNextModal<CAboutBox>([](CAboutBox* box) {
    Save(box, QStringLiteral("about"));
    box->accept();
  });
  app.OnAppAbout();

  OnNextModal<CAnalysisWaitDlg>([frame](CAnalysisWaitDlg* wait) {
    Save(wait, QStringLiteral("wait"));
    Save(frame, QStringLiteral("main-analysing"));
  });
  OnNextModal<CPatSectionDlg>([](CPatSectionDlg* dialog) {
    Settle(100);
    Save(dialog, QStringLiteral("pat"));
    dialog->accept();
  });
  frame->OnAnalysePat();

  OnNextModal<CPmtInfoDlg>([](CPmtInfoDlg* dialog) {
    if (auto* list = dialog->Item<QListWidget>(1018); list && list->count() > 0) {
      // Picking a row shows its details; pick the first one after another.
      list->setCurrentRow(list->count() > 1 ? 1 : 0);
      list->setCurrentRow(0);
    }
    Settle(100);
    Save(dialog, QStringLiteral("pmt"));
    SaveScreen(QStringLiteral("screen-pmt"));
    dialog->accept();
  });
  frame->OnAnalysePmt();

  OnNextModal<CProgramNameDlg>([](CProgramNameDlg* dialog) {
    Settle(100);
    Save(dialog, QStringLiteral("sdt"));
    dialog->accept();
  });
  frame->OnAnalyseSdt();

  OnNextModal<CSearchPacketsDlg>([](CSearchPacketsDlg* dialog) {
    Settle(300);
    Save(dialog, QStringLiteral("search"));
    // A search for the starts of video units that carry an adaptation field.
    dialog->SetDlgItemText(1004, QStringLiteral("768"));
    dialog->Item<QComboBox>(1005)->setCurrentIndex(2);
    dialog->Item<QComboBox>(1009)->setCurrentIndex(4);
    dialog->Item<QPushButton>(1010)->click();
    QElapsedTimer clock;
    clock.start();
    while (!dialog->IsPaused() && dialog->IsSearching() && clock.elapsed() < 10000) Settle(20);
    Settle(300);
    Save(dialog, QStringLiteral("search-match"));
    dialog->accept();
  });
  frame->OnPackets();

  OnNextModal<QMessageBox>([](QMessageBox* box) {
    Settle(100);
    Save(box, QStringLiteral("message"));
    box->accept();
  });
  ShowMessage(LoadResString(616).toStdString());

  frame->close();
  app.ExitInstance();
  std::printf("vantrel-screenshots: %s%s\n", qPrintable(gOutDir), gFailures ? " (with failures)" : "");
  return gFailures ? 1 : 0;
}
