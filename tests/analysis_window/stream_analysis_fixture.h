// What the Stream Analysis window tests share: a profile of their own, a
// window analysed to its end, controls found by id.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QTest>
#include <QWidget>
#include <memory>
#include <string>

#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "tests/support/test_env.h"
#include "tests/ui/qt_test_support.h"

template <class T>
T* Control(const QWidget& window, int id) {
  return window.findChild<T*>(QString::number(id));
}

// Makes `window` the active window, so that keys go to its focus.
inline bool Activate(QWidget& window) {
  window.activateWindow();
  return QTest::qWaitForWindowActive(&window, 5000);
}

// Presses `key` where the keyboard focus is, as a user does (shortcuts
// included); the widget with the focus after it.
inline QWidget* Press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  if (QWidget* target = QApplication::focusWidget()) QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
  QApplication::processEvents();
  return QApplication::focusWidget();
}

// The id of the control with the keyboard focus ("" for none or one without).
inline QString FocusId() { return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(); }

class StreamAnalysisFixture : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    env_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir_.path().c_str());
  }

  // Opens a window on `path` as the application does (its reading begun
  // before it is built) and waits for the end of its analysis.
  std::unique_ptr<CStreamAnalysisWnd> Analyse(const std::string& path) {
    auto window = std::make_unique<CStreamAnalysisWnd>(QString::fromStdString(path));
    window->show();
    EXPECT_TRUE(ProcessEventsUntil([&] { return window->Finished(); }, 60000));
    return window;
  }

  TempDir dir_;
  std::unique_ptr<ScopedEnv> env_;
};
