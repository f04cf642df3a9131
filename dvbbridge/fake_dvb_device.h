// A DVB adapter without hardware: records every call that changes it as its
// journal line, reports fixed statistics, and delivers the stream either as
// scripted reads (tests) or as bytes looped at a given rate (--dry-run).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "dvbbridge/dvb_device.h"

class FakeDvbDevice : public DvbDevice {
public:
  FakeDvbDevice(DvbFrontendInfo info, DvbStatistics statistics);

  const DvbFrontendInfo& Info() const override { return info_; }
  bool Tune(const DvbTuning& tuning) override;
  bool ReadStatistics(DvbStatistics* statistics) override;
  bool SetVoltage(Voltage voltage) override;
  bool SetTone(bool on) override;
  bool SendBurst(bool dataBurst) override;
  bool SendDiseqc(const std::vector<uint8_t>& message) override;
  bool StartStream(uint16_t pid, size_t bufferBytes) override;
  void StopStream() override;
  ReadResult ReadStream(uint8_t* buffer, size_t size, int timeoutMs) override;
  bool Vanished() const override { return vanished_.load(); }

  // The journal lines of the calls so far (with their '\n'), and a fresh start.
  std::vector<std::string> Calls() const;
  void ClearCalls();

  void SetStatistics(const DvbStatistics& statistics);
  // Scripted stream: each read returns the next queued piece (cut to the
  // reader's size, the rest staying queued) or overflow; nothing queued: a timeout.
  void QueueRead(std::vector<uint8_t> bytes);
  void QueueOverflow();
  // Looped stream: `bytes` from their start, again and again, paced at
  // `bitsPerSecond` from each stream start. A stream started with a PID
  // filter delivers, as the demux does, only the whole 188-byte packets of
  // that PID, each when the whole stream would have reached its end.
  void PlayLooped(std::vector<uint8_t> bytes, uint64_t bitsPerSecond);
  // The adapter goes away: every call fails from now on.
  void Vanish();

private:
  using Clock = std::chrono::steady_clock;
  bool Record(const std::string& line);
  // The filtered packets of the looped stream among the `due` bytes that
  // follow loopDelivered_, into `buffer`; returns the bytes written.
  size_t FilterLooped(uint64_t due, uint8_t* buffer, size_t size);

  const DvbFrontendInfo info_;
  std::atomic<bool> vanished_{false};
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  DvbStatistics statistics_;
  std::vector<std::string> calls_;
  bool streaming_ = false;
  struct Piece {
    bool overflow;
    std::vector<uint8_t> bytes;
  };
  std::deque<Piece> script_;
  std::vector<uint8_t> loop_;
  uint64_t loopBitsPerSecond_ = 0;
  Clock::time_point loopStart_;
  uint64_t loopDelivered_ = 0;  // bytes of the whole looped stream passed so far
  uint16_t filterPid_ = 0x2000;  // 0x2000: the whole stream
};
