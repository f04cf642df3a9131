// Fixture of the capture and tools dialog tests: a private profile, recorded
// messages, the settings block cleared, and a simulated box on demand.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/shell_state.h"
#include "capture/capture_settings.h"
#include "device/tuner_device.h"
#include "platform/profile.h"
#include "tests/ui/qt_test_support.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"

class DialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    profileEnv_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", profileDir_.path().c_str());
    ClearSettingsBlock();
    bBackFromLnbSetup = 0;
    nTunerModel.store(255);
  }
  void TearDown() override { CloseTunerDevice(); }

  // Starts a simulated box and opens it as the application does at start.
  // Another box needs another BoxSimProcess (a fresh device folder).
  bool OpenBox(const std::vector<std::string>& arguments) { return OpenBox(box_, arguments); }
  bool OpenBox(BoxSimProcess& box, const std::vector<std::string>& arguments) {
    CloseTunerDevice();
    if (!box.Start(arguments)) return false;
    if (!OpenTunerDevice()) return false;
    nTunerModel.store(GetTunerModel());
    return true;
  }

  // Acts on the next modal window of type T from inside its modal loop; the
  // watch lives until the end of the test.
  template <class T>
  void OnModal(std::function<void(T*)> action) {
    watches_.push_back(WhenModal<T>(std::move(action)));
  }

  int ProfileInt(const char* section, const char* key) { return ReadProfileInt(section, key, -9999); }
  std::vector<std::string> Messages() const { return hooks_.Messages(); }

  TempDir profileDir_;
  TempDir files_;
  std::unique_ptr<ScopedEnv> profileEnv_;
  RecordingUiHooks hooks_;
  BoxSimProcess box_;
  std::vector<std::unique_ptr<ModalWatch>> watches_;
};

// The prompt of a numeric field limited to what its request can carry.
inline std::string RangePrompt(long long minimum, long long maximum) {
  return "Please enter an integer from " + std::to_string(minimum) + " to " + std::to_string(maximum) + ".";
}
inline const std::string kLimitPrompt = RangePrompt(0, 2147483647);     // seconds, satellite MHz, LO
// What every box can count in its 32-bit chunk number.
inline const std::string kMegabytesPrompt = RangePrompt(0, 16777215);
inline const std::string kFrequencyKHzPrompt = RangePrompt(0, 16777215);
inline const std::string kPidPrompt = RangePrompt(0, 8191);

// Colour of the dialog's pixel at (x, y) as painted now.
inline QColor PixelAt(QWidget& widget, QPoint point) { return widget.grab().toImage().pixelColor(point); }
