// One StreamObserver that passes everything on to several others, in the
// order they were added: a window that reads the service information and
// the timing of the same stream attaches one fan-out to the engine.
#pragma once

#include <vector>

#include "analysis/health/stream_health.h"

class StreamObserverFanout final : public StreamObserver {
public:
  // `observer` (not null) outlives the feeding; the same one twice is passed
  // everything twice.
  void Add(StreamObserver* observer) {
    if (observer) observers_.push_back(observer);
  }
  bool Empty() const { return observers_.empty(); }

  void OnSection(int pid, const uint8_t* section, size_t size, uint64_t byteOffset) override {
    for (StreamObserver* o : observers_) o->OnSection(pid, section, size, byteOffset);
  }
  void OnEsPayload(int pid, const uint8_t* payload, size_t size, bool unitStart, uint64_t byteOffset) override {
    for (StreamObserver* o : observers_) o->OnEsPayload(pid, payload, size, unitStart, byteOffset);
  }
  void OnSectionTime(uint64_t byteOffset, double timeS) override {
    for (StreamObserver* o : observers_) o->OnSectionTime(byteOffset, timeS);
  }
  void OnPcr(int pid, uint64_t pcr27MHz, uint64_t byteOffset, bool discontinuityIndicator) override {
    for (StreamObserver* o : observers_) o->OnPcr(pid, pcr27MHz, byteOffset, discontinuityIndicator);
  }

private:
  std::vector<StreamObserver*> observers_;
};
