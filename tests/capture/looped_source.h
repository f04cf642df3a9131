// Checks a capture against the stream a simulated box plays in a loop: the
// captured bytes must be the looped source, byte for byte, from some offset on.
// Shared by the capture tests and the capture benchmark.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace looped {

// Offset in `source` where `captured` begins, found from its first `probe`
// bytes (they may run across the end of the source into its start), or -1.
// With a source whose packets are all different the answer is unique.
inline int64_t FindStart(const std::vector<uint8_t>& source, const std::string& captured,
                         size_t probe = 376) {
  if (source.empty() || captured.empty()) return -1;
  size_t n = source.size();
  probe = std::min(probe, captured.size());
  for (size_t start = 0; start < n; ++start) {
    size_t i = 0;
    while (i < probe && source[(start + i) % n] == static_cast<uint8_t>(captured[i])) ++i;
    if (i == probe) return static_cast<int64_t>(start);
  }
  return -1;
}

// Number of leading bytes of `captured` (from `from` on) that equal the looped
// source starting at `sourceOffset`.
inline size_t MatchingRun(const std::vector<uint8_t>& source, const std::string& captured,
                          size_t from, size_t sourceOffset) {
  size_t n = source.size();
  size_t pos = sourceOffset % n;
  size_t i = from;
  while (i < captured.size()) {
    size_t run = std::min(captured.size() - i, n - pos);
    if (std::memcmp(source.data() + pos, captured.data() + i, run) != 0) {
      size_t same = 0;
      while (source[pos + same] == static_cast<uint8_t>(captured[i + same])) ++same;
      return i + same - from;
    }
    i += run;
    pos = (pos + run) % n;
  }
  return i - from;
}

// True when all of `captured` is the looped source from `*start` on (also
// found and returned when not null).
inline bool IsLooped(const std::vector<uint8_t>& source, const std::string& captured,
                     int64_t* start = nullptr) {
  int64_t offset = FindStart(source, captured);
  if (start) *start = offset;
  if (offset < 0) return false;
  return MatchingRun(source, captured, 0, static_cast<size_t>(offset)) == captured.size();
}

}  // namespace looped
