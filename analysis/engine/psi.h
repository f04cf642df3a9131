// PSI section assembly and the PAT, PMT and SDT stages that fill the program
// table from the packets of the selected file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kMaxPrograms = 1024;
constexpr int kMaxAudioPids = 32;
constexpr int kSectionBufferSize = 2048;

struct ProgramRecord {
  int32_t program_number;
  int32_t pmt_pid;
  int32_t video_pid;
  int32_t audio_pids[kMaxAudioPids];
  int32_t audio_count;
  int32_t service_type;
  char service_name[256];
  char provider_name[256];
  int32_t stage_done;
  // Bytes copied into the names: a name may hold zero bytes (a UCS-2 name
  // always does), which the zero-terminated text alone would cut.
  int32_t service_name_length;
  int32_t provider_name_length;
  // The program's PMT was decoded (kept after the PMT stage, unlike
  // stage_done).
  int32_t pmt_found;
};

// stage_done values of the SDT stage: named by an SDT of this transport
// stream (0x42), or only by one describing another stream (0x46), which an
// actual SDT still replaces. A table not yet in force (current_next_indicator
// 0) names nothing.
constexpr int32_t kNamedByActualSdt = 1;
constexpr int32_t kNamedByOtherSdt = 2;

struct PatSectionText {
  int last_section_number;
  std::string text;  // hex text of the bytes collected for the section
};

extern ProgramRecord ProgramTable[kMaxPrograms];
extern int nProgramCount;
extern uint8_t SectionBuffer[kSectionBufferSize];
extern std::vector<PatSectionText>* PatSectionList;  // null until the first valid PAT section
extern int bPatDone, bPmtDone, bSdtDone, bSdtExists;
// The PAT listed more programs than ProgramTable holds; the rest were left
// out. Cleared with the other flags and by every PAT stage run.
extern int bProgramTableFull;

int AnalysePat();
int AnalysePmt();
int AnalyseSdt();

int CheckSectionCrc(const uint8_t* section, int length);
void ParsePatPrograms(const uint8_t* body, int sectionLength, ProgramRecord* table, int& count);
void ParsePmtStreams(const uint8_t* body, int sectionLength, ProgramRecord& record);
// `actualSdt`: the section is an SDT of this transport stream (table_id
// 0x42); names from other SDTs only fill records no actual one named.
void ParseSdtServices(const uint8_t* body, int sectionLength, ProgramRecord* table, int count,
                      bool actualSdt = true);

// Frees PatSectionList and sets it to null.
void DestroyPatSectionList();
