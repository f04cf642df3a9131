// One StreamObserver that passes everything on to several others, in the
// order they were added: a window that reads the service information and
// the timing of the same stream attaches one fan-out to the engine.
#pragma once

#include <bitset>
#include <vector>

#include "analysis/health/stream_health.h"

class StreamObserverFanout final : public StreamObserver {
public:
  // `observer` (not null) outlives the feeding; the same one twice is passed
  // everything twice. All are added before the fan-out is attached: what
  // each wants of the elementary streams is asked here, once.
  void Add(StreamObserver* observer) {
    if (!observer) return;
    observers_.push_back({observer, observer->EsPayloadWanted(), observer->EsPesStartsWanted()});
    startsWanted_ = startsWanted_ || observers_.back().startsWanted;
    // The engine is asked for the union: every payload when one wants them
    // all or two want different PIDs, else the one set (kept up to date by
    // its observer), so that the engine skips what none of them reads.
    const std::bitset<8192>* none = NoEsPayloads();
    const std::bitset<8192>* one = none;
    bool all = false;
    for (const Entry& e : observers_) {
      if (!e.wanted || (e.wanted != none && one != none && one != e.wanted)) {
        all = true;
        break;
      }
      if (e.wanted != none) one = e.wanted;
    }
    wanted_ = all ? nullptr : one;
  }
  bool Empty() const { return observers_.empty(); }

  const std::bitset<8192>* EsPayloadWanted() const override { return observers_.empty() ? nullptr : wanted_; }
  bool EsPesStartsWanted() const override { return startsWanted_; }

  void OnSection(int pid, const uint8_t* section, size_t size, uint64_t byteOffset) override {
    for (const Entry& e : observers_) e.observer->OnSection(pid, section, size, byteOffset);
  }
  void OnEsPayload(int pid, const uint8_t* payload, size_t size, bool unitStart, uint64_t byteOffset) override {
    // Each gets what it asked for, whatever the others asked.
    for (const Entry& e : observers_)
      if (!e.wanted || (unitStart && e.startsWanted) || e.wanted->test(static_cast<size_t>(pid)))
        e.observer->OnEsPayload(pid, payload, size, unitStart, byteOffset);
  }
  void OnSectionTime(uint64_t byteOffset, double timeS) override {
    for (const Entry& e : observers_) e.observer->OnSectionTime(byteOffset, timeS);
  }
  void OnPcr(int pid, uint64_t pcr27MHz, uint64_t byteOffset, bool discontinuityIndicator) override {
    for (const Entry& e : observers_) e.observer->OnPcr(pid, pcr27MHz, byteOffset, discontinuityIndicator);
  }

private:
  struct Entry {
    StreamObserver* observer;
    const std::bitset<8192>* wanted;  // its EsPayloadWanted()
    bool startsWanted;                // its EsPesStartsWanted()
  };
  std::vector<Entry> observers_;
  const std::bitset<8192>* wanted_ = nullptr;
  bool startsWanted_ = false;
};
