// PSI section assembly and the PAT, PMT and SDT stages.
//
// Bounds kept whatever the input says:
// - at most kMaxPrograms (1024) programs: PAT entries beyond the table are
//   ignored, and bProgramTableFull tells that some were;
// - at most kMaxAudioPids (32) audio PIDs per program: further audio streams
//   are ignored;
// - PAT section numbers above the last_section_number of the first valid PAT
//   section of a run are ignored (they have no seen-flag and no list entry);
// - every length field (section_length, program_info_length, ES_info_length,
//   descriptors_loop_length, descriptor and name lengths) is only followed
//   inside the section: descriptor loops end where the CRC_32 begins, and a
//   field that would run past that end is not read; a loop entry whose fixed
//   fields would reach into the CRC_32 is not read either;
// - a section whose section_length is too short for its table's fixed fields
//   and CRC_32 is treated as damaged;
// - sections are collected only while they stay below kSectionBufferSize.
#include "analysis/engine/psi.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "analysis/engine/reports.h"
#include "analysis/engine/ts_file.h"
#include "platform/sync.h"

namespace {

constexpr int kPatPid = 0x0000;
constexpr int kSdtPid = 0x0011;
constexpr int kPidCount = 0x2000;

constexpr uint8_t kPatTableId = 0x00;
constexpr uint8_t kPmtTableId = 0x02;
constexpr uint8_t kSdtActualTableId = 0x42;
constexpr uint8_t kSdtOtherTableId = 0x46;

constexpr uint32_t kPatTimeLimitMs = 2000;
constexpr uint32_t kPmtTimeLimitPerProgramMs = 300;
constexpr uint32_t kSdtTimeLimitMs = 3000;

// Section header (3 bytes up to section_length) plus the CRC_32.
constexpr int kSectionHeaderSize = 3;
constexpr int kCrcSize = 4;
// Least section_length that still holds each table's fixed fields and CRC_32:
// the five bytes after section_length, plus PCR_PID and program_info_length
// (PMT) or original_network_id and the reserved byte (SDT).
constexpr int kMinPatSectionLength = 5 + kCrcSize;
constexpr int kMinPmtSectionLength = 9 + kCrcSize;
constexpr int kMinSdtSectionLength = 8 + kCrcSize;

// Offsets in the section body (the bytes after section_length) where the
// entry loops begin.
constexpr int kPatEntriesOffset = 5;
constexpr int kPmtEntriesOffset = 9;
constexpr int kSdtEntriesOffset = 8;

// Fixed bytes of one loop entry. Only whole entries before the CRC_32 are
// read: the bytes of a cut entry would come from the CRC_32 itself.
constexpr int kPatEntrySize = 4;
constexpr int kPmtEntryFixedSize = 5;
constexpr int kSdtEntryFixedSize = 5;

constexpr uint8_t kServiceDescriptorTag = 0x48;

int SectionLength(const uint8_t* section) { return ((section[1] & 0x0F) << 8) | section[2]; }

// The payload of a packet as the stages use it. A packet whose adaptation
// field leaves no payload byte is treated as a packet without payload: it has
// no room even for a pointer_field.
struct Payload {
  int pid;
  bool unitStart;
  const uint8_t* data;
  int size;
};

bool ExtractPayload(const uint8_t* packet, Payload& payload) {
  const int adaptationControl = (packet[3] >> 4) & 0x3;
  if ((adaptationControl & 0x1) == 0) return false;
  int start = 4;
  if (adaptationControl & 0x2) start += 1 + std::min<int>(packet[4], 183);
  payload.pid = ((packet[1] & 0x1F) << 8) | packet[2];
  payload.unitStart = (packet[1] & 0x40) != 0;
  payload.data = packet + start;
  payload.size = kPacketSize - start;
  return payload.size > 0;
}

int PacketPid(const uint8_t* packet) { return ((packet[1] & 0x1F) << 8) | packet[2]; }

// Splits a start packet's payload at its pointer_field. `clamped` tells that
// the pointer pointed past the payload and was cut back to it.
struct PointerSplit {
  const uint8_t* tail;  // end of the previous section
  int tailSize;
  const uint8_t* rest;  // start of the new section
  int restSize;
  bool clamped;
};

PointerSplit SplitAtPointer(const Payload& payload) {
  const int left = payload.size - 1;
  int pointer = payload.data[0];
  const bool clamped = pointer > left;
  if (clamped) pointer = left;
  return {payload.data + 1, pointer, payload.data + 1 + pointer, left - pointer, clamped};
}

// Steps over the packets from the cursor on. Each stage stops when its time
// limit has passed since its first packet or when the stream ends.
class PacketWalker {
public:
  explicit PacketWalker(uint32_t limitMs) : limitMs_(limitMs) {}

  // The next packet, or null when the stage must stop.
  const uint8_t* Next() {
    if (started_ && GetTickCountMs() - startTick_ > limitMs_) {
      timedOut_ = true;
      return nullptr;
    }
    if (pbCursor == nullptr || !FindSync()) return nullptr;
    if (!started_) {
      started_ = true;
      startTick_ = GetTickCountMs();
    }
    const uint8_t* packet = pbCursor;
    // The packet stays valid until the next FindSync, which is the only call
    // that refills the block.
    pbCursor += kPacketSize;
    nBlockOffset += kPacketSize;
    return packet;
  }

  // The last Next() stopped because the time limit had passed.
  bool TimedOut() const { return timedOut_; }

private:
  uint32_t limitMs_;
  bool timedOut_ = false;
  bool started_ = false;
  uint32_t startTick_ = 0;
};

constexpr uint8_t kStuffingByte = 0xFF;

// Collects the sections of one PID in SectionBuffer and hands each one over
// as soon as its section_length bytes are there, so a table carried by a
// single packet is decoded from that packet, and sections packed back to
// back (even behind the end of a section in a packet without
// payload_unit_start_indicator) are each examined.
//
// examine(section, size, available) is called for every complete section in
// order, with `available` the bytes collected from its start on (the section
// and what follows it, stuffing included); it returns true when the stage is
// done, which ends the feeding.
class SectionAssembler {
public:
  template <typename Examine>
  bool Feed(const Payload& payload, Examine&& examine) {
    if (payload.unitStart) {
      const PointerSplit split = SplitAtPointer(payload);
      // The bytes before the pointer end the section being collected; a
      // pointer past the payload abandons it.
      if (collecting_ && !split.clamped) {
        Append(split.tail, split.tailSize);
        if (ExamineComplete(examine)) return true;
      }
      // Whatever is still incomplete stays so: a new section starts here.
      collecting_ = split.restSize > 0;
      collected_ = next_ = 0;
      if (!collecting_) return false;
      Append(split.rest, split.restSize);
      return ExamineComplete(examine);
    }
    if (!collecting_) return false;
    Append(payload.data, payload.size);
    return ExamineComplete(examine);
  }

  // Bytes of a section whose end has not arrived yet are held.
  bool HasPartialSection() const { return collecting_ && collected_ > next_; }

  void Reset() {
    collecting_ = false;
    collected_ = next_ = 0;
  }

private:
  template <typename Examine>
  bool ExamineComplete(Examine& examine) {
    while (collecting_ && collected_ > next_) {
      const uint8_t* section = SectionBuffer + next_;
      const int available = collected_ - next_;
      // Stuffing: nothing more until the next start packet.
      if (section[0] == kStuffingByte) {
        collecting_ = false;
        break;
      }
      if (available < kSectionHeaderSize) break;
      const int size = SectionLength(section) + kSectionHeaderSize;
      // A section that can never fit the buffer is not collected.
      if (size >= kSectionBufferSize) {
        collecting_ = false;
        break;
      }
      if (size > available) break;
      next_ += size;
      if (examine(section, size, available)) return true;
    }
    return false;
  }

  // Examined sections leave the buffer first; the collected bytes stay below
  // kSectionBufferSize, and what does not fit is dropped.
  void Append(const uint8_t* bytes, int count) {
    if (next_ > 0) {
      std::memmove(SectionBuffer, SectionBuffer + next_, static_cast<size_t>(collected_ - next_));
      collected_ -= next_;
      next_ = 0;
    }
    count = std::min(count, kSectionBufferSize - 1 - collected_);
    if (count <= 0) return;
    std::memcpy(SectionBuffer + collected_, bytes, static_cast<size_t>(count));
    collected_ += count;
  }

  bool collecting_ = false;
  int collected_ = 0;
  int next_ = 0;  // start of the first section not yet examined
};

// The CRC of ISO/IEC 13818-1 Annex A eight bytes at a time: table k gives
// what a byte contributes when k more bytes follow it. (Sections are most of
// a stream's service information, and every one of them is checked.)
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    tables[0][i] = crc;
  }
  for (size_t k = 1; k < tables.size(); ++k)
    for (uint32_t i = 0; i < 256; ++i)
      tables[k][i] = (tables[k - 1][i] << 8) ^ tables[0][tables[k - 1][i] >> 24];
  return tables;
}

const CrcTables kCrcTables = MakeCrcTables();

bool IsVideoStreamType(int streamType) {
  switch (streamType) {
    case 0x01:  // MPEG-1 video
    case 0x02:  // MPEG-2 video
    case 0x10:  // MPEG-4 Visual
    case 0x1B:  // H.264
    case 0x24:  // HEVC
    case 0x42:  // AVS
      return true;
    default:
      return false;
  }
}

bool IsAudioStreamType(int streamType) {
  switch (streamType) {
    case 0x03:  // MPEG-1 audio
    case 0x04:  // MPEG-2 audio
    case 0x0F:  // AAC in ADTS
    case 0x11:  // AAC in LATM
    case 0x87:  // enhanced AC-3 as ATSC signals it
      return true;
    default:
      return false;
  }
}

// Descriptors that mark a private-data stream (0x06, 0x0A) as audio.
bool IsAudioDescriptorTag(int tag) {
  switch (tag) {
    case 0x6A:  // AC-3
    case 0x7A:  // enhanced AC-3
    case 0x7B:  // DTS
    case 0x7C:  // AAC
    case 0x81:  // AC-3 (ATSC)
      return true;
    default:
      return false;
  }
}

void AppendAudioPid(ProgramRecord& record, int pid) {
  if (record.audio_count < 0 || record.audio_count >= kMaxAudioPids) return;
  record.audio_pids[record.audio_count] = pid;
  ++record.audio_count;
}

// Whether a complete descriptor with an audio tag lies in [begin, end).
bool HasAudioDescriptor(const uint8_t* body, int begin, int end) {
  for (int pos = begin; pos + 2 <= end;) {
    const int next = pos + 2 + body[pos + 1];
    if (next > end) break;
    if (IsAudioDescriptorTag(body[pos])) return true;
    pos = next;
  }
  return false;
}

// Copies a length-prefixed name at body[pos] that must end by `end`; a name
// whose length runs past `end` is cut there. Returns the position after it.
int CopyName(const uint8_t* body, int pos, int end, char (&name)[256], int32_t& length) {
  length = 0;
  if (pos < end) {
    length = std::min<int>(body[pos], end - pos - 1);
    std::memcpy(name, body + pos + 1, static_cast<size_t>(length));
    pos += 1 + body[pos];
  }
  // A later descriptor for the same service may carry a shorter name.
  std::memset(name + length, 0, sizeof(name) - static_cast<size_t>(length));
  return pos;
}

void ReadServiceDescriptor(const uint8_t* body, int begin, int end, int32_t namedBy,
                           ProgramRecord& record) {
  record.service_type = begin < end ? body[begin] : 0;
  const int afterProvider =
      CopyName(body, begin + 1, end, record.provider_name, record.provider_name_length);
  CopyName(body, afterProvider, end, record.service_name, record.service_name_length);
  record.stage_done = namedBy;
}

}  // namespace

int CheckSectionCrc(const uint8_t* section, int length) {
  if (section == nullptr || length <= 0) return 0;
  const auto& t = kCrcTables;
  uint32_t crc = 0xFFFFFFFFu;
  int i = 0;
  for (; i + 8 <= length; i += 8) {
    const uint8_t* b = section + i;
    crc ^= uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xFF] ^ t[5][(crc >> 8) & 0xFF] ^ t[4][crc & 0xFF] ^ t[3][b[4]] ^
          t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]];
  }
  for (; i < length; ++i) crc = (crc << 8) ^ t[0][((crc >> 24) ^ section[i]) & 0xFF];
  return crc == 0 ? 1 : 0;
}

void ParsePatPrograms(const uint8_t* body, int sectionLength, ProgramRecord* table, int& count) {
  const int crcStart = sectionLength - kCrcSize;
  for (int pos = kPatEntriesOffset; pos + kPatEntrySize <= crcStart; pos += kPatEntrySize) {
    if (count < 0) return;
    const int programNumber = (body[pos] << 8) | body[pos + 1];
    if (programNumber == 0) continue;  // network PID, not a program
    if (count >= kMaxPrograms) {
      bProgramTableFull = 1;
      return;
    }
    table[count].program_number = programNumber;
    table[count].pmt_pid = ((body[pos + 2] & 0x1F) << 8) | body[pos + 3];
    ++count;
  }
}

void ParsePmtStreams(const uint8_t* body, int sectionLength, ProgramRecord& record) {
  const int crcStart = sectionLength - kCrcSize;
  if (crcStart < kPmtEntriesOffset) return;
  const int programInfoLength = ((body[7] & 0x0F) << 8) | body[8];
  for (int pos = kPmtEntriesOffset + programInfoLength; pos + kPmtEntryFixedSize <= crcStart;) {
    const int streamType = body[pos];
    const int pid = ((body[pos + 1] & 0x1F) << 8) | body[pos + 2];
    const int esInfoLength = ((body[pos + 3] & 0x0F) << 8) | body[pos + 4];
    const int esInfoStart = pos + 5;
    const int esInfoEnd = std::min(esInfoStart + esInfoLength, crcStart);
    if (IsVideoStreamType(streamType)) {
      record.video_pid = pid;
    } else if (IsAudioStreamType(streamType)) {
      AppendAudioPid(record, pid);
    } else if (streamType == 0x81) {
      if (record.audio_count < 4) AppendAudioPid(record, pid);
    } else if (streamType == 0x06 || streamType == 0x0A) {
      if (HasAudioDescriptor(body, esInfoStart, esInfoEnd)) AppendAudioPid(record, pid);
    }
    pos = esInfoStart + esInfoLength;
  }
}

void ParseSdtServices(const uint8_t* body, int sectionLength, ProgramRecord* table, int count,
                      bool actualSdt) {
  const int32_t namedBy = actualSdt ? kNamedByActualSdt : kNamedByOtherSdt;
  const int crcStart = sectionLength - kCrcSize;
  count = std::clamp(count, 0, kMaxPrograms);
  for (int pos = kSdtEntriesOffset; pos + kSdtEntryFixedSize <= crcStart;) {
    const int serviceId = (body[pos] << 8) | body[pos + 1];
    const int loopLength = ((body[pos + 3] & 0x0F) << 8) | body[pos + 4];
    const int loopStart = pos + 5;
    const int loopEnd = std::min(loopStart + loopLength, crcStart);
    pos = loopStart + loopLength;

    ProgramRecord* record = nullptr;
    for (int i = 0; i < count && record == nullptr; ++i)
      if (table[i].program_number == serviceId) record = &table[i];
    if (record == nullptr) continue;
    // An actual SDT replaces names taken from another stream's SDT.
    if (actualSdt ? record->stage_done == kNamedByActualSdt : record->stage_done != 0) continue;

    for (int d = loopStart; d + 2 <= loopEnd;) {
      const int next = d + 2 + body[d + 1];
      if (next > loopEnd) break;
      if (body[d] == kServiceDescriptorTag) ReadServiceDescriptor(body, d + 2, next, namedBy, *record);
      d = next;
    }
  }
}

int AnalysePat() {
  if (bPatDone == 1) return 1;
  std::memset(ProgramTable, 0, sizeof(ProgramTable));
  nProgramCount = 0;
  bProgramTableFull = 0;
  int runningTotal = 0;
  // Seen-flags for section numbers 0 to lastSection; created (lastSection >= 0)
  // by the first valid section of this run.
  std::array<bool, 256> seen{};
  int lastSection = -1;

  auto examine = [&](const uint8_t* section, int size, int available) {
    if (size < kMinPatSectionLength + kSectionHeaderSize || section[0] != kPatTableId ||
        (section[5] & 0x01) == 0 || !CheckSectionCrc(section, size))
      return false;
    const int sectionNumber = section[6];
    const int lastSectionNumber = section[7];
    if (lastSection < 0) lastSection = lastSectionNumber;
    if (PatSectionList == nullptr)
      PatSectionList = new std::vector<PatSectionText>(static_cast<size_t>(lastSectionNumber) + 1);
    if (sectionNumber <= lastSection && !seen[sectionNumber]) {
      ParsePatPrograms(section + kSectionHeaderSize, size - kSectionHeaderSize, ProgramTable,
                       runningTotal);
      seen[sectionNumber] = true;
      nProgramCount = runningTotal;
      // A list kept from an earlier run may be shorter than this PAT.
      if (static_cast<size_t>(sectionNumber) < PatSectionList->size()) {
        PatSectionText& entry = (*PatSectionList)[sectionNumber];
        entry.last_section_number = lastSectionNumber;
        entry.text = BuildSectionHexText(section, available);
      }
    }
    return std::all_of(seen.begin(), seen.begin() + lastSection + 1, [](bool s) { return s; });
  };

  SectionAssembler assembler;
  PacketWalker walker(kPatTimeLimitMs);
  while (const uint8_t* packet = walker.Next()) {
    Payload payload;
    if (PacketPid(packet) != kPatPid || !ExtractPayload(packet, payload)) continue;
    if (assembler.Feed(payload, examine)) {
      bPatDone = 1;
      break;
    }
  }
  return bPatDone;
}

int AnalysePmt() {
  if (bPmtDone == 1) return 1;
  if (bPatDone == 0) AnalysePat();

  // First record in table order, per PID, whose PMT is still missing (-1 when
  // none): the lookup every packet needs, kept up to date as programs decode.
  static int16_t firstUndecoded[kPidCount];
  const int programCount = std::clamp(nProgramCount, 0, kMaxPrograms);
  std::fill(std::begin(firstUndecoded), std::end(firstUndecoded), int16_t{-1});
  for (int i = programCount - 1; i >= 0; --i)
    if (ProgramTable[i].stage_done == 0)
      firstUndecoded[ProgramTable[i].pmt_pid & (kPidCount - 1)] = static_cast<int16_t>(i);
  auto markDecoded = [&](int j) {
    ProgramTable[j].stage_done = 1;
    ProgramTable[j].pmt_found = 1;
    const int pid = ProgramTable[j].pmt_pid & (kPidCount - 1);
    if (firstUndecoded[pid] != j) return;
    firstUndecoded[pid] = -1;
    for (int i = j + 1; i < programCount; ++i) {
      if (ProgramTable[i].stage_done == 0 && (ProgramTable[i].pmt_pid & (kPidCount - 1)) == pid) {
        firstUndecoded[pid] = static_cast<int16_t>(i);
        break;
      }
    }
  };

  // Sections are collected from one PID at a time (the buffer is shared):
  // the PID of a program still missing is locked at a start packet and
  // unlocked once no section of it is left half collected.
  int lockedPid = -1;
  int decoded = 0;
  auto examine = [&](const uint8_t* section, int size, int) {
    if (size < kMinPmtSectionLength + kSectionHeaderSize || section[0] != kPmtTableId ||
        (section[5] & 0x01) == 0)
      return false;
    // Programs sharing the PID: the section names its own.
    const int programNumber = (section[3] << 8) | section[4];
    int j = firstUndecoded[lockedPid];
    while (j >= 0 && j < programCount &&
           (ProgramTable[j].stage_done != 0 || ProgramTable[j].pmt_pid != lockedPid ||
            ProgramTable[j].program_number != programNumber))
      ++j;
    if (j < 0 || j >= programCount || !CheckSectionCrc(section, size)) return false;
    ParsePmtStreams(section + kSectionHeaderSize, size - kSectionHeaderSize, ProgramTable[j]);
    markDecoded(j);
    return ++decoded == programCount;
  };

  SectionAssembler assembler;
  bool rewound = false;
  PacketWalker walker(kPmtTimeLimitPerProgramMs * static_cast<uint32_t>(programCount));
  // Without programs there is no PMT to look for.
  while (bPatDone == 1 && programCount > 0) {
    const uint8_t* packet = walker.Next();
    if (packet == nullptr) {
      // The stage began where the PAT stage stopped: PMTs sent before that
      // point are read by going round once more from the start of the file.
      if (rewound || walker.TimedOut() || pTsFile == nullptr || !RestartTsFile()) break;
      rewound = true;
      assembler.Reset();
      lockedPid = -1;
      continue;
    }
    const int pid = PacketPid(packet);
    if (lockedPid < 0) {
      const int j = firstUndecoded[pid];
      if (j < 0 || ProgramTable[j].pmt_pid != pid) continue;
    } else if (pid != lockedPid) {
      continue;
    }
    Payload payload;
    if (!ExtractPayload(packet, payload)) continue;
    if (lockedPid < 0) {
      if (!payload.unitStart) continue;
      lockedPid = pid;
    }
    if (assembler.Feed(payload, examine)) {
      bPmtDone = 1;
      break;
    }
    if (!assembler.HasPartialSection() || firstUndecoded[lockedPid] < 0) {
      assembler.Reset();
      lockedPid = -1;
    }
  }

  for (int i = 0; i < programCount; ++i) ProgramTable[i].stage_done = 0;
  bPmtDone = 1;
  return 1;
}

int AnalyseSdt() {
  if (bPmtDone == 0) AnalysePmt();
  // Without an open file there is nothing to restart or read.
  if (pTsFile != nullptr) RestartTsFile();
  const int programCount = std::clamp(nProgramCount, 0, kMaxPrograms);
  // Names from another stream's SDT may still be replaced: the stage is done
  // when the actual SDT has named every program.
  auto allNamed = [programCount] {
    for (int i = 0; i < programCount; ++i)
      if (ProgramTable[i].stage_done != kNamedByActualSdt) return false;
    return true;
  };
  auto examine = [&](const uint8_t* section, int size, int) {
    if (size < kMinSdtSectionLength + kSectionHeaderSize ||
        (section[0] != kSdtActualTableId && section[0] != kSdtOtherTableId) ||
        (section[1] & 0x80) == 0 || (section[5] & 0x01) == 0 || !CheckSectionCrc(section, size))
      return false;
    bSdtExists = 1;
    ParseSdtServices(section + kSectionHeaderSize, size - kSectionHeaderSize, ProgramTable,
                     programCount, section[0] == kSdtActualTableId);
    return allNamed();
  };

  SectionAssembler assembler;
  PacketWalker walker(kSdtTimeLimitMs);
  while (bPmtDone == 1 && bSdtDone == 0) {
    const uint8_t* packet = walker.Next();
    if (packet == nullptr) break;
    Payload payload;
    if (PacketPid(packet) != kSdtPid || !ExtractPayload(packet, payload)) continue;
    if (assembler.Feed(payload, examine)) bSdtDone = 1;
  }
  bSdtDone = 1;
  return 1;
}
