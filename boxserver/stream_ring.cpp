#include "boxserver/stream_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

StreamRing::~StreamRing() {
  if (base_) munmap(base_, size_);
  if (fd_ >= 0) close(fd_);
}

bool StreamRing::Create(size_t size, unsigned index, std::string* error) {
  size_ = size;
  fd_ = memfd_create("vantrel-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  // Sealed against shrinking: a reader's mapping can never run past the end.
  if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(size_)) != 0 ||
      fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    *error = std::string("cannot create the stream ring: ") + std::strerror(errno);
    return false;
  }
  void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (base == MAP_FAILED) {
    *error = std::string("cannot map the stream ring: ") + std::strerror(errno);
    return false;
  }
  base_ = static_cast<uint8_t*>(base);
  // Looks like the page-aligned address a driver would report; differs per box.
  token_ = 0x10000000u + ((static_cast<uint32_t>(getpid()) & 0xFFFF) << 12) + (index << 28);
  return true;
}

void StreamRing::Reset() {
  std::lock_guard<std::mutex> lock(writeMutex_);
  writeOffset_.store(0, std::memory_order_release);
  appended_.store(0, std::memory_order_release);
  skipped_ = 0;
}

void StreamRing::Append(const uint8_t* bytes, size_t count) {
  if (!base_ || count == 0) return;
  std::lock_guard<std::mutex> lock(writeMutex_);
  size_t offset = static_cast<size_t>((writeOffset_.load(std::memory_order_relaxed) + skipped_ % size_) % size_);
  uint64_t appended = appended_.load(std::memory_order_relaxed) + skipped_ + count;
  skipped_ = 0;
  if (count > size_) {
    // Only the newest ring's worth survives; the offset moves on regardless.
    size_t skip = count - size_;
    offset = (offset + skip) % size_;
    bytes += skip;
    count = size_;
  }
  while (count > 0) {
    size_t piece = std::min(count, size_ - offset);
    std::memcpy(base_ + offset, bytes, piece);
    bytes += piece;
    count -= piece;
    offset = (offset + piece) % size_;
  }
  writeOffset_.store(static_cast<uint32_t>(offset), std::memory_order_release);
  appended_.store(appended, std::memory_order_release);
}

void StreamRing::Skip(uint64_t count) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  skipped_ += count;
}
