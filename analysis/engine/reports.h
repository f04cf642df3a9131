// Text reports of the analysis results ("\r\n" line ends).
#pragma once

#include <cstdint>
#include <string>

struct ProgramRecord;

extern std::string strPatReport;
extern std::string strSdtReport;

void BuildPatReport();
void BuildSdtReport();

// The PAT report as it is shown to the user (UTF-8): strPatReport with its
// count line in the user's language (TranslateAndFill); the same lines
// otherwise.
std::string BuildPatDisplayReport();

// The SDT report as it is shown to the user: the rows of strSdtReport with
// each service name decoded for display (DecodeDvbText), UTF-8, one row per
// program whatever the name holds, and its fixed texts (the SDT line, the
// service types) in the user's language. strSdtReport itself keeps the name
// bytes and the English texts.
std::string BuildSdtDisplayReport();

// The bytes the SDT stage copied into a name field (its length field),
// zero bytes included.
std::string StoredNameBytes(const char (&name)[256], int32_t length);

// "\r\n" before every 16th byte, then "0x%02X " per byte.
std::string BuildSectionHexText(const uint8_t* bytes, int count);

// Row of program `index` (0-based) in the PAT report, "\r\n" included:
// "%03d %6d(%4X) %6d(%4X)".
std::string BuildPatReportRow(int index);

// What the program map dialog shows for one selected program: the video PID
// line, then the audio heading and one line per audio PID when it has any;
// the headings in the user's language (UTF-8).
std::string BuildProgramDetailText(const ProgramRecord& record);
