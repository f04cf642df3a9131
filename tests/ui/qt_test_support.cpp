#include "tests/ui/qt_test_support.h"

#include <QEventLoop>
#include <QThread>

#include "tests/support/test_env.h"

QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "app_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* application = [] {
    SetResourceLanguage(ResLanguage::English);
    return new QApplication(argc, argv);
  }();
  return *application;
}

bool ProcessEventsUntil(const std::function<bool()>& pred, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!pred() && clock.elapsed() < timeoutMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return pred();
}

std::string LongSample() { return SampleStream("mpts-3prog.ts"); }

ScopedTableTranslation::ScopedTableTranslation() : previous_(InstallUiHooks({})) {
  UiHooks hooks = previous_;
  hooks.translate = [](const std::string& english) {
    return TranslateResourceText(QString::fromStdString(english)).toStdString();
  };
  InstallUiHooks(hooks);
}

ScopedTableTranslation::~ScopedTableTranslation() { InstallUiHooks(previous_); }
