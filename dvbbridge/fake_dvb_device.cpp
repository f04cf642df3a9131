#include "dvbbridge/fake_dvb_device.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

// A dry run can go on for days: only the newest calls are kept in memory.
constexpr size_t kMaxCalls = 10000;
constexpr uint16_t kWholeStream = 0x2000;
constexpr size_t kPacketBytes = 188;
constexpr uint8_t kSyncByte = 0x47;

}  // namespace

FakeDvbDevice::FakeDvbDevice(DvbFrontendInfo info, DvbStatistics statistics)
    : info_(std::move(info)), statistics_(statistics) {}

bool FakeDvbDevice::Record(const std::string& line) {
  if (vanished_.load()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (calls_.size() >= kMaxCalls) calls_.erase(calls_.begin(), calls_.begin() + kMaxCalls / 2);
  calls_.push_back(line);
  return true;
}

bool FakeDvbDevice::Tune(const DvbTuning& tuning) { return Record(DescribeTune(tuning)); }
bool FakeDvbDevice::SetVoltage(Voltage voltage) { return Record(DescribeVoltage(voltage)); }
bool FakeDvbDevice::SetTone(bool on) { return Record(DescribeTone(on)); }
bool FakeDvbDevice::SendBurst(bool dataBurst) { return Record(DescribeBurst(dataBurst)); }
bool FakeDvbDevice::SendDiseqc(const std::vector<uint8_t>& message) {
  return Record(DescribeDiseqc(message));
}

bool FakeDvbDevice::ReadStatistics(DvbStatistics* statistics) {
  if (vanished_.load()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  *statistics = statistics_;
  return true;
}

bool FakeDvbDevice::StartStream(uint16_t pid, size_t bufferBytes) {
  if (!Record(DescribeStartStream(pid, bufferBytes))) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  streaming_ = true;
  loopStart_ = Clock::now();
  loopDelivered_ = 0;
  filterPid_ = pid;
  return true;
}

void FakeDvbDevice::StopStream() {
  Record(DescribeStopStream());
  std::lock_guard<std::mutex> lock(mutex_);
  streaming_ = false;
  queued_.notify_all();
}

std::vector<std::string> FakeDvbDevice::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void FakeDvbDevice::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

void FakeDvbDevice::SetStatistics(const DvbStatistics& statistics) {
  std::lock_guard<std::mutex> lock(mutex_);
  statistics_ = statistics;
}

void FakeDvbDevice::QueueRead(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(Piece{false, std::move(bytes)});
  queued_.notify_all();
}

void FakeDvbDevice::QueueOverflow() {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(Piece{true, {}});
  queued_.notify_all();
}

void FakeDvbDevice::PlayLooped(std::vector<uint8_t> bytes, uint64_t bitsPerSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  loop_ = std::move(bytes);
  loopBitsPerSecond_ = bitsPerSecond;
}

void FakeDvbDevice::Vanish() {
  vanished_.store(true);
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.notify_all();
}

ReadResult FakeDvbDevice::ReadStream(uint8_t* buffer, size_t size, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (vanished_.load()) return {ReadOutcome::Gone};
    if (streaming_ && !script_.empty()) {
      Piece& piece = script_.front();
      if (piece.overflow) {
        script_.pop_front();
        return {ReadOutcome::Overflow};
      }
      size_t count = std::min(size, piece.bytes.size());
      std::memcpy(buffer, piece.bytes.data(), count);
      piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + static_cast<long>(count));
      if (piece.bytes.empty()) script_.pop_front();
      return {ReadOutcome::Data, count};
    }
    if (streaming_ && !loop_.empty() && loopBitsPerSecond_ > 0) {
      auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - loopStart_);
      uint64_t due = static_cast<uint64_t>(static_cast<unsigned __int128>(loopBitsPerSecond_) *
                                           static_cast<uint64_t>(elapsed.count()) / 8000000000u) -
                     loopDelivered_;
      if (due > 0 && filterPid_ != kWholeStream) {
        if (const size_t count = FilterLooped(due, buffer, size)) return {ReadOutcome::Data, count};
      } else if (due > 0) {
        size_t count = static_cast<size_t>(std::min<uint64_t>(due, size));
        for (size_t done = 0; done < count;) {
          size_t position = static_cast<size_t>((loopDelivered_ + done) % loop_.size());
          size_t piece = std::min(count - done, loop_.size() - position);
          std::memcpy(buffer + done, loop_.data() + position, piece);
          done += piece;
        }
        loopDelivered_ += count;
        return {ReadOutcome::Data, count};
      }
      // Nothing due yet: come back when a little is, as a driver's buffer fills.
      if (Clock::now() >= deadline) return {ReadOutcome::Timeout};
      lock.unlock();
      std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(5),
                                                            deadline - Clock::now()));
      lock.lock();
      continue;
    }
    if (queued_.wait_until(lock, deadline) == std::cv_status::timeout) return {ReadOutcome::Timeout};
  }
}

size_t FakeDvbDevice::FilterLooped(uint64_t due, uint8_t* buffer, size_t size) {
  // Packets are taken where a sync byte starts one; other bytes are passed
  // over one at a time, as the demux finds its way into a stream. Bounded by
  // `due` and by the buffer.
  size_t written = 0;
  uint8_t packet[kPacketBytes];
  while (due >= kPacketBytes && written + kPacketBytes <= size) {
    const size_t position = static_cast<size_t>(loopDelivered_ % loop_.size());
    if (loop_[position] != kSyncByte) {
      ++loopDelivered_;
      --due;
      continue;
    }
    for (size_t i = 0; i < kPacketBytes; ++i) packet[i] = loop_[(position + i) % loop_.size()];
    loopDelivered_ += kPacketBytes;
    due -= kPacketBytes;
    const uint16_t pid = static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
    if (pid != filterPid_) continue;
    std::memcpy(buffer + written, packet, kPacketBytes);
    written += kPacketBytes;
  }
  return written;
}
