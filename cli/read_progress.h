// The progress line on stderr while a command reads a large file: shown on a
// terminal only, at most every quarter second, cleared before the result.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class ReadProgress {
public:
  // What to pass as the reader's onBlock for `input`; empty (no line) for
  // standard input or when stderr is not a terminal.
  std::function<void(uint64_t bytesDone, int64_t bytesTotal)> OnBlockFor(const std::string& input);
  void Update(uint64_t done, int64_t total);
  void Clear();

private:
  bool shown_ = false;
  std::chrono::steady_clock::time_point next_;
};
