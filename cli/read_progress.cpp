#include "cli/read_progress.h"

#include <cstdio>

#include "platform/files.h"

namespace {

// Smaller files are read before a line would help.
constexpr int64_t kProgressMinBytes = 100'000'000;
constexpr int kProgressBarWidth = 30;

}  // namespace

std::function<void(uint64_t, int64_t)> ReadProgress::OnBlockFor(const std::string& input) {
  if (input == "-" || !StandardErrorIsTerminal()) return {};
  return [this](uint64_t done, int64_t total) { Update(done, total); };
}

void ReadProgress::Update(uint64_t done, int64_t total) {
  if (total < kProgressMinBytes) return;
  const auto now = std::chrono::steady_clock::now();
  if (shown_ && now < next_) return;
  next_ = now + std::chrono::milliseconds(250);
  const int percent = static_cast<int>(done * 100 / static_cast<uint64_t>(total));
  const int filled = percent * kProgressBarWidth / 100;
  std::fprintf(stderr, "\r[%s%s] %3d%%  %.1f of %.1f MB\033[K", std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(kProgressBarWidth - filled), '-').c_str(), percent, done / 1e6,
               total / 1e6);
  std::fflush(stderr);
  shown_ = true;
}

void ReadProgress::Clear() {
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}
