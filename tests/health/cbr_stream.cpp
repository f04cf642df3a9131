#include "tests/health/cbr_stream.h"

namespace healthtest {

using namespace tsbuild;

Bytes StandardPat() { return PatSection(1, {{1, kPmtPid}}); }

Bytes StandardPmt(int pcrPid) {
  return PmtSection(1, pcrPid, {{0x02, kVideoPid}, {0x03, kAudioPid}});
}

Scheduled PcrPacket(int pid, int64_t offsetTicks, bool discontinuity) {
  Scheduled s;
  s.header = {.pid = pid, .afc = 2};
  s.pcr = true;
  s.pcrOffsetTicks = offsetTicks;
  s.discontinuity = discontinuity;
  return s;
}

size_t CbrStream::FreeSlot(size_t from) const {
  while (packets_.count(from)) ++from;
  return from;
}

CbrStream& CbrStream::Clear(double from, double until) {
  packets_.erase(packets_.lower_bound(Slot(from)), packets_.lower_bound(Slot(until)));
  return *this;
}

CbrStream& CbrStream::SectionEvery(int pid, const Bytes& section, double interval, double first, double until) {
  for (double t = first; Slot(t) < slots_ && t < until; t += interval) {
    Scheduled s;
    s.header = {.pid = pid, .pusi = 1};
    s.payload = Bytes{0x00};
    Append(s.payload, section);
    Put(FreeSlot(Slot(t)), s);
  }
  return *this;
}

CbrStream& CbrStream::PcrEvery(int pid, double interval, double first, double until) {
  for (double t = first; Slot(t) < slots_ && t < until; t += interval) {
    Put(Slot(t), PcrPacket(pid));  // PCR slots are exact: they define the clock
  }
  return *this;
}

CbrStream& CbrStream::PtsEvery(int pid, int streamId, double interval, double first, double until) {
  for (double t = first; Slot(t) < slots_ && t < until; t += interval) {
    Scheduled s;
    s.header = {.pid = pid, .pusi = 1};
    s.payload = PesHeaderWithPts(streamId, static_cast<uint64_t>(t * 90000));
    Put(FreeSlot(Slot(t)), s);
  }
  return *this;
}

CbrStream& CbrStream::StandardProgram() {
  PcrEvery(kVideoPid, 0.020);
  SectionEvery(0, StandardPat(), 0.100);
  SectionEvery(kPmtPid, StandardPmt(), 0.100, 0.001);
  PtsEvery(kVideoPid, 0xE0, 0.040, 0.002);
  PtsEvery(kAudioPid, 0xC0, 0.040, 0.003);
  return *this;
}

Bytes CbrStream::Build() const {
  Bytes out;
  out.reserve(slots_ * kTsPacketSize);
  std::vector<int> lastCc(8192, 15);
  int nullCc = 0;
  for (size_t slot = 0; slot < slots_; ++slot) {
    auto it = packets_.find(slot);
    if (it == packets_.end()) {
      Append(out, NullPacket(nullCc++ & 15));
      continue;
    }
    const Scheduled& s = it->second;
    if (s.raw) {
      Append(out, s.payload);
      continue;
    }
    TsHeader header = s.header;
    int& cc = lastCc[static_cast<size_t>(header.pid & 0x1FFF)];
    if (s.autoCc) {
      if (header.afc & 1) cc = (cc + 1) & 15;
      header.cc = cc;
    } else {
      cc = header.cc;
    }
    Bytes adaptation;
    if (s.pcr) {
      const uint64_t pcr = pcrStart_ + slot * kTicksPerPacket + static_cast<uint64_t>(s.pcrOffsetTicks);
      adaptation = PcrAdaptation(pcr, s.discontinuity);
    } else if (header.afc & 2) {
      adaptation = AdaptationField(s.discontinuity);
    }
    Append(out, TsPacket(header, s.payload, adaptation));
  }
  return out;
}

}  // namespace healthtest
