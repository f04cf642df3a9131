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

#include "app/resources.h"

// The application object of the test run (created on first use, never
// destroyed: widgets may outlive any test).
QApplication& TestApplication();

// Calls `action` with the first visible modal widget of type T that appears
// within timeoutMs, from inside its modal loop. Returns a flag that turns
// true once the action has run.
template <class T>
std::shared_ptr<bool> WhenModal(std::function<void(T*)> action, int timeoutMs = 10000) {
  auto ran = std::make_shared<bool>(false);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [=]() {
    if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget()); widget && widget->isVisible()) {
      *ran = true;
      action(widget);
      return;
    }
    if (clock->elapsed() < timeoutMs) QTimer::singleShot(5, *poll);
  };
  QTimer::singleShot(0, *poll);
  return ran;
}

// Runs the event loop until pred() is true or timeoutMs passed; returns pred().
bool ProcessEventsUntil(const std::function<bool()>& pred, int timeoutMs = 10000);

// Sets the resource language for one test and restores English after it.
class ScopedResourceLanguage {
public:
  explicit ScopedResourceLanguage(ResLanguage language) { SetResourceLanguage(language); }
  ~ScopedResourceLanguage() { SetResourceLanguage(ResLanguage::English); }
};

// The sample that spans two 4 MiB blocks: the only one the analysis reads.
std::string LongSample();
