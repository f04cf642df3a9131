// libFuzzer target: every input is a transport-stream file for the PAT, PMT
// and SDT stages (see psi_fuzz_run.h). Built with -DVANTREL_FUZZ=ON; run it
// with scripts/fuzz-psi.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/ui_hooks.h"
#include "tests/fuzz/psi_fuzz_run.h"

namespace {

std::string InputPath() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/vantrel-psi-fuzz-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) std::abort();
  close(fd);
  return pattern;
}

const std::string& FuzzInputPath() {
  static const std::string path = [] {
    std::string created = InputPath();
    std::atexit([] { unlink(FuzzInputPath().c_str()); });
    // The stages never show a message, whatever the file holds.
    UiHooks hooks;
    hooks.showMessage = [](const std::string& text) {
      std::fprintf(stderr, "unexpected message: %s\n", text.c_str());
      std::abort();
    };
    InstallUiHooks(hooks);
    return created;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!RunPsiAnalysisOnBytes(data, size, FuzzInputPath())) std::abort();
  return 0;
}
