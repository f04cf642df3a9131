#include "analysis/dialogs/stream_analysis/stream_analysis_live.h"

#include <chrono>
#include <thread>

#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "capture/stream_ring_feeder.h"
#include "device/tuner_device.h"
#include "platform/ui_hooks.h"

namespace {

using Clock = std::chrono::steady_clock;

// At 200 Mbit/s the ring holds about 125 ms: poll well within that.
constexpr auto kPollInterval = std::chrono::milliseconds(4);

double SecondsSince(Clock::time_point then) { return std::chrono::duration<double>(Clock::now() - then).count(); }

}  // namespace

HealthFileOutcome AnalyseLiveStream(const HealthLimits& limits, const HealthFileOptions& options, HealthFileRun* run,
                                    LiveStatus* status) {
  HealthFileOutcome outcome;
  auto fail = [&](const char* text) {
    outcome.error = TranslateText(text);
    run->done.store(true);
    return outcome;
  };
  const int model = nTunerModel.load();
  const CaptureSettingsBlock block = GetSettingsBlock();
  if (!TuneChannel(-1, block.channel, block.capture))
    return fail(run->cancel.load() ? "stopped while tuning" : "tuning failed");
  uint8_t* ring = nullptr;
  size_t mapped = 0;
  const StreamLayout layout = GetStreamLayout(model);
  if (!StartStream(&ring, &mapped) || ring == nullptr || mapped < layout.ringSize) {
    if (ring != nullptr) StopStream();
    return fail("the box did not start its stream");
  }
  outcome.opened = true;
  status->streaming.store(true);
  StreamHealth health(limits);
  if (options.prepare) options.prepare(health);
  StreamRingFeeder feeder(ring, layout.ringSize);
  Clock::time_point lastBytes = Clock::now();
  Clock::time_point nextSignal = Clock::now();
  Clock::time_point nextPublish = Clock::now();
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.publishIntervalS));
  while (!run->cancel.load()) {
    const uint64_t received = feeder.received();
    if (!feeder.Poll(health)) {
      if (run->cancel.load()) break;  // the stop cancelled the request
      outcome.error = TranslateText("the box stopped answering the stream position request");
      outcome.readError = true;
      break;
    }
    if (feeder.received() != received) {
      status->overruns.store(feeder.overruns());
      lastBytes = Clock::now();
      run->bytesDone.store(feeder.received());
      if (options.onBlock) options.onBlock(feeder.bytes(), -1);
    }
    status->idleS.store(SecondsSince(lastBytes));
    if (Clock::now() >= nextSignal) {
      int strength = 0, quality = 0, locked = 0;
      const bool ok = GetSignalStatus(&strength, &quality, &locked) != 0;
      status->signalRead.store(ok);
      if (ok) {
        status->strength.store(strength);
        status->quality.store(quality);
        status->locked.store(locked);
      }
      nextSignal = Clock::now() + std::chrono::seconds(1);
    }
    if (Clock::now() >= nextPublish) {
      run->Publish(health.Snapshot());
      nextPublish = Clock::now() + interval;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  StopStream();
  status->streaming.store(false);
  health.Finish();
  outcome.result = health.Snapshot();
  outcome.result.partial = outcome.readError;
  run->Publish(outcome.result);
  run->done.store(true);
  return outcome;
}
