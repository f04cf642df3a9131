// Makes the benchmarks' stream with full DVB service information out of the
// multi-program sample (not a test): its null packets carry, at the rates a
// broadcast uses, a NIT with the services' channel numbers, EIT
// present/following for each service every 1.9 s, an eight-day EIT schedule
// (six events per three-hour segment, with short and extended event
// descriptors, genre and parental rating) cycled in 10 s, a TDT every second
// and a TOT every 5 s. The SDT, PAT and PMTs stay the sample's own. Used by
// bench/stream_analysis.sh before it repeats the result to 1 GiB.
//
//   bench_full_si_stream SAMPLE OUT
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/si/si_test_support.h"

namespace {

constexpr int kTsid = 1, kOnid = 0xFF01, kNetworkId = 0x3001;
constexpr int kServices[] = {101, 102, 103};
constexpr int kMjd = 61381;  // 2026-12-07

Bytes Bcd(int hh, int mm, int ss) {
  auto bcd = [](int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); };
  return {bcd(hh), bcd(mm), bcd(ss)};
}

Bytes Time(int day, int minutes) {
  return Cat({U16(kMjd + day), Bcd(minutes / 60, minutes % 60, 0)});
}

Bytes Event(int id, int day, int minutes, int duration, const std::string& title, int genre) {
  const std::string text = "Episode " + std::to_string(id) + " of " + title + ", as the channel describes it at length.";
  const Bytes descriptors = Cat({
      Descriptor(0x4D, Cat({Text("eng"), {static_cast<uint8_t>(title.size())}, Text(title), {10}, Text("The story")})),
      Descriptor(0x4E, Cat({{0x00}, Text("eng"), {0}, {static_cast<uint8_t>(text.size())}, Text(text)})),
      Descriptor(0x54, {static_cast<uint8_t>(genre), 0}),
      Descriptor(0x55, Cat({Text("GBR"), {0x05}})),
  });
  return Cat({U16(id), Time(day, minutes), Bcd(duration / 60, duration % 60, 0), Loop(descriptors)});
}

// The p/f table's header: both its sections are one segment.
Bytes PfHeader() { return Cat({U16(kTsid), U16(kOnid), {1, 0x4E}}); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_full_si_stream SAMPLE OUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes sample((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t packets = sample.size() / 188;
  if (!in.good() && !in.eof()) return 1;
  if (packets == 0) {
    std::fprintf(stderr, "bench_full_si_stream: %s holds no packets\n", argv[1]);
    return 1;
  }

  // Each table as packets, with how often it goes out (in packets of the
  // sample: its 10 s are `packets`).
  struct Table {
    int pid;
    std::vector<Bytes> sections;
    double everyS;
    double nextS = 0;
    size_t next = 0;
  };
  std::vector<Table> tables;
  Bytes services, channels;
  for (int id : kServices) {
    services = Cat({services, U16(id), {0x01}});
    channels = Cat({channels, U16(id), U16(0xFC00 | (id - 100))});
  }
  tables.push_back({0x10, {LongSection(0x40, kNetworkId, 0, 0, 0,
                                       Cat({Loop(Descriptor(0x40, Text("Vantrel Bench Network"))),
                                            Loop(Cat({U16(kTsid), U16(kOnid),
                                                      Loop(Cat({Descriptor(0x41, services), Descriptor(0x5F, U32(0x29)),
                                                                Descriptor(0x83, channels)}))}))}))},
                    1.0});
  const char* titles[] = {"News", "Weather", "Film", "Documentary", "Sport", "Music"};
  std::vector<Bytes> pf, schedule;
  for (int service : kServices) {
    int id = service * 1000;
    pf.push_back(LongSection(0x4E, service, 0, 0, 1, Cat({PfHeader(), Event(id, 0, 20 * 60, 30, "News", 0x21)})));
    pf.push_back(LongSection(0x4E, service, 0, 1, 1, Cat({PfHeader(), Event(id + 1, 0, 20 * 60 + 30, 90, "Film", 0x10)})));
    // Days 0-3 in table 0x50, 4-7 in 0x51; eight three-hour segments a day.
    for (int table = 0x50; table <= 0x51; ++table)
      for (int segment = 0; segment < 32; ++segment) {
        const int day = (table - 0x50) * 4 + segment / 8;
        Bytes events;
        for (int e = 0; e < 6; ++e)
          events = Cat({events, Event(++id, day, (segment % 8) * 180 + e * 30, 30, titles[e], 0x10 + e * 0x10)});
        schedule.push_back(LongSection(table, service, 0, segment * 8, 31 * 8,
                                       Cat({U16(kTsid), U16(kOnid), {static_cast<uint8_t>(segment * 8), 0x51}, events})));
      }
  }
  // The services' schedules interleaved: one table's sections well apart.
  std::vector<Bytes> interleaved;
  const size_t perService = schedule.size() / std::size(kServices);
  for (size_t k = 0; k < perService; ++k)
    for (size_t service = 0; service < std::size(kServices); ++service) interleaved.push_back(schedule[service * perService + k]);
  tables.push_back({0x12, pf, 1.9});
  tables.push_back({0x12, interleaved, 10.0});

  Bytes out = sample;
  int cc[0x2000] = {};
  std::deque<Bytes> due;  // packets waiting for a null packet
  auto send = [&](int pid, const Bytes& section) {
    const Bytes ts = Packetize(pid, section, cc[pid]);
    for (size_t at = 0; at < ts.size(); at += 188)
      due.emplace_back(ts.begin() + static_cast<long>(at), ts.begin() + static_cast<long>(at + 188));
  };
  const double seconds = 10.0;
  int nextSecond = 0;
  for (size_t p = 0; p < packets; ++p) {
    const double now = seconds * static_cast<double>(p) / static_cast<double>(packets);
    for (Table& t : tables)
      if (now >= t.nextS) {
        // A section at a time, spread over the table's period, so that no
        // two of one table come closer than the standards allow.
        send(t.pid, t.sections[t.next]);
        t.next = (t.next + 1) % t.sections.size();
        t.nextS += t.everyS / static_cast<double>(t.sections.size());
      }
    if (now >= nextSecond) {
      send(0x14, ShortSection(0x70, Cat({U16(kMjd), Bcd(20, 0, nextSecond)}), false));
      if (nextSecond % 5 == 0) {
        const Bytes offset = Descriptor(0x58, Cat({Text("GBR"), {0x02}, {0x00, 0x00}, Time(90, 60), {0x01, 0x00}}));
        send(0x14, ShortSection(0x73, Cat({U16(kMjd), Bcd(20, 0, nextSecond), Loop(offset)}), true));
      }
      ++nextSecond;
    }
    uint8_t* packet = out.data() + p * 188;
    const int pid = ((packet[1] & 0x1F) << 8) | packet[2];
    if (pid == 0x1FFF && !due.empty()) {
      std::copy(due.front().begin(), due.front().end(), packet);
      due.pop_front();
    }
  }
  if (!due.empty()) std::fprintf(stderr, "bench_full_si_stream: %zu packets of SI found no null packet\n", due.size());
  std::ofstream file(argv[2], std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return file.good() ? 0 : 1;
}
