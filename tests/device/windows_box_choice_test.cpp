// How the Windows build names a tuner box for --box: kinds, interface numbers
// and the drivers' device paths (no box is present in the test's system).
#include <gtest/gtest.h>

#include <string>

#include "device/tuner_device.h"

namespace {

struct ChoiceCase {
  const char* text;
  TunerBoxKind kind;  // Any: refused
  unsigned index;
  const char* back;   // TunerBoxChoiceText of the result
};

TEST(WindowsBoxChoice, KindsInterfaceNumbersAndFixedDevicePaths) {
  const ChoiceCase cases[] = {
      {"t", TunerBoxKind::T, 0, "t"},
      {"A", TunerBoxKind::A, 0, "a"},
      {"s", TunerBoxKind::S, 0, "s"},
      {"BUS", TunerBoxKind::Bus, 0, "bus"},
      {"a#3", TunerBoxKind::A, 3, "a#3"},
      {"bus#0", TunerBoxKind::Bus, 0, "bus"},
      {"Bus#65535", TunerBoxKind::Bus, 65535, "bus#65535"},
      {"\\\\.\\QVUSB-T-000", TunerBoxKind::T, 0, "t"},
      {"\\\\.\\qvusb-s-000", TunerBoxKind::S, 0, "s"},
      {"bus#65536", TunerBoxKind::Any, 0, ""},
      {"a#03", TunerBoxKind::Any, 0, ""},
      {"a#", TunerBoxKind::Any, 0, ""},
      {"a#-1", TunerBoxKind::Any, 0, ""},
      {"\\\\.\\QVUSB-X-000", TunerBoxKind::Any, 0, ""},
      {"/tmp/vantrel/QVUSB-T-000", TunerBoxKind::Any, 0, ""},
      // An interface path names a box only while the system lists it.
      {"\\\\?\\usb#vid_1234&pid_5678#0#{7377db61-e3cd-11d2-8a3f-0000f8784422}", TunerBoxKind::Any, 0, ""},
      {"", TunerBoxKind::Any, 0, ""},
  };
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(c.text);
    TunerBoxChoice choice;
    std::string error;
    const bool parsed = ParseTunerBoxChoice(c.text, &choice, &error);
    ASSERT_EQ(parsed, c.kind != TunerBoxKind::Any) << error;
    if (!parsed) {
      EXPECT_NE(error.find("device path"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(choice.kind, c.kind);
    EXPECT_EQ(choice.interfaceIndex, c.index);
    EXPECT_TRUE(choice.directory.empty());
    EXPECT_EQ(TunerBoxChoiceText(choice), c.back);
  }
}

TEST(WindowsBoxChoice, OnlyThe32BitBuildOpensBoxes) {
  EXPECT_EQ(kBuildTalksToBoxes, sizeof(void*) == 4) << "the drivers hand back 4-byte ring addresses";
  SelectTunerBox(TunerBoxChoice{}, false);
  const int opened = OpenTunerDevice();
  if (!kBuildTalksToBoxes) {
    // The 64-bit build does not even look, whatever boxes are present.
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(bDeviceOpen, 0);
    CloseTunerDevice();
    EXPECT_FALSE(TunerBoxStillThere());
    return;
  }
  // A box may be present (the fake tuner driver's, once its tests have
  // installed it): one that opens is there until it is closed.
  EXPECT_EQ(bDeviceOpen != 0, opened != 0);
  if (opened != 0) {
    EXPECT_TRUE(TunerBoxStillThere());
  }
  CloseTunerDevice();
  EXPECT_EQ(bDeviceOpen, 0);
}

}  // namespace
