// The stages' time limits. A stream that outlasts a limit is fed through a
// named pipe by a writer thread, so the test needs no huge file; bounds on
// the measured times are generous.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "tests/analysis/psi_test_support.h"

using namespace tsbuild;

namespace {

// Writes `head`, then `filler` again and again with short pauses, into a
// FIFO until the reader goes away or the feeder is destroyed. The writer never
// blocks for long, so the feeder ends even when a test stops early.
class FifoFeeder {
public:
  FifoFeeder(const std::string& path, Bytes head, Bytes filler) {
    std::signal(SIGPIPE, SIG_IGN);  // the reader closing first ends the writer with EPIPE
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    writer_ = std::thread([this, path, head = std::move(head), filler = std::move(filler)] {
      int fd = -1;
      while (fd < 0 && !stop_.load()) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);  // fails until a reader has opened
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (fd < 0) return;
      bool ok = WriteAll(fd, head);
      while (ok && !stop_.load()) {
        ok = WriteAll(fd, filler);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      close(fd);
    });
  }
  ~FifoFeeder() {
    stop_.store(true);
    writer_.join();
  }

private:
  bool WriteAll(int fd, const Bytes& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      if (stop_.load()) return false;
      pollfd writable{fd, POLLOUT, 0};
      if (poll(&writable, 1, 50) <= 0) continue;
      const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  std::atomic<bool> stop_{false};
  std::thread writer_;
};

Bytes NullPacketBytes(int count) {
  TsStreamBuilder builder;
  builder.NullPackets(count);
  return builder.bytes();
}

double SecondsOf(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(PsiStageTest, PatStageGivesUpAfterTwoSeconds) {
  const std::string path = dir.File("no-pat.fifo");
  FifoFeeder feeder(path, NullPacketBytes(10), NullPacketBytes(5000));
  OpenFile(path);
  int result = -1;
  const double seconds = SecondsOf([&] { result = AnalysePat(); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(bPatDone, 0);
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 10.0);
  ResetAnalysis();  // closes the reading end; the feeder's writes fail and it ends
}

TEST_F(PsiStageTest, PmtStageOfTenProgramsGivesUpAfterThreeSeconds) {
  std::vector<PatEntry> programs;
  for (int i = 0; i < 10; ++i) programs.push_back({i + 1, 0x100 + i});
  TsStreamBuilder head;
  head.Section(0x0000, PatSection(1, programs)).Section(0x0000, PatSection(1, programs));
  const std::string path = dir.File("no-pmt.fifo");
  FifoFeeder feeder(path, head.bytes(), NullPacketBytes(5000));
  OpenFile(path);
  ASSERT_EQ(AnalysePat(), 1);
  ASSERT_EQ(nProgramCount, 10);
  const double seconds = SecondsOf([] { AnalysePmt(); });
  EXPECT_EQ(bPmtDone, 1);
  EXPECT_EQ(ProgramTable[0].video_pid, 0);
  EXPECT_GE(seconds, 2.9);
  EXPECT_LT(seconds, 12.0);
  ResetAnalysis();
}
