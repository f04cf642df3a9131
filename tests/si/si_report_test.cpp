// Services, guide and tables joined from whole streams: crafted DVB and
// ATSC streams fed through the stream health engine, the repository's
// samples, and an ffmpeg-made stream compared with what ffprobe reads.
#include <gtest/gtest.h>

#include <set>

#include "analysis/si/si_file.h"
#include "analysis/si/si_report.h"
#include "tests/health/cbr_stream.h"
#include "tests/si/si_test_support.h"

namespace {

struct Fed {
  HealthResult health;
  std::unique_ptr<SiCollector> si;
};

// Feeds `stream` through the engine with a collector attached, in pieces
// of `piece` bytes.
Fed Feed(const Bytes& stream, size_t piece = 1000) {
  Fed fed;
  StreamHealth health;
  fed.si = std::make_unique<SiCollector>([&health](int pid) { health.AssembleSectionsOn(pid); });
  for (int pid : SiCollector::InitialSectionPids()) health.AssembleSectionsOn(pid);
  health.SetObserver(fed.si.get());
  for (size_t at = 0; at < stream.size(); at += piece) health.Feed(stream.data() + at, std::min(piece, stream.size() - at));
  health.Finish();
  fed.health = health.Snapshot();
  return fed;
}

const SiStream* StreamOn(const SiService& service, int pid) {
  for (const SiStream& s : service.streams)
    if (s.pid == pid) return &s;
  return nullptr;
}

TEST(SiReport, DvbServicesJoinPatPmtSdtNit) {
  const Fed fed = Feed(MakeDvbGuideStream());
  const SiReport report(*fed.si, fed.health);
  EXPECT_EQ(report.Kind(), SiKind::Dvb);
  EXPECT_EQ(report.NetworkName().value_or(""), "Vantrel Net");
  ASSERT_EQ(report.Services().size(), 1u);
  const SiService& s = report.Services()[0];
  EXPECT_EQ(s.name, "Eins");
  EXPECT_EQ(s.provider, "ARD");
  EXPECT_EQ(s.serviceType, 1);
  EXPECT_EQ(s.logicalChannel.value_or(-1), 101);
  EXPECT_EQ(s.originalNetworkId, 0x2000);
  EXPECT_EQ(s.pmtPid, 0x100);
  EXPECT_EQ(s.pcrPid, 0x101);
  ASSERT_EQ(s.streams.size(), 3u);
  EXPECT_EQ(StreamOn(s, 0x101)->kind, "video");
  EXPECT_EQ(StreamOn(s, 0x102)->kind, "audio");
  EXPECT_EQ(StreamOn(s, 0x102)->languages, std::vector<std::string>{"deu"});
  EXPECT_EQ(StreamOn(s, 0x103)->kind, "subtitles");
  EXPECT_EQ(StreamOn(s, 0x103)->languages, std::vector<std::string>{"eng"});
  EXPECT_EQ(report.Time().source, "TDT");
  EXPECT_EQ(UtcText(*report.Time().firstUtc), "2026-12-07T21:15:00Z");
  EXPECT_EQ(UtcText(*report.Time().lastUtc), "2026-12-07T21:15:10Z");
}

TEST(SiReport, ServicesTakeNothingFromAnotherTransportStream) {
  // Program 1 of transport stream 1 (original network 0x2000), and after
  // what describes it, what describes a stream of the same id elsewhere.
  auto channel = [](const std::string& name, int major, int tsid) {
    Bytes shortName;
    for (size_t k = 0; k < 7; ++k) shortName = Cat({shortName, U16(k < name.size() ? name[k] : 0)});
    return Cat({shortName, {0xF0, static_cast<uint8_t>(major << 2), 0x01, 0x04}, U32(0), U16(tsid), U16(1),
                {0x0D, 0xC2}, U16(major), {0xFC, 0x00}});
  };
  auto nitEntry = [](int onid, int lcn) {
    return Cat({U16(1), U16(onid), Loop(Cat({Descriptor(0x5F, U32(0x29)), Descriptor(0x83, Cat({U16(1), U16(0x8000 | lcn)}))}))});
  };
  const Bytes sdt = LongSection(0x42, 1, 0, 0, 0, Cat({U16(0x2000), {0xFF}, U16(1), {0xFC}, Loop(Descriptor(0x48, Cat({{0x01, 0, 4}, Text("Eins")})))}));
  const Bytes nit = LongSection(0x40, 0x3000, 0, 0, 0, Cat({Loop({}), Loop(Cat({nitEntry(0x2000, 7), nitEntry(0x3000, 333)}))}));
  const Bytes tvct = LongSection(0xC8, 1, 0, 0, 0, Cat({{0x00, 0x02}, channel("HERE", 7, 1), channel("ELSEWHR", 9, 2), {0xFC, 0x00}}));
  int cc[0x2000] = {};
  Bytes stream;
  for (int round = 0; round < 2; ++round)
    stream = Cat({stream, Packetize(0, Pat(1, 1, 0x100), cc[0]), Packetize(0x100, Pmt(1, 0x101, {{0x1B, 0x101, {}}}), cc[0x100]),
                  Packetize(0x11, sdt, cc[0x11]), Packetize(0x10, nit, cc[0x10]), Packetize(0x1FFB, tvct, cc[0x1FFB])});
  const Fed fed = Feed(stream);
  const SiReport report(*fed.si, fed.health);
  ASSERT_EQ(report.Services().size(), 1u);
  const SiService& s = report.Services()[0];
  EXPECT_EQ(s.logicalChannel.value_or(-1), 7);
  EXPECT_EQ(s.majorChannel.value_or(-1), 7);
  EXPECT_EQ(s.name, "HERE");
}

TEST(SiReport, ServicesAreNamedByTheSdtVersionInForce) {
  // SDT sections of service 1 ("One", section 0) and service 2 ("Two",
  // section 1) in the order given, after the PAT and PMT of program 1.
  struct Sdt {
    int version, number, last;
    const char* name;
    bool current = true;
  };
  auto section = [](const Sdt& s) {
    const std::string name = s.name;
    return LongSection(0x42, 1, s.version, s.number, s.last,
                       Cat({U16(0x2000), {0xFF}, U16(s.number + 1), {0xFC},
                            Loop(Descriptor(0x48, Cat({{0x01, 0}, {static_cast<uint8_t>(name.size())}, Text(name)})))}),
                       s.current);
  };
  const struct {
    const char* what;
    std::vector<Sdt> sdts;
    std::map<int, std::string> names;  // by service_id, "" for no name
  } cases[] = {
      {"a copy sent ahead of the version in force", {{0, 0, 0, "Old"}, {1, 0, 0, "Next", false}, {1, 0, 0, "New"}},
       {{1, "New"}}},
      {"a new version without a section the old one had", {{0, 0, 1, "One"}, {0, 1, 1, "Two"}, {1, 0, 0, "Uno"}},
       {{1, "Uno"}}},
      {"a new version not yet complete", {{0, 0, 1, "One"}, {0, 1, 1, "Two"}, {1, 0, 1, "Uno"}},
       {{1, "One"}, {2, "Two"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int cc[0x2000] = {};
    Bytes stream = Cat({Packetize(0, Pat(1, 1, 0x100), cc[0]), Packetize(0x100, Pmt(1, 0x101, {{0x1B, 0x101, {}}}), cc[0x100])});
    for (const Sdt& s : c.sdts) stream = Cat({stream, Packetize(0x11, section(s), cc[0x11]), NullPackets(2)});
    const Fed fed = Feed(stream);
    const SiReport report(*fed.si, fed.health);
    std::map<int, std::string> names;
    for (const SiService& s : report.Services())
      if (!s.name.empty()) names[s.serviceId] = s.name;
    EXPECT_EQ(names, c.names);
  }
}

TEST(SiReport, PrivateStreamsAreKnownByTheirDescriptors) {
  const struct {
    Bytes descriptors;
    const char* kind;
  } cases[] = {
      {Descriptor(0x7B, {0x00, 0x00, 0x00, 0x00, 0x00}), "audio"},  // DTS
      {Descriptor(0x7F, {0x15, 0x00}), "audio"},                    // AC-4
      {Descriptor(0x7F, {0x0E, 0x00}), "audio"},                    // DTS-HD
      {Descriptor(0x59, Cat({Text("eng"), {0x10}, U16(1), U16(1)})), "subtitles"},
      {Descriptor(0x7F, {0x06, 0x00}), "data"},  // a supplementary audio descriptor alone says nothing
      {{}, "data"},
  };
  std::vector<EsEntry> streams;
  for (size_t k = 0; k < std::size(cases); ++k) streams.push_back({0x06, 0x110 + static_cast<int>(k), cases[k].descriptors});
  int cc[0x2000] = {};
  Bytes stream;
  for (int round = 0; round < 2; ++round)
    stream = Cat({stream, Packetize(0, Pat(1, 1, 0x100), cc[0]), Packetize(0x100, Pmt(1, 0x110, streams), cc[0x100])});
  const Fed fed = Feed(stream);
  const SiReport report(*fed.si, fed.health);
  ASSERT_EQ(report.Services().size(), 1u);
  for (size_t k = 0; k < std::size(cases); ++k) {
    const SiStream* s = StreamOn(report.Services()[0], 0x110 + static_cast<int>(k));
    ASSERT_NE(s, nullptr) << k;
    EXPECT_EQ(s->kind, cases[k].kind) << k;
  }
}

TEST(SiReport, GuideHasEveryEventOnce) {
  // Each feed split gives the same guide.
  for (size_t piece : {188u, 1000u, 65536u}) {
    SCOPED_TRACE(piece);
    const Fed fed = Feed(MakeDvbGuideStream(), piece);
    const SiReport report(*fed.si, fed.health);
    const std::vector<SiGuideChannel> guide = report.Guide();
    ASSERT_EQ(guide.size(), 1u);
    EXPECT_EQ(guide[0].id, "8192.1.1.dvb");
    EXPECT_EQ(guide[0].name, "Eins");
    ASSERT_EQ(guide[0].events.size(), 3u);
    std::set<int> ids;
    for (const SiEvent& e : guide[0].events) ids.insert(e.eventId);
    EXPECT_EQ(ids, (std::set<int>{10, 11, 12}));
    const SiEvent& first = guide[0].events[0];
    EXPECT_EQ(first.title, "Tagesschau");
    EXPECT_EQ(UtcText(first.startUtc), "2026-12-07T21:00:00Z");
    EXPECT_EQ(first.durationS, 3600);
    EXPECT_EQ(first.shortText, "Kurz");
    EXPECT_EQ(first.description, "Lange Story");
    EXPECT_EQ(first.genres, std::vector<std::string>{"News/Current affairs"});
    EXPECT_EQ(first.minimumAge.value_or(0), 12);
    EXPECT_EQ(guide[0].events[1].genres, std::vector<std::string>{"Movie/Drama"});
  }
}

TEST(SiReport, GuidesOfOtherTransportStreamsStayApart) {
  // Service 1 of two other transport streams: same table_id, extension,
  // version and section number, different transport_stream_id.
  auto eit = [](int tsid, int eventId, const char* title) {
    const std::string t = title;
    return LongSection(0x60, 1, 0, 0, 0,
                       Cat({U16(tsid), U16(0x2000), {0, 0x60}, U16(eventId), DvbTime(20, 0, 0), {0x00, 0x30, 0x00},
                            Loop(Descriptor(0x4D, Cat({Text("eng"), {static_cast<uint8_t>(t.size())}, Text(t), {0}})))}));
  };
  int cc = 0;
  const Bytes stream = Cat({Packetize(0x12, eit(2, 1, "Two"), cc), Packetize(0x12, eit(3, 1, "Three"), cc)});
  const Fed fed = Feed(stream);
  const SiReport report(*fed.si, fed.health);
  const std::vector<SiGuideChannel> guide = report.Guide();
  ASSERT_EQ(guide.size(), 2u);
  EXPECT_EQ(guide[0].id, "8192.2.1.dvb");
  EXPECT_EQ(guide[0].events.at(0).title, "Two");
  EXPECT_EQ(guide[1].events.at(0).title, "Three");
  EXPECT_EQ(report.TablesJson(0x12, 0x60).size(), 2u);
}

TEST(SiReport, TablesCarryTheirRepetition) {
  const Fed fed = Feed(MakeDvbGuideStream());
  const SiReport report(*fed.si, fed.health);
  const SiJson sdt = report.TablesJson(0x11, 0x42);
  ASSERT_EQ(sdt.size(), 1u);
  EXPECT_EQ(sdt[0]["table"], "SDT actual");
  EXPECT_EQ(sdt[0]["repetition"]["count"], 3);
  EXPECT_GT(sdt[0]["repetition"]["min_bytes"].get<uint64_t>(), 0u);
  EXPECT_EQ(sdt[0]["sections"][0]["fields"]["services"][0]["descriptors"][0]["service_name"], "Eins");
  // The p/f table of service 1 has two sections, each seen three times.
  const SiJson pf = report.TablesJson(0x12, 0x4E);
  ASSERT_EQ(pf.size(), 1u);
  EXPECT_EQ(pf[0]["repetition"]["count"], 6);
  EXPECT_EQ(pf[0]["sections"].size(), 2u);
  EXPECT_EQ(report.TablesJson(0x12, -1).size(), 2u);  // p/f and schedule
  EXPECT_TRUE(report.TablesJson(0x13, -1).empty());
}

TEST(SiReport, AtscChannelsAndGuideFromPsip) {
  const std::string title = "Evening News: Weather & Sports";
  // Terrestrial and cable virtual channel tables name the channel alike.
  for (int vct : {0xC8, 0xC9}) {
  SCOPED_TRACE(vct);
  const Fed fed = Feed(MakeAtscGuideStream(title, vct));
  const SiReport report(*fed.si, fed.health);
  EXPECT_EQ(report.Kind(), SiKind::Atsc);
  ASSERT_EQ(report.Services().size(), 1u);
  const SiService& s = report.Services()[0];
  EXPECT_EQ(s.name, "KVTR Vantrel");
  EXPECT_EQ(s.majorChannel.value_or(0), 7);
  EXPECT_EQ(s.minorChannel.value_or(0), 1);
  EXPECT_EQ(s.sourceId.value_or(0), 5);
  EXPECT_EQ(report.Time().source, "STT");
  EXPECT_EQ(UtcText(*report.Time().firstUtc), "2026-12-07T20:10:00Z");
  const std::vector<SiGuideChannel> guide = report.Guide();
  ASSERT_EQ(guide.size(), 1u);
  EXPECT_EQ(guide[0].id, "7-1.atsc");
  ASSERT_EQ(guide[0].events.size(), 1u);
  const SiEvent& e = guide[0].events[0];
  EXPECT_EQ(e.title, title);  // Huffman-coded in the stream
  EXPECT_EQ(e.description, "Weather and sports");
  EXPECT_EQ(UtcText(e.startUtc), "2026-12-07T20:00:00Z");
  EXPECT_EQ(e.durationS, 1800);
  EXPECT_EQ(report.TablesJson(0x1FFB, vct).at(0)["table"], vct == 0xC8 ? "TVCT" : "CVCT");
  }
}

TEST(SiReport, ScheduleOfManySectionsGivesEveryEventOnce) {
  // Events 1-6 over four schedule sections in two segments and two
  // table_ids, each section sent three times; 1 and 2 also in
  // present/following; section 1 changes version (event 3 renamed).
  auto event = [](int id, int hh, const std::string& title) {
    return Cat({U16(id), DvbTime(hh, 0, 0), {0x01, 0x00, 0x00},
                Loop(Descriptor(0x4D, Cat({Text("eng"), {static_cast<uint8_t>(title.size())}, Text(title), {0}})))});
  };
  auto eit = [&](int tableId, int version, int number, int last, const Bytes& events) {
    return LongSection(tableId, 1, version, number, last, Cat({U16(1), U16(0x2000), {static_cast<uint8_t>(number | 1), 0x51}, events}));
  };
  const Bytes s0 = eit(0x50, 0, 0, 8, Cat({event(1, 6, "One"), event(2, 7, "Two")}));
  const Bytes s1 = eit(0x50, 0, 1, 8, event(3, 8, "Three"));
  const Bytes s1v1 = eit(0x50, 1, 1, 8, event(3, 8, "Three again"));
  const Bytes s8 = eit(0x50, 0, 8, 8, Cat({event(4, 9, "Four"), event(5, 10, "Five")}));
  const Bytes t51 = eit(0x51, 0, 0, 0, event(6, 11, "Six"));
  const Bytes pf0 = eit(0x4E, 0, 0, 1, event(1, 6, "One"));
  const Bytes pf1 = eit(0x4E, 0, 1, 1, event(2, 7, "Two"));
  Bytes stream;
  int cc = 0;
  for (int round = 0; round < 3; ++round)
    for (const Bytes* s : {&pf0, &pf1, &s0, round < 2 ? &s1 : &s1v1, &s8, &t51}) stream = Cat({stream, Packetize(0x12, *s, cc)});
  const Fed fed = Feed(stream);
  const SiReport report(*fed.si, fed.health);
  const std::vector<SiGuideChannel> guide = report.Guide();
  ASSERT_EQ(guide.size(), 1u);
  std::vector<int> ids;
  for (const SiEvent& e : guide[0].events) ids.push_back(e.eventId);
  EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4, 5, 6}));  // by start time, once each
  EXPECT_EQ(guide[0].events.at(2).title, "Three again");
}

TEST(SiReport, RepetitionIsTimedByTheStreamClock) {
  // An SDT every 0.5 s of a stream at 27,000 packets a second; without
  // PCRs (the guide stream) there are no seconds at all.
  healthtest::CbrStream cbr(healthtest::Slot(2.2));
  cbr.StandardProgram().SectionEvery(0x11, LongSection(0x42, 1, 0, 0, 0, Cat({U16(2), {0xFF}})), 0.5, 0.005);
  const Fed fed = Feed(cbr.Build());
  const SiReport report(*fed.si, fed.health);
  const SiJson sdt = report.TablesJson(0x11, 0x42);
  ASSERT_EQ(sdt.size(), 1u);
  EXPECT_EQ(sdt[0]["repetition"]["count"], 5);
  EXPECT_NEAR(sdt[0]["repetition"]["min_s"].get<double>(), 0.5, 1e-4);
  EXPECT_NEAR(sdt[0]["repetition"]["max_s"].get<double>(), 0.5, 1e-4);
  EXPECT_NEAR(sdt[0]["sections"][0]["repetition"]["mean_s"].get<double>(), 0.5, 1e-4);
  const Fed untimed = Feed(MakeDvbGuideStream());
  EXPECT_TRUE(SiReport(*untimed.si, untimed.health).TablesJson(0x11, 0x42)[0]["repetition"]["min_s"].is_null());
}

TEST(SiReport, SamplesNameTheirServices) {
  struct Case {
    const char* file;
    size_t services;
    int serviceId;
    const char* name;
    const char* provider;
  } cases[] = {
      {"mpts-3prog.ts", 3, 103, "Sport HD", "FFmpeg"},
      {"test-018.ts", 20, 805, "Mediaset On Demand", "Mediaset"},
      {"test-025.ts", 1, 2064, "P1.1", "DVB"},
      {"test-030.ts", 11, 8801, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    SiFileOutcome outcome = ReadServiceInformation(std::string(VANTREL_TEST_DATA_DIR) + "/streams/" + c.file);
    ASSERT_TRUE(outcome.opened) << outcome.error;
    const SiReport report(*outcome.si, outcome.health);
    EXPECT_EQ(report.Services().size(), c.services);
    bool found = false;
    for (const SiService& s : report.Services()) {
      if (s.serviceId != c.serviceId) continue;
      found = true;
      EXPECT_EQ(s.name, c.name);
      EXPECT_EQ(s.provider, c.provider);
    }
    EXPECT_TRUE(found);
  }
}

TEST(SiReport, StreamsAgreeWithFfprobe) {
  // What ffprobe 5.1 reads in the same files (codec, profile, size, rate,
  // interlacing, aspect, channels, sample rate).
  struct Expect {
    const char* file;
    int pid;
    const char* codec;
    const char* profile;
    int width, height;
    double frameRate;
    bool interlaced;
    const char* aspect;
    int channels, sampleRate, bitRate;
  } cases[] = {
      {"si/data/ffmpeg-3prog.ts", 0x100, "H.264", "Constrained Baseline", 1280, 720, 25, false, "16:9", 0, 0, 0},
      {"si/data/ffmpeg-3prog.ts", 0x101, "AAC", "LC", 0, 0, 0, false, "", 2, 48000, 0},
      {"si/data/ffmpeg-3prog.ts", 0x102, "MPEG-2 video", "Main", 720, 576, 25, true, "4:3", 0, 0, 0},
      {"si/data/ffmpeg-3prog.ts", 0x103, "AC-3", "", 0, 0, 0, false, "", 6, 48000, 384000},
      {"si/data/ffmpeg-3prog.ts", 0x104, "HEVC", "Main", 640, 360, 30, false, "16:9", 0, 0, 0},
      {"si/data/ffmpeg-3prog.ts", 0x105, "MPEG-1 audio layer 2", "", 0, 0, 0, false, "", 1, 48000, 64000},
      {"data/streams/mpts-3prog.ts", 0x300, "MPEG-2 video", "Main", 720, 576, 25, false, "5:4", 0, 0, 0},
      {"data/streams/mpts-3prog.ts", 0x303, "MPEG-1 audio layer 2", "", 0, 0, 0, false, "", 1, 48000, 128000},
      {"data/streams/mpts-3prog.ts", 0x304, "H.264", "Constrained Baseline", 640, 360, 25, false, "16:9", 0, 0, 0},
  };
  std::map<std::string, std::map<int, EsInfo>> read;
  for (const Expect& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " PID " + std::to_string(c.pid));
    if (!read.count(c.file)) {
      SiFileOutcome outcome = ReadServiceInformation(std::string(VANTREL_TEST_DATA_DIR) + "/../" + c.file);
      ASSERT_TRUE(outcome.opened) << outcome.error;
      read[c.file] = outcome.si->Streams().Results();
    }
    const EsInfo& e = read[c.file][c.pid];
    ASSERT_TRUE(e.found);
    EXPECT_EQ(e.codec, c.codec);
    if (*c.profile) {
      EXPECT_EQ(e.profile, c.profile);
    }
    EXPECT_EQ(e.width, c.width);
    EXPECT_EQ(e.height, c.height);
    EXPECT_NEAR(e.frameRate, c.frameRate, 0.01);
    EXPECT_EQ(e.interlaced, c.interlaced);
    EXPECT_EQ(e.aspectRatio, c.aspect);
    EXPECT_EQ(e.channels, c.channels);
    EXPECT_EQ(e.sampleRate, c.sampleRate);
    if (c.bitRate) {
      EXPECT_EQ(e.bitRate, c.bitRate);
    }
  }
}

TEST(SiReport, DamagedInputNeverBreaksTheReading) {
  // Every byte of the crafted streams flipped in turn, in a coarse stride:
  // the reading ends and the report builds.
  for (const Bytes& original : {MakeDvbGuideStream(), MakeAtscGuideStream("Late Show")}) {
    for (size_t at = 0; at < original.size(); at += 97) {
      Bytes damaged = original;
      damaged[at] ^= static_cast<uint8_t>(0x5A + at);
      const Fed fed = Feed(damaged, 4096);
      const SiReport report(*fed.si, fed.health);
      (void)report.Guide();
      (void)report.TablesJson();
    }
  }
}

}  // namespace
