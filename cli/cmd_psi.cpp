// `vantrel-cli pat|pmt|sdt`: the PAT, PMT and SDT commands without their
// dialogs. Each runs its stage on a fresh analysis of FILE (the earlier stages
// with it, as the commands do) and prints what the result dialog shows, or
// with --json the program table for scripts.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"
#include "analysis/engine/ts_file.h"
#include "cli/command.h"

namespace {

enum class PsiCommand { Pat, Pmt, Sdt };

struct PsiOptions {
  std::string file;
  bool json = false;
};

std::string HexBytes(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0x0F];
  }
  return hex;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

// Upper halves of the one-byte tables decoded here; other tables (and the
// default table without a selector byte) show their upper half as U+FFFD.
uint32_t UpperHalfCodePoint(int iso8859Part, uint8_t b) {
  if (iso8859Part == 1) return b;
  if (iso8859Part == 15) {
    switch (b) {
      case 0xA4: return 0x20AC;
      case 0xA6: return 0x0160;
      case 0xA8: return 0x0161;
      case 0xB4: return 0x017D;
      case 0xB8: return 0x017E;
      case 0xBC: return 0x0152;
      case 0xBD: return 0x0153;
      case 0xBE: return 0x0178;
      default: return b;
    }
  }
  return kReplacement;
}

// A service or provider name as readable UTF-8 text: the leading
// character-table selector decides how the bytes are read (UTF-8, UCS-2,
// ISO 8859-1 and -15 here); the DVB control codes for emphasis are dropped
// and the one for a line break becomes "\n". The exact bytes go beside it
// in hex.
std::string DvbNameText(const std::string& raw) {
  std::string text;
  if (raw.empty()) return text;
  const auto* bytes = reinterpret_cast<const uint8_t*>(raw.data());
  size_t pos = 0;
  int iso8859Part = 0;  // 0: a table not decoded here
  enum { OneByte, Ucs2, Utf8 } coding = OneByte;
  const uint8_t selector = bytes[0];
  if (selector >= 0x01 && selector <= 0x0B) {
    iso8859Part = selector + 4;
    pos = 1;
  } else if (selector == 0x10) {
    if (raw.size() >= 3 && bytes[1] == 0x00) iso8859Part = bytes[2];
    pos = std::min<size_t>(3, raw.size());
  } else if (selector == 0x11) {
    coding = Ucs2;
    pos = 1;
  } else if (selector == 0x15) {
    coding = Utf8;
    pos = 1;
  } else if (selector == 0x1F) {
    pos = std::min<size_t>(2, raw.size());
  } else if (selector < 0x20) {
    pos = 1;
  }

  if (coding == Utf8) return raw.substr(pos);  // invalid sequences are replaced when printed
  if (coding == Ucs2) {
    for (; pos + 1 < raw.size(); pos += 2) {
      const uint32_t unit = (uint32_t{bytes[pos]} << 8) | bytes[pos + 1];
      if (unit == 0xE08A) text += '\n';
      else if (unit >= 0xE080 && unit <= 0xE09F) continue;  // control codes
      else if (unit >= 0xD800 && unit <= 0xDFFF) AppendUtf8(text, kReplacement);
      else AppendUtf8(text, unit);
    }
    return text;
  }
  for (; pos < raw.size(); ++pos) {
    const uint8_t b = bytes[pos];
    if (b < 0x80) AppendUtf8(text, b);
    else if (b == 0x8A) text += '\n';
    else if (b < 0xA0) continue;  // control codes
    else AppendUtf8(text, UpperHalfCodePoint(iso8859Part, b));
  }
  return text;
}

// The name bytes the SDT stage copied, zero bytes included.
std::string StoredName(const char (&name)[256], int32_t length) {
  return std::string(name, static_cast<size_t>(std::clamp<int32_t>(length, 0, sizeof(name) - 1)));
}

nlohmann::ordered_json ProgramTableJson() {
  nlohmann::ordered_json programs = nlohmann::ordered_json::array();
  const int count = std::clamp(nProgramCount, 0, kMaxPrograms);
  for (int i = 0; i < count; ++i) {
    const ProgramRecord& record = ProgramTable[i];
    const int audioCount = std::clamp(record.audio_count, 0, kMaxAudioPids);
    const std::string name = StoredName(record.service_name, record.service_name_length);
    const std::string provider = StoredName(record.provider_name, record.provider_name_length);
    programs.push_back({
        {"program_number", record.program_number},
        {"pmt_pid", record.pmt_pid},
        {"video_pid", record.video_pid},
        {"audio_pids", std::vector<int>(record.audio_pids, record.audio_pids + audioCount)},
        {"service_type", record.service_type},
        {"service_name", DvbNameText(name)},
        {"service_name_hex", HexBytes(name)},
        {"provider_name", DvbNameText(provider)},
        {"provider_name_hex", HexBytes(provider)},
    });
  }
  return {
      {"program_count", nProgramCount},
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

std::string SdtText() {
  BuildSdtReport();
  return WithNewlineEnds(strSdtReport);
}

int RunPsiCommand(PsiCommand command, const PsiOptions& options) {
  ResetAnalysis();
  strTsFileName = options.file;
  if (!OpenTsFile()) {
    ResetAnalysis();
    return kExitFailure;
  }
  // A file without a single whole packet leaves the empty results.
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
    app.add_option("FILE", options->file, "Transport-stream file of 188-byte packets")->required();
    app.add_flag("--json", options->json,
                 "Print the program table as JSON (PIDs, service type, names as text and as hex "
                 "bytes) instead of the report");
    app.footer(footer);
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
             "type, first video and audio PID and service name."));

}  // namespace
