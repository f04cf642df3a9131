// The scan's results as JSON, in one fixed layout (ScanJsonSchemaText
// describes it; `vantrel-cli scan --help` prints that description).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "capture/scan/channel_scan.h"

nlohmann::ordered_json ScanResultJson(const ScanResult& result, TunerFamily family);
// The layout of ScanResultJson, as text for a --help.
std::string ScanJsonSchemaText();
const char* TunerFamilyName(TunerFamily family);  // "satellite", "cable", "terrestrial", "none"
