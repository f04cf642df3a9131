// The service information published while a file is read (what the Stream
// Analysis window shows during the analysis), and where each decoded part
// of a section lies in its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "analysis/health/health_file.h"
#include "analysis/si/si_file.h"
#include "analysis/si/si_layout.h"
#include "analysis/si/si_output.h"
#include "analysis/si/si_run.h"
#include "tests/si/si_test_support.h"

namespace {

std::string WriteStream(const std::string& name, const Bytes& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  return path;
}

// The guide stream, 8 MB of null packets, then a second PAT version: the
// reading takes many blocks, and the tables grow at its very end.
Bytes LongStreamWithLateVersion() {
  int cc = 0;
  return Cat({MakeDvbGuideStream(), NullPackets(45000), Packetize(0, LongSection(0x00, 1, 1, 0, 0, Cat({U16(1), U16(0xE100)})), cc)});
}

TEST(SiRun, SnapshotsWhileReadingEndInWhatTheWholeReadGives) {
  const std::string path = WriteStream("si_run_long.ts", LongStreamWithLateVersion());
  for (const bool guideWanted : {false, true}) {
    SCOPED_TRACE(guideWanted);
    SiRun si(0);
    si.SetGuideWanted(guideWanted);
    HealthFileRun run;
    HealthFileOptions options;
    options.prepare = [&si](StreamHealth& health) { health.SetObserver(&si.Attach(health)); };
    // What was published after each block, seen on the reading thread.
    size_t fewestSections = SIZE_MAX;
    options.onBlock = [&](uint64_t, int64_t) {
      si.OnBlock();
      if (auto snapshot = si.Latest()) fewestSections = std::min(fewestSections, snapshot->collector->Sections().size());
    };
    // Another thread takes the snapshots as a window's timer would, until the last one.
    int taken = 0;
    std::thread reader([&] {
      uint64_t bytes = 0;
      while (true) {
        const std::shared_ptr<const SiSnapshot> snapshot = si.Latest();
        if (snapshot) {
          ++taken;
          EXPECT_GE(snapshot->health.bytes, bytes);  // in stream order
          bytes = snapshot->health.bytes;
          if (snapshot->final) break;
          EXPECT_EQ(snapshot->Guide().size(), snapshot->report->Guide().size());
        }
        std::this_thread::yield();
      }
    });
    const HealthFileOutcome outcome = AnalyseHealthFile(path, HealthLimits{}, options, &run);
    si.Finish(outcome.result);
    reader.join();
    ASSERT_TRUE(si.Finished());
    const std::shared_ptr<const SiSnapshot> last = si.Latest();
    ASSERT_TRUE(last && last->final);
    EXPECT_GT(taken, 0);
    EXPECT_GE(si.PublishedCount(), 2u);  // one during the read, the final one

    const SiFileOutcome whole = ReadServiceInformation(path);
    ASSERT_TRUE(whole.opened);
    const SiReport expected(*whole.si, whole.health);
    // The late PAT version was not there before the end.
    EXPECT_LT(fewestSections, whole.si->Sections().size());
    EXPECT_EQ(last->collector->Sections().size(), whole.si->Sections().size());
    EXPECT_EQ(last->report->TablesJson().dump(), expected.TablesJson().dump());
    EXPECT_EQ(SiEpgXmltv(*last->report), SiEpgXmltv(expected));
    // The guide, joined by two threads at once while a third reads the report.
    std::vector<SiGuideChannel> joined[2];
    std::thread first([&] { joined[0] = last->Guide(); });
    std::thread second([&] { joined[1] = last->Guide(); });
    const std::string tables = last->report->TablesJson().dump();
    first.join();
    second.join();
    EXPECT_EQ(tables, expected.TablesJson().dump());
    for (const std::vector<SiGuideChannel>& guide : joined) {
      ASSERT_EQ(guide.size(), expected.Guide().size());
      ASSERT_FALSE(guide.empty());
      EXPECT_EQ(guide[0].events.size(), expected.Guide()[0].events.size());
    }
  }
}

TEST(SiRun, AFileThatCannotBeOpenedEndsWithoutASnapshot) {
  SiRun si(0);
  HealthFileOptions options;
  options.prepare = [&si](StreamHealth& health) { health.SetObserver(&si.Attach(health)); };
  const HealthFileOutcome outcome = AnalyseHealthFile(::testing::TempDir() + "no-such-file.ts", HealthLimits{}, options);
  si.Finish(outcome.result);
  EXPECT_FALSE(outcome.opened);
  EXPECT_TRUE(si.Finished());
  EXPECT_EQ(si.Latest(), nullptr);
}

uint64_t Be(const std::vector<uint8_t>& b, const SiByteRange& r) {
  uint64_t v = 0;
  for (size_t i = 0; i < r.size; ++i) v = (v << 8) | b[r.offset + i];
  return v;
}

// Every descriptor and loop entry the decoder lists has its bytes, and
// the numbers read there are the decoded ones.
TEST(SiLayout, EveryDecodedDescriptorAndEntryHasItsBytes) {
  const auto event = Cat({U16(10), DvbTime(21, 0, 0), {0x01, 0x30, 0x00},
                          Loop(Cat({Descriptor(0x4D, Cat({Text("deu"), {3}, Text("Abc"), {0}})), Descriptor(0x54, {0x20, 0})}))});
  const struct {
    const char* name;
    Bytes section;
    size_t parts;  // entries and descriptors expected
  } cases[] = {
      {"PAT", LongSection(0x00, 1, 0, 0, 0, Cat({U16(0), U16(0xE010), U16(1), U16(0xE100)})), 2},
      {"PMT", Pmt(1, 0x101, {{0x1B, 0x101, {}}, {0x06, 0x102, Cat({Descriptor(0x6A, {0x00}), Descriptor(0x0A, Cat({Text("deu"), {0}}))})}},
                  Descriptor(0x05, Text("HDMV"))), 5},
      {"SDT", LongSection(0x42, 1, 3, 0, 0, Cat({U16(0x2000), {0xFF}, U16(7), {0xFC}, Loop(Descriptor(0x48, Cat({{0x01, 1}, Text("P"), {1}, Text("S")})))})), 2},
      {"NIT", LongSection(0x40, 0x3000, 0, 0, 0,
                          Cat({Loop(Descriptor(0x40, Text("Net"))),
                               Loop(Cat({U16(1), U16(0x2000), Loop(Cat({Descriptor(0x5F, U32(0x29)), Descriptor(0x83, Cat({U16(1), U16(0x8065)}))}))}))})), 4},
      {"EIT", LongSection(0x4E, 1, 0, 0, 0, Cat({U16(1), U16(0x2000), {0, 0x4E}, event})), 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SiSection section;
    section.tableId = c.section[0];
    section.longForm = true;
    section.bytes = c.section;
    const SiJson decoded = DecodeSiSection(section, SiDecodeContext{});
    ASSERT_FALSE(decoded.contains("error")) << decoded.dump();
    const SiSectionLayout layout = LayoutSiSection(c.section);
    size_t entriesAndDescriptors = 0;
    for (const auto& [pointer, range] : layout.parts) {
      SCOPED_TRACE(pointer);
      ASSERT_LE(range.offset + range.size, c.section.size() - 4);  // never into the CRC_32
      const SiJson& value = decoded.at(SiJson::json_pointer(pointer));
      const std::string last = pointer.substr(pointer.rfind('/') + 1);
      if (pointer.find("/descriptors/") != std::string::npos && std::isdigit(static_cast<unsigned char>(last[0]))) {
        EXPECT_EQ(value["tag"].get<int>(), c.section[range.offset]);
        EXPECT_EQ(range.size, 2u + c.section[range.offset + 1]);
      }
      if (std::isdigit(static_cast<unsigned char>(last[0]))) ++entriesAndDescriptors;
      if (last == "pid") {
        EXPECT_EQ(value.get<uint64_t>(), Be(c.section, range) & 0x1FFF);
      }
      if (last == "service_id" || last == "event_id" || last == "program_number" || last == "original_network_id") {
        EXPECT_EQ(value.get<uint64_t>(), Be(c.section, range));
      }
    }
    EXPECT_EQ(entriesAndDescriptors, c.parts);
    // The header: the section's length, and its CRC_32 last.
    ASSERT_FALSE(layout.header.empty());
    EXPECT_EQ(layout.header.back().name, "CRC_32");
    EXPECT_EQ(layout.header.back().value, Be(c.section, layout.header.back().range));
    for (const SiHeaderField& f : layout.header)
      if (f.name == "section_length") {
        EXPECT_EQ(f.value + 3, c.section.size());
      }
  }
  // A part is found through its closest listed parent.
  const SiSectionLayout pmt = LayoutSiSection(cases[1].section);
  const SiByteRange* descriptor = FindSiPart(pmt, "/streams/1/descriptors/1/language");
  ASSERT_NE(descriptor, nullptr);
  EXPECT_EQ(descriptor->offset, pmt.parts.at("/streams/1/descriptors/1").offset);
  EXPECT_EQ(FindSiPart(pmt, "/nothing/here"), nullptr);
}

TEST(SiLayout, DamagedLengthsStayInsideTheSection) {
  Bytes pmt = Pmt(1, 0x101, {{0x1B, 0x101, Descriptor(0x0A, Cat({Text("deu"), {0}}))}});
  for (size_t at = 3; at + 4 < pmt.size(); ++at) {
    Bytes damaged = pmt;
    damaged[at] = 0xFF;
    for (const auto& [pointer, range] : LayoutSiSection(damaged).parts) EXPECT_LE(range.offset + range.size, damaged.size()) << pointer;
  }
  EXPECT_TRUE(LayoutSiSection(Bytes{0x02, 0xB0}).parts.empty());
}

}  // namespace
