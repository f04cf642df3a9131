// Text reports of the analysis results ("\r\n" line ends).
#pragma once

#include <cstdint>
#include <string>

extern std::string strPatReport;
extern std::string strSdtReport;

void BuildPatReport();
void BuildSdtReport();

// "\r\n" before every 16th byte, then "0x%02X " per byte.
std::string BuildSectionHexText(const uint8_t* bytes, int count);
