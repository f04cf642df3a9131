#include "boxserver/stream_source.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>

namespace {

constexpr size_t kPacket = 188;

uint32_t Crc32Mpeg(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
  }
  return crc;
}

// One packet carrying a whole PSI section after a zero pointer_field.
void AppendSectionPacket(std::vector<uint8_t>* out, uint16_t pid, uint8_t continuity,
                         std::vector<uint8_t> section) {
  uint32_t crc = Crc32Mpeg(section.data(), section.size());
  for (int shift = 24; shift >= 0; shift -= 8) section.push_back(static_cast<uint8_t>(crc >> shift));
  uint8_t packet[kPacket];
  std::memset(packet, 0xFF, sizeof packet);
  packet[0] = 0x47;
  packet[1] = static_cast<uint8_t>(0x40 | (pid >> 8));
  packet[2] = static_cast<uint8_t>(pid);
  packet[3] = static_cast<uint8_t>(0x10 | (continuity & 0x0F));
  packet[4] = 0x00;
  std::memcpy(packet + 5, section.data(), section.size());
  out->insert(out->end(), packet, packet + kPacket);
}

}  // namespace

bool LoadStreamFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "stream file " + path + " is a folder, not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    *error = "cannot open stream file " + path;
    return false;
  }
  std::streamoff size = in.tellg();
  if (size <= 0) {
    *error = "stream file " + path + " is empty";
    return false;
  }
  if (static_cast<uint64_t>(size) > kMaxStreamFileBytes) {
    *error = "stream file " + path + " is larger than 512 MiB";
    return false;
  }
  bytes->resize(static_cast<size_t>(size));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes->data()), size)) {
    *error = "cannot read stream file " + path;
    return false;
  }
  return true;
}

std::vector<uint8_t> GenerateDefaultStream() {
  constexpr uint16_t kPmtPid = 0x0100, kVideoPid = 0x0101;
  constexpr int kCycles = 16, kVideoPerCycle = 98;
  const std::vector<uint8_t> pat = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                    0x00, 0x01, 0xE0 | (kPmtPid >> 8), kPmtPid & 0xFF};
  const std::vector<uint8_t> pmt = {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                    0xE0 | (kVideoPid >> 8), kVideoPid & 0xFF, 0xF0, 0x00,
                                    0x02, 0xE0 | (kVideoPid >> 8), kVideoPid & 0xFF, 0xF0, 0x00};
  std::vector<uint8_t> stream;
  stream.reserve(static_cast<size_t>(kCycles) * (kVideoPerCycle + 2) * kPacket);
  uint32_t counter = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    AppendSectionPacket(&stream, 0, static_cast<uint8_t>(cycle), pat);
    AppendSectionPacket(&stream, kPmtPid, static_cast<uint8_t>(cycle), pmt);
    for (int i = 0; i < kVideoPerCycle; ++i, ++counter) {
      uint8_t packet[kPacket];
      packet[0] = 0x47;
      packet[1] = kVideoPid >> 8;
      packet[2] = kVideoPid & 0xFF;
      packet[3] = static_cast<uint8_t>(0x10 | (counter & 0x0F));
      for (size_t j = 4; j < kPacket; ++j) packet[j] = static_cast<uint8_t>(counter + j);
      stream.insert(stream.end(), packet, packet + kPacket);
    }
  }
  return stream;
}

void RemoveSyncBytes(std::vector<uint8_t>* bytes) {
  for (uint8_t& byte : *bytes) {
    if (byte == 0x47) byte = 0xB8;
  }
}

uint64_t EstimatePcrBitrate(const std::vector<uint8_t>& bytes) {
  constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;  // in 27 MHz ticks
  size_t start = 0;
  while (start + kPacket < bytes.size() && !(bytes[start] == 0x47 && bytes[start + kPacket] == 0x47)) {
    ++start;
  }
  struct PidClock {
    size_t count = 0;
    size_t firstOffset = 0, lastOffset = 0;
    uint64_t lastPcr = 0;
    uint64_t ticks = 0;  // summed forward steps from the first PCR to the last
  };
  std::vector<PidClock> clocks(0x2000);
  for (size_t offset = start; offset + kPacket <= bytes.size(); offset += kPacket) {
    const uint8_t* p = bytes.data() + offset;
    bool hasAdaptation = p[0] == 0x47 && (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10);
    if (!hasAdaptation) continue;
    uint64_t base = static_cast<uint64_t>(p[6]) << 25 | static_cast<uint64_t>(p[7]) << 17 |
                    static_cast<uint64_t>(p[8]) << 9 | static_cast<uint64_t>(p[9]) << 1 | p[10] >> 7;
    uint64_t pcr = base * 300 + ((p[10] & 1u) << 8 | p[11]);
    PidClock& clock = clocks[(p[1] & 0x1F) << 8 | p[2]];
    if (clock.count == 0) {
      clock.firstOffset = offset;
    } else {
      clock.ticks += (pcr + kPcrWrap - clock.lastPcr) % kPcrWrap;
    }
    clock.lastOffset = offset;
    clock.lastPcr = pcr;
    ++clock.count;
  }
  const PidClock* best = nullptr;
  for (const PidClock& clock : clocks) {
    if (clock.count >= 2 && (!best || clock.count > best->count)) best = &clock;
  }
  if (!best || best->ticks == 0) return 0;
  unsigned __int128 bits = static_cast<unsigned __int128>(best->lastOffset - best->firstOffset) * 8;
  return static_cast<uint64_t>(bits * 27000000u / best->ticks);
}

int DetectStreamPacketSize(const std::vector<uint8_t>& bytes) {
  constexpr int kChecked = 4;
  // The first sync byte within the first packets' worth of bytes.
  for (size_t first = 0; first < bytes.size() && first < 4 * 208; ++first) {
    if (bytes[first] != 0x47) continue;
    for (int size : {188, 192, 204, 208}) {
      bool fits = first + static_cast<size_t>(kChecked) * size < bytes.size();
      for (int k = 1; fits && k <= kChecked; ++k) fits = bytes[first + static_cast<size_t>(k) * size] == 0x47;
      if (fits) return size;
    }
  }
  return 0;
}
