// A simulated box for the capture tests: start it with a stream, open and tune
// it as the capture worker finds it, and read back what it played.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "capture/live_pat_probe.h"
#include "tests/capture/looped_source.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

namespace livebox {

// Garbage before the first packet, so that captures must start at the first
// 0x47 rather than at the start of the stream.
constexpr size_t kLeadingGarbage = 1000;

// 1000 garbage bytes, then `packets` packets that are all different, so that
// any 376 bytes of the looped stream tell where they came from.
inline std::vector<uint8_t> NumberedStream(int packets = 20000) {
  tsbuild::TsStreamBuilder stream;
  stream.Garbage(kLeadingGarbage).Numbered(packets);
  return stream.bytes();
}

// Limits short enough for a fast suite; each test that needs a real-time
// limit restores it.
inline CaptureTimings ShortTimings() {
  CaptureTimings timings;
  timings.syncTimeoutMs = 2000;
  timings.probeTimeoutMs = 2000;
  timings.watchdogPeriodMs = 1500;
  return timings;
}

class LiveBoxTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetCaptureTimingsForTesting(ShortTimings());
    bCaptureCancel.store(0);
    nCaptureProgress.store(0);
  }
  void TearDown() override {
    CloseTunerDevice();
    nTunerModel.store(255);
    SetCaptureTimingsForTesting(CaptureTimings{});
    bCaptureCancel.store(0);
  }

  // Starts the simulator playing `stream` (written to a file) with `extra`
  // arguments, opens the box and caches its model as the application does.
  bool StartBox(const std::vector<std::string>& kindArguments, const std::vector<uint8_t>& stream,
                const std::vector<std::string>& extra = {}) {
    source_ = stream;
    std::string path = dir_.File("source.ts");
    if (!tsbuild::WriteTsFile(path, stream)) return false;
    std::vector<std::string> arguments = kindArguments;
    for (const char* word : {"--lock-ms", "0", "--stream"}) arguments.push_back(word);
    arguments.push_back(path);
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    if (!box_.Start(arguments)) {
      ADD_FAILURE() << box_.StderrText();
      return false;
    }
    if (!OpenTunerDevice()) return false;
    nTunerModel.store(GetTunerModel());
    return true;
  }

  // The records a terrestrial or satellite dialog would store for any channel.
  void FillChannel(ChannelSettings* channel, CaptureSettings* capture) const {
    if (GetTunerFamily(nTunerModel.load()) == TunerFamily::Satellite) {
      DstFields fields;
      fields.frequencyMHz = 11500;
      fields.symbolRate = 27500;
      FillDstRecords(fields, channel, capture);
    } else {
      DttFields fields;
      fields.frequencyKHz = 474000;
      fields.bandwidthMHz = 8;
      FillDttRecords(fields, channel, capture);
    }
  }

  // Channel records as FillChannel gives them, with the capture limits of `limits`.
  CaptureSettings WithChannel(ChannelSettings* channel, const CaptureSettings& limits) const {
    CaptureSettings capture{};
    FillChannel(channel, &capture);
    capture.nRecordMode = limits.nRecordMode;
    capture.nCaptureSeconds = limits.nCaptureSeconds;
    capture.nCaptureMegabytes = limits.nCaptureMegabytes;
    return capture;
  }

  bool Tune() {
    ChannelSettings channel{};
    CaptureSettings capture{};
    FillChannel(&channel, &capture);
    return TuneChannel(-1, channel, capture) != 0;
  }

  static CaptureSettings BySize(uint32_t megabytes) {
    CaptureSettings capture{};
    capture.nRecordMode = 1;
    capture.nCaptureMegabytes = static_cast<int32_t>(megabytes);
    return capture;
  }
  static CaptureSettings ByTime(uint32_t seconds) {
    CaptureSettings capture{};
    capture.nRecordMode = 0;
    capture.nCaptureSeconds = static_cast<int32_t>(seconds);
    return capture;
  }

  // How many journal lines name this request code (8 hex digits).
  int Requests(const std::string& code) const {
    int count = 0;
    for (const std::string& line : box_.JournalLines())
      if (line.find(" " + code + " ") != std::string::npos) ++count;
    return count;
  }

  // The captured file equals the looped source from its first 0x47 on.
  ::testing::AssertionResult LosslessFromFirstSync(const std::string& captured) const {
    if (captured.empty()) return ::testing::AssertionFailure() << "empty capture";
    int64_t start = -1;
    if (!looped::IsLooped(source_, captured, &start))
      return ::testing::AssertionFailure()
             << "not the looped source (start " << start << ", matching run "
             << (start < 0 ? 0 : looped::MatchingRun(source_, captured, 0, start)) << " of "
             << captured.size() << ")";
    if (start != static_cast<int64_t>(kLeadingGarbage))
      return ::testing::AssertionFailure() << "starts at source offset " << start;
    return ::testing::AssertionSuccess();
  }

  TempDir dir_;
  BoxSimProcess box_;
  std::vector<uint8_t> source_;
};

}  // namespace livebox
