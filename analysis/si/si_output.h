// The service information as the command line prints it: text, JSON with a
// fixed layout, and the programme guide as XMLTV.
#pragma once

#include <string>

#include "analysis/si/si_report.h"

struct SiOutputSource {
  std::string input;     // the file, or "-"
  bool partial = false;  // the input was not read to its end
};

std::string SiServicesJson(const SiReport& report, const SiOutputSource& source);
std::string SiServicesText(const SiReport& report, const SiOutputSource& source);
// Their parts, for a report that carries them among others (analyze).
SiJson SiNetworkJson(const SiReport& report);
SiJson SiServicesArrayJson(const SiReport& report);
std::string SiServicesListText(const SiReport& report);
// `analyze`'s report: the health result (its fields unchanged), then the
// network and the services.
std::string SiAnalyzeJson(const HealthResult& result, const SiReport& report);
std::string SiAnalyzeText(const HealthResult& result, const SiReport& report);
// pid / tableId < 0: all.
std::string SiTablesJson(const SiReport& report, const SiOutputSource& source, int pid, int tableId);
std::string SiTablesText(const SiReport& report, const SiOutputSource& source, int pid, int tableId);
std::string SiEpgJson(const SiReport& report, const SiOutputSource& source);
std::string SiEpgText(const SiReport& report, const SiOutputSource& source);
// An XMLTV document (the XMLTV DTD's tv element: channels, then programmes).
std::string SiEpgXmltv(const SiReport& report);
