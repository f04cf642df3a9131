// The stream ring a box hands to the program: shared memory (a sealed memfd)
// that the program maps read-only, filled in a loop from its start, with the
// write offset the position request reports.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class StreamRing {
public:
  StreamRing() = default;
  ~StreamRing();
  StreamRing(const StreamRing&) = delete;
  StreamRing& operator=(const StreamRing&) = delete;

  // Creates and maps the memory; `index` makes the token differ per box.
  bool Create(size_t size, unsigned index, std::string* error);

  int fd() const { return fd_; }
  size_t size() const { return size_; }
  // The 4-byte value the start request answers, as a driver's ring address.
  uint32_t token() const { return token_; }

  // Back to offset 0: the next byte goes to the ring's start.
  void Reset();
  // Appends at the write offset, wrapping at the end. More than the ring
  // holds keeps only the newest ring's worth (the offset moves on as if all
  // had been written). Safe against Reset from another thread.
  void Append(const uint8_t* bytes, size_t count);
  // A writer that fell behind by more than the ring: `count` stream bytes
  // are lost before the next Append, whose offset moves on by them first (a
  // reader sees the offset where a driver that wrote them all would be).
  void Skip(uint64_t count);
  uint32_t WriteOffset() const { return writeOffset_.load(std::memory_order_acquire); }
  // Total bytes appended since the last Reset.
  uint64_t BytesAppended() const { return appended_.load(std::memory_order_acquire); }
  // Read access for tests and in-process readers.
  const uint8_t* data() const { return base_; }

private:
  int fd_ = -1;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  uint32_t token_ = 0;
  std::mutex writeMutex_;
  std::atomic<uint32_t> writeOffset_{0};
  std::atomic<uint64_t> appended_{0};
  uint64_t skipped_ = 0;  // under writeMutex_: bytes the next Append moves on by
};
