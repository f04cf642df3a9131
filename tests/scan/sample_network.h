// The sample network of the scan tests, made at test time with the stream
// generators (constant-bitrate streams with real PAT, PMT, SDT and NIT): five
// terrestrial transponders, one that does not lock, one whose SI never comes,
// a weak one that only the NIT names; the INI file vantrel-boxsim --network
// plays, and a DVBv5 plan file of the four transponders in the plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ts_builder.h"

namespace scantest {

using tsbuild::Bytes;

constexpr int kOriginalNetworkId = 0x2100;
constexpr int kNetworkId = 0x3001;
constexpr const char* kNetworkName = "Vantrel Net";
// The streams' rate on their PCRs; the simulator plays them at it.
constexpr uint64_t kStreamBitrate = 40608000;

struct SampleService {
  int id;
  std::string name;
  std::string provider;
  int type;       // SDT service_type
  int lcn;        // NorDig/EACEM logical channel number
  int pmtPid;
  int pcrPid;
  std::vector<tsbuild::PmtStream> streams;
  int ecmPid = -1;  // with a CA descriptor (CA system 0x0B00) when >= 0
};

struct SampleTransponder {
  uint32_t frequencyKHz;
  int transportStreamId;
  std::vector<SampleService> services;
  bool inPlan = true;
  bool locks = true;
  bool carriesSi = true;
  int strength = 80;
  int quality = 70;
};

// 474 MHz (2 services), 482 (2, one scrambled), 490 (does not lock),
// 498 (SI never comes), 506 (weak; only in the NIT).
std::vector<SampleTransponder> SampleTransponders();

// One transponder's stream: `seconds` long, PAT and PMTs every 100 ms, SDT
// and NIT (listing every transponder that locks and carries SI, with
// terrestrial delivery and logical channel descriptors) every 500 ms, PCRs
// every 20 ms, PTS every 40 ms.
Bytes MakeTransponderStream(const SampleTransponder& t, const std::vector<SampleTransponder>& network,
                            double seconds);

struct SampleNetworkFiles {
  std::string network;  // the INI for vantrel-boxsim --network
  std::string plan;     // DVBv5 plan (also one DVB-C entry, left out by a terrestrial scan)
  std::vector<SampleTransponder> transponders;
};
// Writes the streams, the INI and the plan into `dir`.
SampleNetworkFiles WriteSampleNetwork(const std::string& dir, double seconds = 1.2);

}  // namespace scantest
