// libFuzzer target: every input is a stream for the health engine (see
// health_fuzz_run.h). Built with -DVANTREL_FUZZ=ON.
#include <cstdlib>

#include "tests/fuzz/health_fuzz_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!RunHealthOnBytes(data, size)) std::abort();
  return 0;
}
