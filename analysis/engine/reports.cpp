#include "analysis/engine/reports.h"

#include <algorithm>
#include <cstdio>

#include "analysis/engine/dvb_text.h"
#include "analysis/engine/psi.h"
#include "platform/ui_hooks.h"

std::string strPatReport;
std::string strSdtReport;

namespace {

// snprintf into a line buffer; every format used here fits in it.
template <typename... Args>
void AppendFormatted(std::string& out, const char* format, Args... args) {
  char line[128];
  const int length = std::snprintf(line, sizeof(line), format, args...);
  if (length > 0) out.append(line, static_cast<size_t>(std::min<int>(length, sizeof(line) - 1)));
}

int ValidProgramCount() { return std::clamp(nProgramCount, 0, kMaxPrograms); }

// A name field up to its terminator, never past the field.
std::string StoredName(const char (&name)[256]) {
  return std::string(name, std::find(name, name + sizeof(name), '\0'));
}

}  // namespace

std::string BuildSectionHexText(const uint8_t* bytes, int count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  if (bytes == nullptr || count <= 0) return text;
  text.reserve(static_cast<size_t>(count) * 5 + static_cast<size_t>(count / 16 + 1) * 2);
  for (int i = 0; i < count; ++i) {
    if (i % 16 == 0) text += "\r\n";
    const char item[5] = {'0', 'x', kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0x0F], ' '};
    text.append(item, sizeof(item));
  }
  return text;
}

std::string BuildPatReportRow(int index) {
  std::string row;
  if (index < 0 || index >= kMaxPrograms) return row;
  const ProgramRecord& record = ProgramTable[index];
  AppendFormatted(row, "%03d %6d(%4X) %6d(%4X)\r\n", index + 1, record.program_number,
                  static_cast<unsigned>(record.program_number), record.pmt_pid,
                  static_cast<unsigned>(record.pmt_pid));
  return row;
}

namespace {

std::string Untranslated(const std::string& english) { return english; }

// The PAT report after its count line.
std::string PatReportBody() {
  std::string body;
  AppendFormatted(body, "%3s %12s %12s\r\n", "No.", "p number", "mapID");
  const int count = ValidProgramCount();
  for (int i = 0; i < count; ++i) body += BuildPatReportRow(i);
  return body;
}

}  // namespace

void BuildPatReport() {
  std::string report;
  AppendFormatted(report, "Number of program is %d\r\n", nProgramCount);
  strPatReport = report + PatReportBody();
}

std::string BuildPatDisplayReport() {
  return TranslateAndFill("Number of program is %d", {std::to_string(nProgramCount)}) + "\r\n" + PatReportBody();
}

namespace {

// The SDT report with each record's name given by `nameText` and its fixed
// texts by `text`.
template <typename NameText, typename Text>
std::string SdtReport(NameText nameText, Text text) {
  std::string report = text(bSdtExists == 1 ? "SDT exist." : "SDT isn't exist.") + "\r\n";
  const int count = ValidProgramCount();
  for (int i = 0; i < count; ++i) {
    const ProgramRecord& record = ProgramTable[i];
    std::string type;
    if (record.service_type == 1) type = text("Video PRG");
    else if (record.service_type == 2) type = text("Audio PRG");
    else AppendFormatted(type, "UNTYPE%2d", record.service_type);
    std::string name = nameText(record);
    if (name.empty()) name = "NONAME";
    AppendFormatted(report, "%03d \"", i + 1);
    report += type;
    AppendFormatted(report, "\"  VPID:0x%04X APID:0x%04X  \"", static_cast<unsigned>(record.video_pid),
                    static_cast<unsigned>(record.audio_pids[0]));
    report += name;
    report += "\"\r\n";
  }
  return report;
}

}  // namespace

void BuildSdtReport() {
  strSdtReport =
      SdtReport([](const ProgramRecord& record) { return StoredName(record.service_name); }, Untranslated);
}

std::string BuildSdtDisplayReport() {
  return SdtReport(
      [](const ProgramRecord& record) {
        return DecodeDvbText(StoredNameBytes(record.service_name, record.service_name_length));
      },
      TranslateText);
}

std::string StoredNameBytes(const char (&name)[256], int32_t length) {
  // A record filled without its length still shows the text up to its
  // terminator.
  const size_t terminated = StoredName(name).size();
  const size_t counted = static_cast<size_t>(std::clamp<int32_t>(length, 0, sizeof(name) - 1));
  return std::string(name, std::max(terminated, counted));
}

std::string BuildProgramDetailText(const ProgramRecord& record) {
  std::string text;
  std::string pid;
  AppendFormatted(pid, "%6d(0x%08X)", record.video_pid, static_cast<unsigned>(record.video_pid));
  text += TranslateAndFill("Video PID : %s", {pid}) + "\r\n";
  const int audioCount = std::clamp(record.audio_count, 0, kMaxAudioPids);
  if (audioCount > 0) text += TranslateText("Audio PID :") + "\r\n";
  for (int k = 1; k <= audioCount; ++k)
    AppendFormatted(text, "No.%2d %12s %6d\r\n", k, "", record.audio_pids[k - 1]);
  return text;
}
