// One fuzz input run through the PSI analysis: the bytes are written to a
// file and analysed as the PAT, PMT and SDT commands do, the reports are
// built, the three table parsers also read the bytes as a section body, and
// the name decoder reads them as a name.
// Shared by the libFuzzer target and the corpus replay test of the suite.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "analysis/engine/dvb_text.h"
#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"
#include "analysis/engine/ts_file.h"

// Returns false only when the input file cannot be written.
inline bool RunPsiAnalysisOnBytes(const uint8_t* data, size_t size, const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) return false;

  // The PAT command, then the PMT and SDT commands on the same file, so the
  // stages also chain as they do for the user.
  ResetAnalysis();
  strTsFileName = path;
  if (OpenTsFile() && RestartTsFile()) {
    AnalysePat();
    BuildPatReport();
    RestartTsFile();
    AnalysePmt();
    for (int i = 0; i < nProgramCount; ++i) BuildProgramDetailText(ProgramTable[i]);
    AnalyseSdt();
    BuildSdtReport();
    BuildSdtDisplayReport();
    if (PatSectionList != nullptr)
      for (const PatSectionText& entry : *PatSectionList) (void)entry.text.size();
  }
  ResetAnalysis();

  // The parsers on the raw bytes, taken as everything after section_length.
  if (size >= 3) {
    const uint8_t* body = data + 3;
    const int length = static_cast<int>(std::min<size_t>(size - 3, 4096));
    static ProgramRecord table[kMaxPrograms];
    table[0] = ProgramRecord{};
    int count = 0;
    ParsePatPrograms(body, length, table, count);
    ParsePmtStreams(body, length, table[0]);
    ParseSdtServices(body, length, table, count);
    CheckSectionCrc(data, static_cast<int>(std::min<size_t>(size, 4096)));
  }
  // The bytes as a name in every character table: the first byte selects it.
  DecodeDvbText(data, std::min<size_t>(size, 255));
  return true;
}
