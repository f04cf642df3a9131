#include "ui/ui_thread.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QScreen>
#include <QSpacerItem>
#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <time.h>

#include "platform/ui_hooks.h"
#include "ui/resources.h"

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
  if (QWidget* active = QApplication::activeWindow()) return active;
  // A worker's message after its dialog closed: the main window, when one shows.
  for (QWidget* top : QApplication::topLevelWidgets())
    if (top->isVisible() && top->inherits("QMainWindow")) return top;
  return nullptr;
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

std::string TranslateQtText(const std::string& englishText) {
  return TranslateResourceText(QString::fromStdString(englishText)).toStdString();
}

void ShowQtMessage(const std::string& text) {
  RunOnUiThread([&text] {
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kApplicationName),
                    TranslateResourceText(QString::fromStdString(text)), QMessageBox::Ok, MessageOwner());
    FitMessageBox(box);
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

// Centres a window on its owner, or on the screen when it has none, as it
// shows and when it is resized while showing: a message box takes its
// final size only as it shows.
class CentreOnOwner : public QObject {
public:
  using QObject::QObject;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* window = qobject_cast<QWidget*>(watched);
    const bool sized = event->type() == QEvent::Show || (event->type() == QEvent::Resize && window && window->isVisible());
    if (window && sized) {
      QRect area;
      if (const QWidget* owner = window->parentWidget()) area = owner->window()->frameGeometry();
      else if (const QScreen* screen = QGuiApplication::primaryScreen()) area = screen->availableGeometry();
      if (area.isValid()) window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    return false;
  }
};

}  // namespace

void FitMessageBox(QMessageBox& box) {
  // Qt sizes a message box by its text alone, which can cut the caption; a
  // spacer row keeps the box wide enough for the caption and the title
  // bar's buttons.
  const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
  const int captionWidth = title.horizontalAdvance(box.windowTitle()) + 4 * title.height() + 48;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
    grid->addItem(new QSpacerItem(captionWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(),
                  0, 1, grid->columnCount());
  box.installEventFilter(new CentreOnOwner(&box));
}

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
  hooks.translate = TranslateQtText;
  InstallUiHooks(hooks);
}

int64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
