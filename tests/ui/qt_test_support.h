// Qt for the application tests: one QApplication for the whole run, and
// helpers that act on modal windows from inside their modal loops.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui_hooks.h"
#include "ui/resources.h"

// The application object of the test run (created on first use, never
// destroyed: widgets may outlive any test).
QApplication& TestApplication();

// Watches for a modal window while it exists; polling stops when it is
// destroyed, so a watch never acts on a later test's windows.
class ModalWatch {
public:
  ModalWatch() : alive_(std::make_shared<bool>(true)), ran_(std::make_shared<bool>(false)) {}
  ~ModalWatch() { *alive_ = false; }
  ModalWatch(const ModalWatch&) = delete;
  ModalWatch& operator=(const ModalWatch&) = delete;
  bool Ran() const { return *ran_; }

  // Calls action with the first visible modal widget of type T that shows
  // within timeoutMs, from inside its modal loop; with `repeat`, with every
  // one that shows while the watch lives.
  template <class T>
  void Watch(std::function<void(T*)> action, int timeoutMs, bool repeat) {
    auto alive = alive_;
    auto ran = ran_;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    auto poll = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> weakPoll = poll;
    *poll = [alive, ran, clock, action, timeoutMs, repeat, weakPoll]() {
      if (!*alive) return;
      auto self = weakPoll.lock();
      if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget()); widget && widget->isVisible()) {
        *ran = true;
        action(widget);
        if (!repeat) return;
      }
      if (self && (repeat || clock->elapsed() < timeoutMs)) QTimer::singleShot(5, [self] { (*self)(); });
    };
    polls_.push_back(poll);
    QTimer::singleShot(0, [poll] { (*poll)(); });
  }

private:
  std::shared_ptr<bool> alive_;
  std::shared_ptr<bool> ran_;
  std::vector<std::shared_ptr<std::function<void()>>> polls_;
};

// One-shot watch: keep the result alive for as long as the window may come.
template <class T>
[[nodiscard]] std::unique_ptr<ModalWatch> WhenModal(std::function<void(T*)> action, int timeoutMs = 10000) {
  auto watch = std::make_unique<ModalWatch>();
  watch->Watch<T>(std::move(action), timeoutMs, false);
  return watch;
}

// Records the object names of the dialogs (and message boxes) shown while
// it exists, in order.
class ShownDialogRecorder : public QObject {
public:
  ShownDialogRecorder() { TestApplication().installEventFilter(this); }
  ~ShownDialogRecorder() override { TestApplication().removeEventFilter(this); }
  const QStringList& Shown() const { return shown_; }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && qobject_cast<QDialog*>(watched))
      shown_.append(qobject_cast<QMessageBox*>(watched) ? QStringLiteral("message") : watched->objectName());
    return false;
  }

private:
  QStringList shown_;
};

// Runs the event loop until pred() is true or timeoutMs passed; returns pred().
bool ProcessEventsUntil(const std::function<bool()>& pred, int timeoutMs = 10000);

// Sets the resource language for one test and restores English after it.
class ScopedResourceLanguage {
public:
  explicit ScopedResourceLanguage(ResLanguage language) { SetResourceLanguage(language); }
  ~ScopedResourceLanguage() { SetResourceLanguage(ResLanguage::English); }
};

// Adds the string table's translation to the installed UI hooks (engine
// texts then come in the resource language) for one test; the hooks before
// it come back after.
class ScopedTableTranslation {
public:
  ScopedTableTranslation();
  ~ScopedTableTranslation();
  ScopedTableTranslation(const ScopedTableTranslation&) = delete;
  ScopedTableTranslation& operator=(const ScopedTableTranslation&) = delete;

private:
  UiHooks previous_;
};

// The sample that spans two 4 MiB blocks: the only one the analysis reads.
std::string LongSample();
