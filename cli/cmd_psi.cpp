// `vantrel-cli pat|pmt|sdt`: the PAT, PMT and SDT commands without their
// dialogs. Each runs its stage on a fresh analysis of FILE (the earlier stages
// with it, as the commands do) and prints what the result dialog shows, or
// with --json the program table for scripts.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/engine/dvb_text.h"
#include "analysis/health/stream_health.h"
#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"
#include "analysis/engine/ts_file.h"
#include "cli/command.h"
#include "platform/files.h"

namespace {

enum class PsiCommand { Pat, Pmt, Sdt };

struct PsiOptions {
  std::string file;
  bool json = false;
};

nlohmann::ordered_json ProgramTableJson() {
  nlohmann::ordered_json programs = nlohmann::ordered_json::array();
  const int count = std::clamp(nProgramCount, 0, kMaxPrograms);
  for (int i = 0; i < count; ++i) {
    const ProgramRecord& record = ProgramTable[i];
    const int audioCount = std::clamp(record.audio_count, 0, kMaxAudioPids);
    const std::string name = StoredNameBytes(record.service_name, record.service_name_length);
    const std::string provider = StoredNameBytes(record.provider_name, record.provider_name_length);
    programs.push_back({
        {"program_number", record.program_number},
        {"pmt_pid", record.pmt_pid},
        {"pmt_found", record.pmt_found != 0},
        {"video_pid", record.video_pid},
        {"audio_pids", std::vector<int>(record.audio_pids, record.audio_pids + audioCount)},
        {"service_type", record.service_type},
        {"service_name", DecodeDvbText(name)},
        {"service_name_hex", DvbTextHex(name)},
        {"provider_name", DecodeDvbText(provider)},
        {"provider_name_hex", DvbTextHex(provider)},
    });
  }
  return {
      {"program_count", nProgramCount},
      {"program_table_full", bProgramTableFull == 1},
      {"pat_done", bPatDone == 1},
      {"pmt_done", bPmtDone == 1},
      {"sdt_done", bSdtDone == 1},
      {"sdt_exists", bSdtExists == 1},
      {"programs", std::move(programs)},
  };
}

std::string PatText() {
  BuildPatReport();
  std::string text = WithNewlineEnds(strPatReport);
  if (PatSectionList != nullptr && !PatSectionList->empty())
    text += "\nPAT section 0:" + WithNewlineEnds((*PatSectionList)[0].text) + "\n";
  return text;
}

std::string PmtText() {
  BuildPatReport();
  std::string text = "Number of program is " + std::to_string(nProgramCount) + "\n";
  const int count = std::clamp(nProgramCount, 0, kMaxPrograms);
  for (int i = 0; i < count; ++i) {
    text += WithNewlineEnds(BuildPatReportRow(i));
    text += WithNewlineEnds(BuildProgramDetailText(ProgramTable[i]));
  }
  return text;
}

std::string SdtText() { return WithNewlineEnds(BuildSdtDisplayReport()); }


// Whether `file` holds a transport stream as `analyze` sees one: a run of
// sync bytes at one packet size. Reads from the start until the run is
// found (a few packets for a stream), all of it for a file with none; the
// file is left at its start. *bytes gets what was read.
bool HoldsTransportStream(FILE* file, uint64_t* bytes) {
  StreamHealth health;
  std::vector<uint8_t> block(1 << 16);
  std::rewind(file);
  for (;;) {
    const size_t got = std::fread(block.data(), 1, block.size(), file);
    if (got == 0) break;
    health.Feed(block.data(), got);
    if (health.PacketsAnalysed() > 0) break;
  }
  health.Finish();
  *bytes = health.BytesFed();
  std::rewind(file);
  return health.Snapshot().everSynced;
}

int RunPsiCommand(PsiCommand command, const PsiOptions& options) {
  ResetAnalysis();
  strTsFileName = options.file;
  // The stages read the file from its start more than once (the SDT stage
  // restarts it, the PMT stage may go round again): from input that cannot be
  // rewound they would give an incomplete table without noticing. A FIFO is
  // refused before it is opened, which would wait for a writer.
  const bool pipe = IsNamedPipePath(options.file);
  if (!pipe && !OpenTsFile()) {
    ResetAnalysis();
    return kExitFailure;
  }
  if (pipe || !CanRewindStream(pTsFile)) {
    std::fprintf(stderr,
                 "%s cannot be read again from its start (a pipe or FIFO): the analysis reads "
                 "the stream more than once. Save it to a file first.\n",
                 options.file.c_str());
    ResetAnalysis();
    return kExitFailure;
  }
  uint64_t bytesRead = 0;
  if (!HoldsTransportStream(pTsFile, &bytesRead)) {
    std::fprintf(stderr, "vantrel-cli: %s\n",
                 NoTransportStreamText(options.file, bytesRead, HealthLimits{}.syncAcquirePackets).c_str());
    ResetAnalysis();
    return kExitFailure;
  }
  if (RestartTsFile()) {
    SetAnalysingFlag(1);
    switch (command) {
      case PsiCommand::Pat: AnalysePat(); break;
      case PsiCommand::Pmt: AnalysePmt(); break;
      case PsiCommand::Sdt: AnalyseSdt(); break;
    }
    SetAnalysingFlag(0);
  }
  std::string output;
  if (options.json) {
    output = ProgramTableJson().dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  } else {
    switch (command) {
      case PsiCommand::Pat: output = PatText(); break;
      case PsiCommand::Pmt: output = PmtText(); break;
      case PsiCommand::Sdt: output = SdtText(); break;
    }
  }
  ResetAnalysis();
  std::fwrite(output.data(), 1, output.size(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kExitOk : kExitFailure;
}

CommandSetup PsiSetup(PsiCommand command, const char* footer) {
  return [command, footer](CLI::App& app) -> std::function<int()> {
    auto options = std::make_shared<PsiOptions>();
    app.add_option("FILE", options->file,
                   "Transport-stream file of 188-byte packets (a file that can be read again from "
                   "its start: pipes and FIFOs are refused)")
        ->required();
    app.add_flag("--json", options->json,
                 "Print the program table as JSON instead of the report: per program its PIDs, "
                 "whether its PMT was found (pmt_found), service type, names as text and as hex "
                 "bytes; program_table_full tells that the PAT listed more programs than the "
                 "1024 kept");
    app.footer(std::string(footer) +
               "\nExit status: 0 with the report (also for a stream without these tables); 1 when FILE "
               "cannot be opened or read again from its start, or holds no transport stream (as analyze "
               "says: no run of sync bytes); 2 usage error.");
    return [command, options] { return RunPsiCommand(command, *options); };
  };
}

CliCommandRegistration patCommand(
    "pat", "Read the Program Association Table of a transport-stream file and list its programs",
    PsiSetup(PsiCommand::Pat,
             "Prints the program list, then the bytes collected for PAT section 0 in hex."));

CliCommandRegistration pmtCommand(
    "pmt", "Find the video and audio PIDs of every program of a transport-stream file",
    PsiSetup(PsiCommand::Pmt,
             "Reads the PAT, then each program's PMT; prints each program's row of the program "
             "list followed by its video PID and audio PIDs."));

CliCommandRegistration sdtCommand(
    "sdt", "Name the programs of a transport-stream file from its Service Description Table",
    PsiSetup(PsiCommand::Sdt,
             "Reads the PAT, the PMTs and the SDT; prints one line per program with its service "
             "type, its video PID (the last video stream of its PMT), its first audio PID and "
             "its service name, decoded from the name's DVB character table; bytes that cannot "
             "be decoded show as \\xNN."));

}  // namespace
