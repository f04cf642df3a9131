#include "ui/ui_thread.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ui_hooks.h"

namespace {

struct PendingCall {
  std::function<void()> fn;
  bool done = false;
};

std::mutex gCallMutex;
std::condition_variable gCallDone;
std::deque<std::shared_ptr<PendingCall>> gPendingCalls;

bool OnUiThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return !app || QThread::currentThread() == app->thread();
}

QWidget* MessageOwner() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return QApplication::activeWindow();
}

// "Name|pattern|Name|pattern||" to Qt's "Name (patterns);;..." form. "*.*"
// means every file; patterns with capitals also match their lower-case
// spelling, since file names here are case-sensitive.
QString ToQtFilter(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
  QStringList entries;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    QStringList patterns;
    for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const QString trimmed = pattern.trimmed();
      if (trimmed == QLatin1String("*.*")) {
        patterns << QStringLiteral("*");
        continue;
      }
      patterns << trimmed;
      if (trimmed.toLower() != trimmed) patterns << trimmed.toLower();
    }
    QString name = parts[i];
    const int paren = name.indexOf(QLatin1Char('('));
    if (paren >= 0) name = name.left(paren).trimmed();
    entries << QStringLiteral("%1 (%2)").arg(name, patterns.join(QLatin1Char(' ')));
  }
  return entries.join(QStringLiteral(";;"));
}

void ShowQtMessage(const std::string& text) {
  RunOnUiThread([&text] {
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kApplicationName), QString::fromStdString(text),
                    QMessageBox::Ok, MessageOwner());
    box.exec();
  });
}

bool AskQtOpenFile(const std::string& filter, const std::string& defaultExtension, std::string& chosenPath) {
  bool chosen = false;
  RunOnUiThread([&] {
    QFileDialog dialog(MessageOwner());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(ToQtFilter(filter));
    QString suffix = QString::fromStdString(defaultExtension);
    if (suffix.startsWith(QLatin1String("*."))) suffix = suffix.mid(2);
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
      chosenPath = dialog.selectedFiles().first().toStdString();
      chosen = true;
    }
  });
  return chosen;
}

}  // namespace

void RunOnUiThread(const std::function<void()>& fn) {
  if (OnUiThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<PendingCall>();
  call->fn = fn;
  {
    std::lock_guard<std::mutex> lock(gCallMutex);
    gPendingCalls.push_back(call);
  }
  QMetaObject::invokeMethod(QCoreApplication::instance(), [] { PumpUiCalls(); }, Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(gCallMutex);
  gCallDone.wait(lock, [&call] { return call->done; });
}

void PumpUiCalls() {
  for (;;) {
    std::shared_ptr<PendingCall> call;
    {
      std::lock_guard<std::mutex> lock(gCallMutex);
      if (gPendingCalls.empty()) return;
      call = gPendingCalls.front();
      gPendingCalls.pop_front();
    }
    call->fn();
    {
      std::lock_guard<std::mutex> lock(gCallMutex);
      call->done = true;
    }
    gCallDone.notify_all();
  }
}

void WaitPumpingUiCalls(const std::function<bool()>& done) {
  while (!done()) {
    PumpUiCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void InstallQtUiHooks() {
  UiHooks hooks;
  hooks.showMessage = ShowQtMessage;
  hooks.askOpenFile = AskQtOpenFile;
  InstallUiHooks(hooks);
}
