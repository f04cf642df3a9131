// What the engine passes on to a reader of tables and elementary streams:
// whole sections with a right CRC_32, never from a damaged packet; ES
// payloads of the PIDs a PMT names, unscrambled, undamaged, once.
#include <bitset>
#include <map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/health/cbr_stream.h"
#include "analysis/health/stream_observer_fanout.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

struct Recorder : StreamObserver {
  std::map<int, int> sections;  // per PID
  std::map<int, int> payloads;  // per PID
  void OnSection(int pid, const uint8_t*, size_t, uint64_t) override { ++sections[pid]; }
  void OnEsPayload(int pid, const uint8_t*, size_t, bool, uint64_t) override { ++payloads[pid]; }
};

TEST(HealthObserver, SectionsAndPayloadsOnlyFromPacketsThatCanBeTrusted) {
  CbrStream s(Slot(0.2));
  s.PcrEvery(kVideoPid, 0.020).SectionEvery(0, StandardPat(), 0.1).SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.001);
  auto audio = [&](double t, int tei, int scrambling, int cc) {
    Scheduled p;
    p.header = {.pid = kAudioPid, .tei = tei, .scrambling = scrambling, .cc = cc};
    p.payload = Bytes(20, static_cast<uint8_t>(cc));
    p.autoCc = false;
    s.Put(s.FreeSlot(Slot(t)), p);
  };
  audio(0.05, 0, 0, 0);
  audio(0.06, 0, 0, 0);  // a duplicate
  audio(0.07, 1, 0, 1);  // damaged
  audio(0.08, 0, 2, 2);  // scrambled
  audio(0.09, 0, 0, 3);
  Scheduled damagedPat;
  damagedPat.header = {.pid = 0, .pusi = 1, .tei = 1};
  damagedPat.payload = Bytes{0x00};
  Append(damagedPat.payload, StandardPat());
  s.Put(s.FreeSlot(Slot(0.15)), damagedPat);
  Scheduled unreferenced;
  unreferenced.header = {.pid = 0x777};
  s.Put(s.FreeSlot(Slot(0.16)), unreferenced);

  Recorder recorder;
  StreamHealth health;
  health.SetObserver(&recorder);
  const Bytes ts = s.Build();
  health.Feed(ts.data(), ts.size());
  health.Finish();
  EXPECT_EQ(recorder.sections[0], 2);  // at 0 and 0.1 s, not the damaged one
  EXPECT_EQ(recorder.sections[kPmtPid], 2);
  EXPECT_EQ(recorder.payloads[kAudioPid], 2);  // the first copy and the last packet
  EXPECT_EQ(recorder.payloads.count(0x777), 0u);
}

// An observer that asks for some elementary stream payloads and records
// which it was given (per PID and whether each started a PES packet).
struct Wanting : StreamObserver {
  const std::bitset<8192>* wanted = nullptr;
  bool starts = false;
  std::map<std::pair<int, bool>, int> got;
  void OnSection(int, const uint8_t*, size_t, uint64_t) override {}
  void OnEsPayload(int pid, const uint8_t*, size_t, bool unitStart, uint64_t) override { ++got[{pid, unitStart}]; }
  const std::bitset<8192>* EsPayloadWanted() const override { return wanted; }
  bool EsPesStartsWanted() const override { return starts; }
  // What it should have had of `all`'s payloads.
  std::map<std::pair<int, bool>, int> Expected(const std::map<std::pair<int, bool>, int>& all) const {
    std::map<std::pair<int, bool>, int> out;
    for (const auto& [key, count] : all)
      if (!wanted || wanted->test(static_cast<size_t>(key.first)) || (key.second && starts)) out[key] = count;
    return out;
  }
};

TEST(HealthObserver, EachObserverOfAFanOutGetsThePayloadsItAskedFor) {
  CbrStream s(Slot(0.3));
  s.PcrEvery(kVideoPid, 0.020).SectionEvery(0, StandardPat(), 0.1).SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.001);
  for (int i = 0; i < 60; ++i)
    for (int pid : {kVideoPid, kAudioPid}) {
      Scheduled p;
      p.header = {.pid = pid, .pusi = i % 4 == 0 ? 1 : 0};
      p.payload = Bytes(30, static_cast<uint8_t>(i));
      s.Put(s.FreeSlot(Slot(0.01 + i * 0.004)), p);
    }
  const Bytes ts = s.Build();
  std::bitset<8192> audio;
  audio.set(kAudioPid);
  struct Want {
    const std::bitset<8192>* wanted;
    bool starts;
  };
  const Want all{nullptr, false}, startsOnly{StreamObserver::NoEsPayloads(), true},
      audioOnly{&audio, false}, audioAndStarts{&audio, true}, none{StreamObserver::NoEsPayloads(), false};
  const std::vector<std::vector<Want>> cases = {
      {startsOnly}, {audioOnly}, {startsOnly, audioOnly}, {audioAndStarts, none}, {all, startsOnly, audioOnly},
      {none}, {audioOnly, audioOnly}, {startsOnly, startsOnly}};
  Wanting reference;
  {
    StreamHealth health;
    health.SetObserver(&reference);
    health.Feed(ts.data(), ts.size());
    health.Finish();
  }
  ASSERT_GT(reference.got.count({kVideoPid, false}), 0u);
  ASSERT_GT(reference.got.count({kAudioPid, true}), 0u);
  for (size_t c = 0; c < cases.size(); ++c) {
    std::vector<Wanting> observers(cases[c].size());
    StreamObserverFanout fanout;
    for (size_t i = 0; i < observers.size(); ++i) {
      observers[i].wanted = cases[c][i].wanted;
      observers[i].starts = cases[c][i].starts;
      fanout.Add(&observers[i]);
    }
    StreamHealth health;
    health.SetObserver(&fanout);
    health.Feed(ts.data(), ts.size());
    health.Finish();
    for (const Wanting& o : observers) EXPECT_EQ(o.got, o.Expected(reference.got)) << "case " << c;
    // Alone on the engine, each gets the same.
    for (size_t i = 0; i < observers.size(); ++i) {
      Wanting alone;
      alone.wanted = cases[c][i].wanted;
      alone.starts = cases[c][i].starts;
      StreamHealth single;
      single.SetObserver(&alone);
      single.Feed(ts.data(), ts.size());
      single.Finish();
      EXPECT_EQ(alone.got, observers[i].got) << "case " << c << ", observer " << i;
    }
  }
}

}  // namespace
