// What the engine passes on to a reader of tables and elementary streams:
// whole sections with a right CRC_32, never from a damaged packet; ES
// payloads of the PIDs a PMT names, unscrambled, undamaged, once.
#include <map>

#include <gtest/gtest.h>

#include "tests/health/cbr_stream.h"
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

}  // namespace
