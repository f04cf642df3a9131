// The timing of a program: PES timestamps read from headers, series that
// stay bounded without losing spikes, each stream's offset to the PCR and its
// drift in ppm against streams made with a known drift, clock jumps and
// discontinuity indicators; and the same through the health engine.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <numbers>
#include <thread>

#include "analysis/health/stream_observer_fanout.h"
#include "analysis/timing/pes_timestamps.h"
#include "analysis/timing/timing_collector.h"
#include "tests/health/cbr_stream.h"
#include "tests/support/ts_builder.h"

namespace {

using tsbuild::Bytes;

// A PES header with PTS and DTS.
Bytes PesHeaderWithPtsDts(int streamId, uint64_t pts, uint64_t dts) {
  auto field = [](unsigned prefix, uint64_t v) {
    v &= kPesTimestampWrap - 1;
    return Bytes{static_cast<uint8_t>(prefix << 4 | ((v >> 29) & 0x0E) | 1), static_cast<uint8_t>(v >> 22),
                 static_cast<uint8_t>(((v >> 14) & 0xFE) | 1), static_cast<uint8_t>(v >> 7),
                 static_cast<uint8_t>(((v << 1) & 0xFE) | 1)};
  };
  Bytes out{0x00, 0x00, 0x01, static_cast<uint8_t>(streamId), 0x00, 0x00, 0x80, 0xC0, 0x0A};
  tsbuild::Append(out, field(3, pts));
  tsbuild::Append(out, field(1, dts));
  return out;
}

TEST(PesTimestamps, ReadFromHeaders) {
  const uint64_t big = kPesTimestampWrap - 12345;  // every bit of the 33 in use
  const struct {
    const char* name;
    Bytes header;
    bool pes;
    std::optional<uint64_t> pts, dts;
  } cases[] = {
      {"PTS only", tsbuild::PesHeaderWithPts(0xC0, 900000), true, 900000, std::nullopt},
      {"PTS and DTS", PesHeaderWithPtsDts(0xE0, big, big - 3600), true, big, big - 3600},
      {"padding has no header", Bytes{0, 0, 1, 0xBE, 0, 10, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1}, true, std::nullopt,
       std::nullopt},
      {"cut before the PTS", Bytes{0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 5, 0x21, 0}, true, std::nullopt, std::nullopt},
      {"header length too short for the PTS", Bytes{0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 2, 0x21, 0, 1, 0, 1}, true,
       std::nullopt, std::nullopt},
      {"no start code", Bytes{0, 0, 2, 0xC0, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1}, false, std::nullopt,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PesTimestamps t;
    EXPECT_EQ(ReadPesTimestamps(c.header.data(), c.header.size(), t), c.pes);
    EXPECT_EQ(t.pts, c.pts);
    EXPECT_EQ(t.dts, c.dts);
  }
}

TEST(TimingSeries, StaysBoundedAndKeepsSpikes) {
  const struct {
    size_t maxBuckets;
    uint64_t values;
    uint64_t spikeAt;
  } cases[] = {{16, 10, 3}, {16, 100000, 54321}, {2048, 1000000, 999999}, {64, 4097, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.values);
    TimingSeries series(c.maxBuckets);
    for (uint64_t i = 0; i < c.values; ++i)
      series.Add({i * 188, static_cast<double>(i), i == c.spikeAt ? 1e6 : (i == c.spikeAt + 1 ? -1e6 : 1.0)});
    EXPECT_LE(series.Buckets().size(), c.maxBuckets);
    EXPECT_EQ(series.Count(), c.values);
    uint64_t inBuckets = 0;
    for (const TimingBucket& b : series.Buckets()) inBuckets += b.count;
    EXPECT_EQ(inBuckets, c.values);
    const std::vector<TimingSample> points = series.Points();
    bool spike = false, dip = false;
    for (size_t i = 0; i < points.size(); ++i) {
      spike |= points[i].value == 1e6 && points[i].byteOffset == c.spikeAt * 188;
      dip |= points[i].value == -1e6;
      if (i > 0) {
        EXPECT_LE(points[i - 1].byteOffset, points[i].byteOffset);
      }
    }
    EXPECT_TRUE(spike);
    EXPECT_EQ(dip, c.spikeAt + 1 < c.values);
    series.SetMaxBuckets(4);
    EXPECT_LE(series.Buckets().size(), 4u);
    EXPECT_EQ(series.Max(), 1e6);
  }
}

// A program fed straight to the collector: PCRs every 40 ms, video with PTS
// and DTS every 40 ms on the clock, audio every 24 ms drifting by `audioPpm`;
// 2,000,000 bytes a second.
struct ProgramFeed {
  double seconds = 20;
  double audioPpm = 0;
  uint64_t pcrStart = 0;
  double jumpAtS = -1;        // the PCR jumps by jumpS from here on
  double jumpS = 0;
  bool indicatorAtJump = false;
};

constexpr int kPmt = 0x100, kVideo = 0x200, kAudio = 0x201;
constexpr double kBytesPerSecond = 2e6;

uint64_t OffsetAt(double t) { return static_cast<uint64_t>(t * kBytesPerSecond / 188) * 188; }

void Feed(TimingCollector& collector, const ProgramFeed& f) {
  const Bytes pmt = tsbuild::PmtSection(7, kVideo, {{0x1B, kVideo}, {0x0F, kAudio}});
  collector.OnSection(kPmt, pmt.data(), pmt.size(), 0);
  auto clock = [&](double t) { return t + (f.jumpAtS >= 0 && t >= f.jumpAtS ? f.jumpS : 0); };
  const double delay = 0.5;  // PTS ahead of the clock
  std::multimap<uint64_t, std::function<void()>> events;  // by byte offset, in stream order
  for (int i = 0; i * 0.040 < f.seconds; ++i) {
    const double t = i * 0.040;
    const uint64_t at = OffsetAt(t);
    events.emplace(at, [&collector, &f, t, at, clock] {
      const uint64_t pcr = f.pcrStart + static_cast<uint64_t>(std::llround(clock(t) * 27e6));
      const bool indicator = f.indicatorAtJump && f.jumpAtS >= 0 && std::fabs(t - f.jumpAtS) < 0.001;
      collector.OnPcr(kVideo, pcr, at, indicator);
    });
    const uint64_t pts = f.pcrStart / 300 + static_cast<uint64_t>(std::llround((clock(t) + delay) * 90000));
    const Bytes video = PesHeaderWithPtsDts(0xE0, pts, pts - 3600);
    events.emplace(at + 188, [&collector, video, at] { collector.OnEsPayload(kVideo, video.data(), video.size(), true, at + 188); });
  }
  for (int i = 0; i * 0.024 < f.seconds; ++i) {
    const double t = i * 0.024 + 0.001;
    const double audioClock = clock(t) + delay + t * f.audioPpm * 1e-6;
    const Bytes audio = tsbuild::PesHeaderWithPts(0xC0, f.pcrStart / 300 + static_cast<uint64_t>(std::llround(audioClock * 90000)));
    const uint64_t at = OffsetAt(t) + 376;
    events.emplace(at, [&collector, audio, at] { collector.OnEsPayload(kAudio, audio.data(), audio.size(), true, at); });
    // Payloads that start no PES are passed over.
    events.emplace(at + 188, [&collector, at] {
      const Bytes middle(184, 0x47);
      collector.OnEsPayload(kAudio, middle.data(), middle.size(), false, at + 188);
    });
  }
  for (auto& [offset, event] : events) event();
}

const TimingStream* StreamOf(const TimingView& view, int pid) {
  for (const TimingStream& s : view.streams)
    if (s.pid == pid) return &s;
  return nullptr;
}

// The drift's margin: a true drift lies within it, with what repeats
// within a second (a video's reordering, an audio's jitter) or wanders over
// many on top, and it narrows as the recording grows; a splice (Break) moves the line without
// widening it.
TEST(DriftFit, MarginHoldsTheTrueDriftAndNarrowsWithLength) {
  const struct {
    const char* name;
    double seconds, truePpm, sawtoothMs, jitterMs, wanderMs, spliceAtS;
    double maxMarginPpm;
  } cases[] = {
      {"short, reordered video", 4, 0, 60, 0, 0, -1, 3000},
      {"ten minutes, reordered video", 600, 40, 60, 0, 0, -1, 5},
      {"ten minutes, jittering audio", 600, -25, 0, 5, 0, -1, 2},
      {"a minute of a multiplexer's slow wander", 60, 0, 0, 2, 10, -1, 150},
      {"two minutes with a splice", 120, 10, 60, 2, 0, 50, 40},
      {"an exact line", 10, 7, 0, 0, 0, -1, 0.01},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DriftFit fit;
    uint32_t random = 12345;
    for (int frame = 0; frame < c.seconds * 50; ++frame) {
      const double t = frame / 50.0;
      if (c.spliceAtS > 0 && frame == static_cast<int>(c.spliceAtS * 50)) fit.Break();
      random = random * 1664525u + 1013904223u;
      const double phase = frame % 24 / 24.0;  // a GOP of 24 frames at 50 Hz
      const double y = 0.7 + c.truePpm * 1e-6 * t + (c.spliceAtS > 0 && t >= c.spliceAtS ? 0.3 : 0) +
                       c.sawtoothMs * 1e-3 * (phase - 0.5) + c.jitterMs * 1e-3 * (random / 4294967296.0 - 0.5) +
                       c.wanderMs * 1e-3 * std::sin(2 * std::numbers::pi * t / 20 + 0.7);
      fit.Add(t, y);
    }
    ASSERT_TRUE(fit.Slope() && fit.Margin());
    EXPECT_LE(std::fabs(*fit.Slope() * 1e6 - c.truePpm), *fit.Margin() * 1e6 + 1e-6);
    EXPECT_LE(*fit.Margin() * 1e6, c.maxMarginPpm);
  }
  // Fewer means than the line has parameters and one to spare: a slope, no margin.
  DriftFit shortFit;
  for (double t = 0; t < 1.5; t += 0.02) shortFit.Add(t, 1e-5 * t);
  EXPECT_TRUE(shortFit.Slope());
  EXPECT_FALSE(shortFit.Margin());
}

TEST(TimingCollector, DriftAndOffsetOfEachStream) {
  const uint64_t nearWrap = (kPesTimestampWrap - 90000 * 5) * 300;  // wraps 5 s in
  const struct {
    const char* name;
    ProgramFeed feed;
    size_t jumps, indicators;
  } cases[] = {
      {"in step", {}, 0, 0},
      {"audio 120 ppm fast", {.audioPpm = 120}, 0, 0},
      {"audio 300 ppm slow", {.audioPpm = -300}, 0, 0},
      {"across the PCR wrap", {.audioPpm = 50, .pcrStart = nearWrap}, 0, 0},
      {"PCR jumps 3 s ahead", {.audioPpm = 80, .jumpAtS = 8, .jumpS = 3}, 1, 0},
      {"PCR steps back 2 s", {.audioPpm = -80, .jumpAtS = 8, .jumpS = -2}, 1, 0},
      {"new time base with the indicator", {.audioPpm = 200, .jumpAtS = 10, .jumpS = 40, .indicatorAtJump = true}, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TimingCollector collector;
    Feed(collector, c.feed);
    const TimingView view = collector.Snapshot(7);
    ASSERT_TRUE(view.known);
    EXPECT_EQ(view.pcrPid, kVideo);
    EXPECT_EQ(view.pcr.Count(), 500u);
    size_t jumps = 0, indicators = 0;
    for (const TimingEvent& e : view.events) {
      (e.kind == TimingEventKind::PcrJump ? jumps : indicators)++;
      EXPECT_EQ(e.byteOffset, OffsetAt(c.feed.jumpAtS));
      EXPECT_NEAR(e.timeS, c.feed.jumpAtS, 0.001);  // the clock's time runs on across it
      EXPECT_NEAR(e.stepS, 0.040 + c.feed.jumpS, 0.001);
    }
    EXPECT_EQ(jumps, c.jumps);
    EXPECT_EQ(indicators, c.indicators);
    const TimingStream* video = StreamOf(view, kVideo);
    const TimingStream* audio = StreamOf(view, kAudio);
    ASSERT_TRUE(video && audio);
    EXPECT_EQ(video->streamType, 0x1B);
    // Measured from the second PCR on, once the clock's pace is known.
    EXPECT_EQ(video->pts.Count(), 499u);
    EXPECT_EQ(video->dts.Count(), 499u);
    EXPECT_EQ(audio->dts.Count(), 0u);
    EXPECT_EQ(audio->pts.Count(), 832u);
    ASSERT_TRUE(video->driftPpm && audio->driftPpm);
    EXPECT_NEAR(*video->driftPpm, 0, 1);
    EXPECT_NEAR(*audio->driftPpm, c.feed.audioPpm, 2);
    // The offset stays near the 500 ms delay however the clock jumps.
    EXPECT_NEAR(video->offsetMs.Min(), 500, 1);
    EXPECT_NEAR(video->offsetMs.Max(), 500, 1);
    EXPECT_NEAR(audio->meanOffsetMs, 500 + c.feed.audioPpm * 1e-6 * c.feed.seconds / 2 * 1e3, 1);
  }
}

TEST(TimingCollector, PtsWithoutClockOrProgramIsLeftOut) {
  TimingCollector collector;
  const Bytes pes = tsbuild::PesHeaderWithPts(0xC0, 1000);
  collector.OnEsPayload(kAudio, pes.data(), pes.size(), true, 0);  // no PMT yet
  const Bytes pmt = tsbuild::PmtSection(7, kVideo, {{0x0F, kAudio}});
  collector.OnSection(kPmt, pmt.data(), pmt.size(), 188);
  collector.OnEsPayload(kAudio, pes.data(), pes.size(), true, 376);  // no PCR yet
  collector.OnEsPayload(0x333, pes.data(), pes.size(), true, 564);   // in no PMT
  const Bytes truncated(pmt.begin(), pmt.begin() + 10);
  collector.OnSection(kPmt, truncated.data(), truncated.size(), 600);  // ignored, never read past
  EXPECT_TRUE(collector.Snapshot(7).streams.empty());
  EXPECT_FALSE(collector.Snapshot(8).known);
  EXPECT_EQ(collector.Programs(), std::vector<int>{7});
}

TEST(TimingCollector, FollowsEachNewPmtOfAProgramThroughItsRepeats) {
  // The audio moves from one PID to another and back; each PMT comes three
  // times over, as a broadcast repeats it.
  TimingCollector collector;
  const Bytes first = tsbuild::PmtSection(7, kVideo, {{0x0F, kAudio}});
  const Bytes moved = tsbuild::PmtSection(7, kVideo, {{0x0F, kAudio + 1}});
  uint64_t at = 0;
  auto pmt = [&](const Bytes& section) {
    for (int repeat = 0; repeat < 3; ++repeat, at += 188) collector.OnSection(kPmt, section.data(), section.size(), at);
  };
  auto second = [&](int audioPid) {  // a second of PCRs, and a PTS on `audioPid` after each
    for (int i = 0; i < 25; ++i, at += 188 * 100) {
      collector.OnPcr(kVideo, at / 188 * 27'000'000 / 2500, at, false);
      const Bytes pes = tsbuild::PesHeaderWithPts(0xC0, at / 188 * 90'000 / 2500 + 45'000);
      collector.OnEsPayload(audioPid, pes.data(), pes.size(), true, at + 188);
    }
  };
  pmt(first);
  second(kAudio);
  pmt(moved);
  second(kAudio);  // no longer the program's
  second(kAudio + 1);
  const TimingView moving = collector.Snapshot(7);
  pmt(first);
  second(kAudio);
  const TimingView back = collector.Snapshot(7);
  ASSERT_EQ(moving.streams.size(), 1u);
  EXPECT_EQ(moving.streams[0].pid, kAudio + 1);
  EXPECT_EQ(moving.streams[0].pts.Count(), 25u);
  ASSERT_EQ(back.streams.size(), 1u);
  EXPECT_EQ(back.streams[0].pid, kAudio);
  // The first PTS came before the clock's pace was known.
  EXPECT_EQ(back.streams[0].pts.Count(), 24u + 25u);
}

TEST(TimingCollector, ManySeriesShareABoundedBudget) {
  TimingCollector collector(0.1, 2048, 4096);
  for (int program = 1; program <= 50; ++program) {
    const Bytes pmt = tsbuild::PmtSection(program, 0x100 + program, {{0x0F, 0x100 + program}});
    collector.OnSection(0x20, pmt.data(), pmt.size(), 0);
  }
  for (int i = 0; i < 2000; ++i)
    for (int program = 1; program <= 50; ++program) {
      const uint64_t at = static_cast<uint64_t>(i * 50 + program) * 188;
      collector.OnPcr(0x100 + program, static_cast<uint64_t>(i) * 27000 * 40, at, false);
      const Bytes pes = tsbuild::PesHeaderWithPts(0xC0, static_cast<uint64_t>(i) * 3600 + 9000);
      collector.OnEsPayload(0x100 + program, pes.data(), pes.size(), true, at + 94);
    }
  size_t buckets = 0;
  for (int program = 1; program <= 50; ++program) {
    const TimingView view = collector.Snapshot(program);
    ASSERT_EQ(view.streams.size(), 1u);
    buckets += view.pcr.Buckets().size();
    for (const TimingStream& s : view.streams) buckets += s.pts.Buckets().size() + s.offsetMs.Buckets().size();
    EXPECT_EQ(view.streams[0].pts.Count(), 1999u);  // the first one came before the pace was known
  }
  EXPECT_LE(buckets, 4096u);
}

void ExpectSameSeries(const TimingSeries& a, const TimingSeries& b) {
  EXPECT_EQ(a.Count(), b.Count());
  const std::vector<TimingSample> pa = a.Points(), pb = b.Points();
  ASSERT_EQ(pa.size(), pb.size());
  for (size_t i = 0; i < pa.size(); ++i) {
    EXPECT_EQ(pa[i].byteOffset, pb[i].byteOffset);
    EXPECT_EQ(pa[i].value, pb[i].value);
  }
}

TEST(TimingCollector, SnapshotsTakenWhileItIsFedLoseAndReorderNothing) {
  // Several times what the collector queues between two takes.
  ProgramFeed feed;
  feed.seconds = 300;
  feed.audioPpm = 40;
  feed.jumpAtS = 150;
  feed.jumpS = 2;
  TimingCollector alone;
  Feed(alone, feed);
  TimingCollector watched;
  std::atomic<bool> fed{false};
  uint64_t snapshots = 0, lastPcrs = 0;
  bool ordered = true;
  std::thread reader([&] {
    while (!fed.load()) {
      const TimingView view = watched.Snapshot(7);
      ordered = ordered && view.pcr.Count() >= lastPcrs;
      lastPcrs = view.pcr.Count();
      ++snapshots;
    }
  });
  Feed(watched, feed);
  fed.store(true);
  reader.join();
  EXPECT_GT(snapshots, 0u);
  EXPECT_TRUE(ordered);
  const TimingView expected = alone.Snapshot(7), got = watched.Snapshot(7);
  ExpectSameSeries(got.pcr, expected.pcr);
  ASSERT_EQ(got.events.size(), expected.events.size());
  ASSERT_EQ(got.streams.size(), 2u);
  ASSERT_EQ(got.streams.size(), expected.streams.size());
  for (size_t i = 0; i < got.streams.size(); ++i) {
    ExpectSameSeries(got.streams[i].pts, expected.streams[i].pts);
    ExpectSameSeries(got.streams[i].dts, expected.streams[i].dts);
    ExpectSameSeries(got.streams[i].offsetMs, expected.streams[i].offsetMs);
    EXPECT_EQ(got.streams[i].driftPpm, expected.streams[i].driftPpm);
  }
  EXPECT_NEAR(*got.streams[1].driftPpm, 40, 1);
}

// Through the engine: only the PCR_PID's PCRs reach the observers, every
// observer of a fan-out gets everything once.
struct Counter : StreamObserver {
  int sections = 0, payloads = 0, pcrs = 0, indicators = 0;
  void OnSection(int, const uint8_t*, size_t, uint64_t) override { ++sections; }
  void OnEsPayload(int, const uint8_t*, size_t, bool, uint64_t) override { ++payloads; }
  void OnPcr(int pid, uint64_t, uint64_t, bool indicator) override {
    EXPECT_EQ(pid, healthtest::kVideoPid);
    ++pcrs;
    indicators += indicator;
  }
};

TEST(TimingCollector, FedByTheHealthEngine) {
  using namespace healthtest;
  CbrStream s(Slot(3.0));
  s.StandardProgram();
  s.PcrEvery(0x300, 0.020, 0.011);  // PCRs on a PID that no PMT names as PCR_PID
  for (int i = 75; i < 150; ++i)  // a second on from 1.5 s, the first with the indicator
    s.Put(Slot(i * 0.020), PcrPacket(kVideoPid, 27000000, i == 75));
  const Bytes ts = s.Build();
  TimingCollector collector;
  Counter first, second;
  StreamObserverFanout fanout;
  fanout.Add(&first);
  fanout.Add(&collector);
  fanout.Add(&second);
  fanout.Add(nullptr);
  StreamHealth health;
  health.SetObserver(&fanout);
  health.Feed(ts.data(), ts.size());
  health.Finish();
  const HealthResult result = health.Snapshot();
  const PidStats* video = nullptr;
  for (const PidStats& p : result.pids)
    if (p.pid == kVideoPid) video = &p;
  ASSERT_TRUE(video);
  // The PMT comes 1 ms after the first PCR: that one is not yet a PCR_PID's.
  EXPECT_EQ(first.pcrs, static_cast<int>(video->pcrCount) - 1);
  EXPECT_EQ(first.indicators, 1);
  EXPECT_EQ(second.pcrs, first.pcrs);
  EXPECT_EQ(second.payloads, first.payloads);
  EXPECT_EQ(second.sections, first.sections);
  const TimingView view = collector.Snapshot(1);
  EXPECT_EQ(view.pcr.Count(), static_cast<uint64_t>(first.pcrs));
  ASSERT_EQ(view.events.size(), 1u);
  EXPECT_EQ(view.events[0].kind, TimingEventKind::DiscontinuityIndicator);
  EXPECT_EQ(view.events[0].byteOffset, Slot(1.5) * 188);
  ASSERT_EQ(view.streams.size(), 2u);
  for (const TimingStream& stream : view.streams) {
    ASSERT_TRUE(stream.driftPpm);
    EXPECT_NEAR(*stream.driftPpm, 0, 10);  // packets sit up to a few slots after their time
  }
}

}  // namespace
