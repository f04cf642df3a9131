#include "tests/scan/sample_network.h"

#include <fstream>

#include "tests/health/cbr_stream.h"

namespace scantest {

namespace {

using namespace tsbuild;

Bytes U16(int v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// A descriptor loop with its 12-bit length (4 reserved bits set).
Bytes Loop(const Bytes& descriptors) {
  Bytes l = {static_cast<uint8_t>(0xF0 | (descriptors.size() >> 8)), static_cast<uint8_t>(descriptors.size())};
  Append(l, descriptors);
  return l;
}

Bytes TerrestrialDelivery(uint32_t frequencyKHz) {
  const uint32_t centre = frequencyKHz * 100;  // units of 10 Hz
  // bandwidth 8 MHz (0), priority, no time slicing/MPE-FEC; 64-QAM, 8k, 1/4 guard.
  return Descriptor(0x5A, {static_cast<uint8_t>(centre >> 24), static_cast<uint8_t>(centre >> 16),
                           static_cast<uint8_t>(centre >> 8), static_cast<uint8_t>(centre), 0x1F, 0x82, 0x1C, 0xFF,
                           0xFF, 0xFF, 0xFF});
}

Bytes NitSection(const std::vector<SampleTransponder>& network) {
  Bytes streams;
  for (const SampleTransponder& t : network) {
    if (!t.locks || !t.carriesSi) continue;
    Bytes lcn;
    for (const SampleService& s : t.services) {
      Append(lcn, U16(s.id));
      Append(lcn, U16(0xFC00 | s.lcn));  // visible_service_flag, reserved bits, 10-bit number
    }
    Bytes descriptors = TerrestrialDelivery(t.frequencyKHz);
    Append(descriptors, Descriptor(0x83, lcn));
    Append(streams, U16(t.transportStreamId));
    Append(streams, U16(kOriginalNetworkId));
    Append(streams, Loop(descriptors));
  }
  const std::string name = kNetworkName;
  Bytes body = Loop(Descriptor(0x40, TextBytes(name)));
  Append(body, Loop(streams));
  return LongSection({.tableId = 0x40, .tableIdExtension = kNetworkId}, body);
}

}  // namespace

std::vector<SampleTransponder> SampleTransponders() {
  const auto tv = [](int id, std::string name, int lcn, int base, int ecm = -1) {
    return SampleService{id, std::move(name), "Vantrel", 0x01, lcn, base, base + 1,
                         {{0x02, base + 1}, {0x03, base + 2}}, ecm};
  };
  const auto radio = [](int id, std::string name, int lcn, int base) {
    return SampleService{id, std::move(name), "Vantrel", 0x02, lcn, base, base + 2, {{0x03, base + 2}}};
  };
  return {
      {474000, 1, {tv(101, "Vantrel Eins", 1, 0x100), radio(102, "Vantrel Radio", 10, 0x200)}},
      {482000, 2, {tv(201, "Vantrel Zwei", 2, 0x300, 0x1F0), tv(202, "Vantrel Info", 3, 0x400)}},
      {490000, 3, {tv(301, "Vantrel Drei", 4, 0x100)}, true, false},
      {498000, 4, {tv(401, "Vantrel Vier", 6, 0x100)}, true, true, false},
      {506000, 5, {tv(501, "Vantrel Fern", 5, 0x500)}, false, true, true, 22, 15},
  };
}

Bytes MakeTransponderStream(const SampleTransponder& t, const std::vector<SampleTransponder>& network,
                            double seconds) {
  using healthtest::CbrStream;
  using healthtest::Slot;
  CbrStream stream(Slot(seconds));
  std::vector<PatEntry> programs = {{0, 0x10}};
  std::vector<SdtService> sdt;
  for (const SampleService& s : t.services) {
    programs.push_back({s.id, s.pmtPid});
    SdtService entry{s.id, s.type, TextBytes(s.provider), TextBytes(s.name)};
    sdt.push_back(entry);
  }
  stream.SectionEvery(0, PatSection(t.transportStreamId, programs), 0.100);
  stream.SectionEvery(0x11, SdtSection(t.transportStreamId, kOriginalNetworkId, sdt), 0.500, 0.010);
  stream.SectionEvery(0x10, NitSection(network), 0.500, 0.020);
  double offset = 0.001;
  for (const SampleService& s : t.services) {
    Bytes programInfo;
    if (s.ecmPid >= 0) programInfo = Descriptor(0x09, {0x0B, 0x00, static_cast<uint8_t>(0xE0 | (s.ecmPid >> 8)),
                                                       static_cast<uint8_t>(s.ecmPid)});
    stream.SectionEvery(s.pmtPid, LongSection({.tableId = 0x02, .tableIdExtension = s.id},
                                              [&] {
                                                Bytes body = PmtBody(s.pcrPid, s.streams, programInfo);
                                                return body;
                                              }()),
                        0.100, offset);
    stream.PcrEvery(s.pcrPid, 0.020, offset + 0.002);
    for (const PmtStream& es : s.streams)
      stream.PtsEvery(es.pid, es.streamType == 0x02 ? 0xE0 : 0xC0, 0.040, offset + 0.004);
    // ECMs: a private section now and then, so that the PID the CA descriptor names is present.
    if (s.ecmPid >= 0)
      stream.SectionEvery(s.ecmPid, LongSection({.tableId = 0x80, .tableIdExtension = s.id}, {1, 2, 3, 4}), 0.100,
                          offset + 0.006);
    offset += 0.011;
  }
  return stream.Build();
}

SampleNetworkFiles WriteSampleNetwork(const std::string& dir, double seconds) {
  SampleNetworkFiles files;
  files.transponders = SampleTransponders();
  files.network = dir + "/network.ini";
  files.plan = dir + "/plan.conf";
  std::ofstream ini(files.network);
  std::ofstream plan(files.plan);
  ini << "# The sample network of the scan tests\n";
  plan << "# The sample network's plan\n[CABLE]\n\tDELIVERY_SYSTEM = DVBC/ANNEX_A\n\tFREQUENCY = 346000000\n"
          "\tSYMBOL_RATE = 6900000\n\tMODULATION = QAM/64\n";
  for (const SampleTransponder& t : files.transponders) {
    const std::string name = "mux-" + std::to_string(t.frequencyKHz / 1000) + ".ts";
    WriteTsFile(dir + "/" + name, MakeTransponderStream(t, files.transponders, seconds));
    ini << "[transponder]\nfrequency = " << t.frequencyKHz << "\nbandwidth = 8\nstream = " << name
        << "\nstrength = " << t.strength << "\nquality = " << t.quality << "\nlock = " << (t.locks ? "yes" : "no")
        << "\nsi = " << (t.carriesSi ? "yes" : "no") << "\n";
    if (t.inPlan)
      plan << "[T" << t.frequencyKHz / 1000 << "]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = " << t.frequencyKHz * 1000
           << "\n\tBANDWIDTH_HZ = 8000000\n";
  }
  return files;
}

}  // namespace scantest
