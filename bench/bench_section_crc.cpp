// Speed of the section CRC check (every PSI/SI section a stream carries is
// checked, so it bounds how fast service information is read): MB/s over
// sections of a few lengths, best of RUNS passes over 1 MiB of them.
// Usage: bench_section_crc [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "analysis/engine/psi.h"

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  std::vector<uint8_t> data(size_t{1} << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  for (const int length : {32, 184, 1024, 4096}) {
    double best = 1e30;
    int accepted = 0;  // kept, so that the checks are not optimised away
    for (int run = 0; run < runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      for (int pass = 0; pass < 16; ++pass)
        for (size_t at = 0; at + static_cast<size_t>(length) <= data.size(); at += static_cast<size_t>(length))
          accepted += CheckSectionCrc(data.data() + at, length);
      best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const double bytes = 16.0 * static_cast<double>(data.size() / static_cast<size_t>(length) * static_cast<size_t>(length));
    std::printf("sections of %4d bytes: %7.0f MB/s (%d accepted)\n", length, bytes / best / 1e6, accepted);
  }
  return 0;
}
