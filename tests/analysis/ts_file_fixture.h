// Shared set-up of the file engine tests: a clean engine, recorded UI hooks,
// and helpers to open a synthetic stream and read it to its end.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "analysis/engine/ts_file.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

class TsFileTest : public ::testing::Test {
protected:
  void SetUp() override { ResetAnalysis(); }
  void TearDown() override { ResetAnalysis(); }

  // Writes `bytes` to a file in the test folder, selects it and opens it.
  void OpenStream(const tsbuild::Bytes& bytes, const std::string& name = "stream.ts") {
    std::string path = dir_.File(name);
    ASSERT_TRUE(tsbuild::WriteTsFile(path, bytes));
    OpenPath(path);
  }

  void OpenPath(const std::string& path) {
    ResetAnalysis();
    strTsFileName = path;
    ASSERT_EQ(OpenTsFile(), 1);
  }

  // Restarts the file and delivers packets until the end; returns the index
  // NumberedPackets wrote into each delivered packet.
  std::vector<int> ReadAllIndices() {
    std::vector<int> indices;
    if (!RestartTsFile()) return indices;
    while (NextPacket()) indices.push_back(tsbuild::PacketIndex(pbCurrentPacket));
    return indices;
  }

  static std::vector<int> Range(int first, int count) {
    std::vector<int> values;
    for (int i = 0; i < count; ++i) values.push_back(first + i);
    return values;
  }

  TempDir dir_;
  RecordingUiHooks ui_;
};
