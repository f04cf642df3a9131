// Writes the seed corpus of the PSI fuzz target: small streams that reach
// every part of the stages. Run once when the seeds change:
//   make_psi_corpus tests/fuzz/corpus
// (the test-018 prefix seed is copied from the sample, see README.md).
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/ts_builder.h"

using namespace tsbuild;

namespace {

Bytes Tables() {
  TsStreamBuilder s;
  const Bytes pat = PatSection(1, {{0, 0x10}, {101, 0x100}, {102, 0x101}, {103, 0x102}});
  s.Section(0, pat).Section(0, pat);
  for (int rep = 0; rep < 4; ++rep) {
    s.Section(0x100, PmtSection(101, 0x200, {{0x02, 0x200}, {0x03, 0x201},
                                             {0x06, 0x202, Descriptor(0x6A, {0x00})}}));
    s.Section(0x101, PmtSection(102, 0x300, {{0x1B, 0x300}, {0x0F, 0x301}, {0x81, 0x302}}));
    s.Section(0x102, PmtSection(103, 0x400, {{0x24, 0x400}, {0x11, 0x401},
                                             {0x06, 0x402, Descriptor(0x7A, {0x00})}}));
  }
  const Bytes sdt = SdtSection(1, 1, {{.serviceId = 101, .provider = TextBytes("P"), .name = TextBytes("One")},
                                      {.serviceId = 102, .serviceType = 2, .name = TextBytes("\x05Two")},
                                      {.serviceId = 103, .withServiceDescriptor = false}});
  s.Section(0x11, sdt).Section(0x11, sdt);
  return s.bytes();
}

Bytes TwoSectionPatSharedPmtPid() {
  TsStreamBuilder s;
  const Bytes pat0 = PatSection(1, {{1, 0x100}, {2, 0x100}}, 0, 1);
  const Bytes pat1 = PatSection(1, {{3, 0x101}}, 1, 1);
  s.Section(0, pat0).Section(0, pat1).Section(0, pat0);
  Bytes both = PmtSection(2, 0x300, {{0x02, 0x300}});
  Append(both, PmtSection(1, 0x200, {{0x02, 0x200}, {0x04, 0x201}}));
  for (int i = 0; i < 4; ++i) s.Section(0x100, both).Section(0x101, WithBrokenCrc(PmtSection(3, 0x400, {})));
  return s.bytes();
}

Bytes SdtTailAndPacked() {
  TsStreamBuilder s;
  const Bytes pat = PatSection(1, {{101, 0x100}, {102, 0x101}, {103, 0x102}});
  s.Section(0, pat).Section(0, pat);
  std::vector<SdtService> services;
  for (int p = 0; p < 2; ++p)
    services.push_back({.serviceId = 101 + p, .name = TextBytes(std::string(90, char('A' + p)))});
  const Bytes first = SdtSection(1, 1, services);
  Bytes payload{0x00};
  payload.insert(payload.end(), first.begin(), first.begin() + 183);
  s.Packet({.pid = 0x11, .pusi = 1}, payload);
  const Bytes tail(first.begin() + 183, first.end());
  Bytes packed = SdtSection(1, 1, {{.serviceId = 103, .name = TextBytes("C")}}, 0x4A);
  Append(packed, SdtSection(1, 1, {{.serviceId = 102, .name = TextBytes("D")}}));
  s.Raw(SectionPackets(0x11, packed, 1, static_cast<int>(tail.size()), tail));
  s.Section(0x11, packed);
  return s.bytes();
}

Bytes HostileFields() {
  TsStreamBuilder s;
  const Bytes pat = PatSection(1, {{1, 0x100}});
  // Adaptation fields that leave one, no or a negative count of payload bytes.
  s.Packet({.pid = 0, .pusi = 1, .afc = 3, .adaptationLength = 182}, {0x00});
  s.Packet({.pid = 0, .pusi = 1, .afc = 3, .adaptationLength = 183}, {0x00});
  s.Packet({.pid = 0, .pusi = 1, .afc = 3, .adaptationLength = 255}, {0x00});
  s.Packet({.pid = 0, .pusi = 1, .afc = 2});
  // pointer_field past the payload.
  s.Raw(SectionPackets(0, pat, 0, 255));
  s.Raw(SectionPackets(0x100, PmtSection(1, 0x200, {{0x02, 0x200}}), 0, 200));
  s.Raw(SectionPackets(0x11, SdtSection(1, 1, {{.serviceId = 1}}), 0, 250));
  // Length fields past the end.
  Bytes longPat = pat;
  longPat[1] |= 0x0F;
  longPat[2] = 0xFF;
  s.Section(0, longPat).Section(0, pat).Section(0, pat);
  Bytes pmt = PmtSection(1, 0x200, {{0x06, 0x201, Bytes{0x6A, 0x40}}, {0x02, 0x200}});
  pmt[11] = 0xFF;
  s.Section(0x100, pmt).Section(0x100, pmt);
  std::vector<PmtStream> many;
  for (int i = 0; i < 40; ++i) many.push_back({0x03, 0x500 + i});
  s.Section(0x100, PmtSection(1, 0x200, many)).Section(0x100, PmtSection(1, 0x200, many));
  s.Section(0x11, SdtSection(1, 1, {{.serviceId = 1, .withServiceDescriptor = false,
                                    .otherDescriptors = Bytes{0x48, 4, 1, 200, 'x', 'y'}}}));
  s.Section(0x11, SdtSection(1, 1, {{.serviceId = 1}}));
  return s.bytes();
}

Bytes GarbageBetweenPackets() {
  TsStreamBuilder s;
  const Bytes pat = PatSection(1, {{7, 0x107}});
  s.Garbage(Bytes{0x00, 0x47, 0x01, 0x02}).Section(0, pat).Garbage(50, 0x11).Section(0, pat);
  s.Section(0x107, PmtSection(7, 0x207, {{0x01, 0x207}})).Garbage(Bytes{0x47}).Section(0x107, PmtSection(7, 0x207, {{0x01, 0x207}}));
  s.Section(0x11, SdtSection(1, 1, {{.serviceId = 7, .name = TextBytes("G")}})).NullPackets(1);
  return s.bytes();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_psi_corpus DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const struct {
    const char* name;
    Bytes bytes;
  } seeds[] = {
      {"tables.ts", Tables()},
      {"two-section-pat-shared-pmt-pid.ts", TwoSectionPatSharedPmtPid()},
      {"sdt-tail-and-packed.ts", SdtTailAndPacked()},
      {"hostile-fields.ts", HostileFields()},
      {"garbage-between-packets.ts", GarbageBetweenPackets()},
  };
  for (const auto& seed : seeds) {
    if (!WriteTsFile(dir + "/" + seed.name, seed.bytes)) {
      std::fprintf(stderr, "cannot write %s\n", seed.name);
      return 1;
    }
  }
  return 0;
}
