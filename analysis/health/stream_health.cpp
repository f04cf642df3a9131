#include "analysis/health/stream_health.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "analysis/engine/psi.h"
#include "platform/ui_hooks.h"

namespace {

constexpr int kTsSize = 188;
constexpr int kPidCount = 8192;
constexpr int kNullPid = 0x1FFF;
constexpr double kBitsPerPacket = 188.0 * 8.0;
constexpr double kPcrHz = 27e6;
constexpr uint64_t kPcrModulus = (uint64_t{1} << 33) * 300;  // base 33 bits x 300 + extension
constexpr size_t kMaxHealthPrograms = 4096;
constexpr size_t kMaxSectionBytes = 4096 + 3;
// Bytes of new input joined to a carried tail: more than any look-ahead.
constexpr size_t kJoinBytes = 4096;
constexpr int kMaxSyncRun = 10;
// Packets looked at when choosing between packet sizes that all fit.
constexpr int kDetectRun = 10;
// PCR accuracy: each PCR is judged against the straight line fitted through
// this many PCRs of its PID around it, so that one wrong PCR hardly moves
// the line its neighbours are judged by.
constexpr int kAccuracyWindow = 17;

constexpr HealthCheckInfo kCheckInfo[kHealthCheckCount] = {
    {"1.1", "TS_sync_loss", "sync_loss"},
    {"1.2", "Sync_byte_error", "sync_byte"},
    {"1.3", "PAT_error", "pat"},
    {"1.4", "Continuity_count_error", "continuity"},
    {"1.5", "PMT_error", "pmt"},
    {"1.6", "PID_error", "pid"},
    {"2.1", "Transport_error", "transport"},
    {"2.2", "CRC_error", "crc"},
    {"2.3a", "PCR_repetition_error", "pcr_repetition"},
    {"2.3b", "PCR_discontinuity_indicator_error", "pcr_discontinuity"},
    {"2.4", "PCR_accuracy_error", "pcr_accuracy"},
    {"2.5", "PTS_error", "pts"},
    {"2.6", "CAT_error", "cat"},
};

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

std::string Hex2(int value) { return Format("0x%02X", value); }
std::string Hex4(int value) { return Format("0x%04X", value); }

// An occurrence's description: an English template and the values for its
// %s, in order.
struct Described {
  std::string textTemplate;
  std::vector<std::string> values;
};

void SetDescription(HealthOccurrence& o, Described described) {
  o.description = FillTemplate(described.textTemplate, described.values);
  o.descriptionTemplate = std::move(described.textTemplate);
  o.descriptionValues = std::move(described.values);
}

// Where a packet sits in the input.
struct Mark {
  uint64_t packet = 0;
  uint64_t offset = 0;
};

// Stream time of packet positions within one PCR interval of the timing PID.
struct TimeMap {
  uint64_t packet = 0;
  double time = 0;
  double secondsPerPacket = 0;
  double At(uint64_t p) const {
    return time + (static_cast<double>(p) - static_cast<double>(packet)) * secondsPerPacket;
  }
};

bool IsVideoType(int type) {
  switch (type) {
    case 0x01: case 0x02: case 0x10: case 0x1B: case 0x20: case 0x24: case 0x42: case 0xD1:
    case 0xEA:
      return true;
    default:
      return false;
  }
}

bool IsAudioType(int type) {
  switch (type) {
    case 0x03: case 0x04: case 0x0F: case 0x11: case 0x1C: case 0x81: case 0x82: case 0x83:
    case 0x84: case 0x85: case 0x86: case 0x87:
      return true;
    default:
      return false;
  }
}

// stream_type 0x06 (private PES) is audio when a DVB audio descriptor says so.
PidKind ClassifyStream(int type, const uint8_t* descriptors, int length) {
  if (IsVideoType(type)) return PidKind::Video;
  if (IsAudioType(type)) return PidKind::Audio;
  if (type == 0x06) {
    for (int pos = 0; pos + 2 <= length;) {
      const int tag = descriptors[pos];
      const int size = descriptors[pos + 1];
      if (tag == 0x6A || tag == 0x7A || tag == 0x7B || tag == 0x7C) return PidKind::Audio;
      pos += 2 + size;
    }
  }
  return PidKind::Other;
}

// Occurrences of one kind (PAT sections, PMT sections on one PID, packets of
// one referenced PID, PTSs on one PID) whose spacing must stay within a
// limit. Positions are timed once the PCR after them has arrived; until then
// the current interval keeps only its first and last occurrence and its
// widest gap, which is all the check needs since time is linear in position
// between two PCRs.
struct IntervalTracker {
  HealthCheck check = HealthCheck::Pat;
  int pid = 0;
  double limit = 0;
  const char* what = "";
  bool dirty = false;
  bool haveLast = false;
  double lastTime = 0;
  bool openGapReported = false;
  bool spanAny = false;
  Mark spanFirst, spanLast, gapFrom, gapTo;
  uint64_t gapPackets = 0;

  void Add(const Mark& mark) {
    if (!spanAny) {
      spanFirst = mark;
      spanAny = true;
    } else if (mark.packet - spanLast.packet > gapPackets) {
      gapPackets = mark.packet - spanLast.packet;
      gapFrom = spanLast;
      gapTo = mark;
    }
    spanLast = mark;
  }
};

struct PcrAccuracyWindow {
  double packet[kAccuracyWindow];
  double seconds[kAccuracyWindow];
  uint64_t packetIndex[kAccuracyWindow];
  uint64_t offset[kAccuracyWindow];
  int count = 0;  // PCRs in the window (ring of kAccuracyWindow)
  int next = 0;
};

struct PidState {
  uint64_t packets = 0;
  uint64_t ccErrors = 0;
  uint64_t duplicates = 0;
  uint64_t tei = 0;
  uint64_t scrambled = 0;
  uint64_t discontinuities = 0;
  uint64_t pcrCount = 0;
  int8_t lastCc = -1;
  int8_t lastPayloadCc = -1;
  uint8_t duplicateRun = 0;
  uint8_t roles = 0;  // kRole* bits
  int32_t seriesSlot = -1;
  uint32_t bucketPackets = 0;  // in the series' current bucket, flushed when it closes
  int32_t presenceTracker = -1;
  int32_t ptsTracker = -1;
  int32_t pmtTracker = -1;
  // PCR
  bool havePcr = false;
  uint64_t lastPcr = 0;
  double pcrSeconds = 0;  // unwrapped, for the accuracy fit
  double maxPcrInterval = -1;
};

constexpr uint8_t kRolePsi = 1;       // sections assembled
constexpr uint8_t kRolePmt = 2;
constexpr uint8_t kRoleEs = 4;        // elementary stream referenced by a PMT
constexpr uint8_t kRolePts = 8;       // video or audio: PTS spacing checked
constexpr uint8_t kRolePcr = 16;      // a PMT's PCR_PID

struct SectionAssembler {
  std::vector<uint8_t> bytes;
  bool collecting = false;
  Mark start;
};

struct Bucket {
  uint64_t firstPacket = 0;
  double time = NAN;
};

}  // namespace

const HealthCheckInfo& GetHealthCheckInfo(HealthCheck check) {
  return kCheckInfo[static_cast<size_t>(check)];
}

uint64_t HealthResult::TotalErrors() const {
  uint64_t total = 0;
  for (const HealthCheckResult& c : checks)
    if (c.evaluated) total += c.count;
  return total;
}

int HealthResult::ChecksWithErrors() const {
  int n = 0;
  for (const HealthCheckResult& c : checks)
    if (c.evaluated && c.count > 0) ++n;
  return n;
}

HealthVerdict HealthResult::Verdict() const {
  if (packets == 0) return HealthVerdict::NoStream;
  if (TotalErrors() > 0) return HealthVerdict::Errors;
  for (const HealthCheckResult& c : checks)
    if (!c.evaluated) return HealthVerdict::NotEvaluated;
  return HealthVerdict::NoErrors;
}

std::string DescribePidCarries(PidKind kind, int program, int streamType) {
  const std::string of = program >= 0 ? " of program " + std::to_string(program) : "";
  const std::string type = streamType >= 0 ? Format(" (stream_type 0x%02X)", streamType) : "";
  switch (kind) {
    case PidKind::Pat: return "PAT";
    case PidKind::Cat: return "CAT";
    case PidKind::Nit: return "NIT";
    case PidKind::SdtBat: return "SDT/BAT";
    case PidKind::Eit: return "EIT";
    case PidKind::TdtTot: return "TDT/TOT";
    case PidKind::Pmt: return "PMT" + of;
    case PidKind::Video: return "video" + of + type;
    case PidKind::Audio: return "audio" + of + type;
    case PidKind::Other: return "other stream" + of + type;
    case PidKind::Pcr: return "PCR" + of;
    case PidKind::Null: return "null";
    case PidKind::Unreferenced: break;
  }
  return "unreferenced";
}

struct StreamHealth::Impl {
  explicit Impl(const HealthLimits& l) : limits(l) {
    limits.syncAcquirePackets = std::clamp(limits.syncAcquirePackets, 1, kMaxSyncRun);
    limits.syncLossPackets = std::clamp(limits.syncLossPackets, 1, kMaxSyncRun);
    limits.maxSeriesPoints = std::max<size_t>(limits.maxSeriesPoints & ~size_t{1}, 2);
    if (limits.packetSize != 188 && limits.packetSize != 192 && limits.packetSize != 204 &&
        limits.packetSize != 208)
      limits.packetSize = 0;
    packetSize = limits.packetSize;
    pids.resize(kPidCount);
    assemblers.resize(kPidCount);
    for (int pid : {0x00, 0x01, 0x10, 0x11, 0x12, 0x14}) pids[pid].roles |= kRolePsi;
    patTracker = NewTracker(HealthCheck::Pat, 0, limits.patIntervalS, "PAT section");
    buckets.push_back({0, NAN});
    // Sync hunting looks this far ahead of a candidate sync byte.
    huntLookahead = static_cast<size_t>(std::max(limits.syncAcquirePackets, kDetectRun)) * 208 + 8;
    lossLookahead = static_cast<size_t>(limits.syncLossPackets) * 208 + 8;
  }

  HealthLimits limits;
  bool finished = false;
  StreamObserver* observer = nullptr;

  // ---- framing
  int packetSize = 0;       // 0 until detected
  bool locked = false;
  uint64_t base = 0;        // input offset of the next byte to process
  std::vector<uint8_t> carry;
  size_t huntLookahead = 0;
  size_t lossLookahead = 0;
  uint64_t bytesSkipped = 0;
  uint64_t truncatedTail = 0;
  bool everSynced = false;

  // ---- packets
  uint64_t packets = 0;
  std::vector<PidState> pids;
  std::vector<std::unique_ptr<SectionAssembler>> assemblers;
  std::array<HealthCheckResult, kHealthCheckCount> checks;
  std::vector<std::pair<size_t, size_t>> untimedOccurrences;  // (check, index)

  // ---- PSI
  std::map<int, ProgramInfo> programs;
  std::map<int, std::pair<std::string, std::string>> serviceNames;
  bool catSeen = false;
  bool scrambledSeen = false;
  Mark firstScrambled;
  int firstScrambledPid = 0;

  // ---- interval checks
  std::vector<IntervalTracker> trackers;
  std::vector<int> dirtyTrackers;
  int patTracker = -1;

  // ---- stream clock
  int timingPid = -1;
  bool haveAnchor = false;
  Mark anchor;
  double anchorTime = 0;
  Mark firstAnchor;
  double firstAnchorTime = 0;
  bool mapValid = false;
  TimeMap map;
  bool originSet = false;
  double origin = 0;
  Mark windowAnchor;
  double windowAnchorTime = 0;
  double recentBitrate = -1;

  // ---- PCR accuracy
  std::map<int, PcrAccuracyWindow> accuracy;
  uint64_t accuracyJudged = 0;
  uint64_t accuracyClose = 0;

  // ---- bitrate series
  std::vector<Bucket> buckets;
  uint64_t bucketWidth = 16;
  size_t firstUntimedBucket = 0;
  std::vector<std::vector<uint32_t>> seriesCounts;
  std::vector<int> seriesPids;

  int NewTracker(HealthCheck check, int pid, double limit, const char* what) {
    IntervalTracker t;
    t.check = check;
    t.pid = pid;
    t.limit = limit;
    t.what = what;
    trackers.push_back(t);
    return static_cast<int>(trackers.size()) - 1;
  }

  void TrackerAdd(int index, const Mark& mark) {
    IntervalTracker& t = trackers[static_cast<size_t>(index)];
    t.Add(mark);
    if (!t.dirty) {
      t.dirty = true;
      dirtyTrackers.push_back(index);
    }
  }

  template <typename Describe>
  void Report(HealthCheck check, const Mark& mark, int pid, Describe describe) {
    HealthCheckResult& result = checks[static_cast<size_t>(check)];
    ++result.count;
    if (result.first.size() >= limits.maxOccurrences) return;
    HealthOccurrence o;
    o.packetIndex = mark.packet;
    o.byteOffset = mark.offset;
    o.pid = pid;
    SetDescription(o, describe());
    if (mapValid && mark.packet <= anchor.packet && originSet) {
      o.timeS = map.At(mark.packet) - origin;
    } else {
      untimedOccurrences.emplace_back(static_cast<size_t>(check), result.first.size());
    }
    result.first.push_back(std::move(o));
  }

  // ---------------------------------------------------------------- framing

  uint64_t PacketOffset(uint64_t syncOffset) const {
    return packetSize == 192 ? (syncOffset >= 4 ? syncOffset - 4 : 0) : syncOffset;
  }

  // Sync bytes at `at`, at + stride, ... for `run` packets, within len.
  static bool Chain(const uint8_t* buf, size_t len, size_t at, int stride, int run) {
    for (int k = 0; k < run; ++k) {
      const size_t pos = at + static_cast<size_t>(k) * static_cast<size_t>(stride);
      if (pos >= len || buf[pos] != 0x47) return false;
    }
    return true;
  }

  // Sync bytes in a row at `stride` from `at`, up to `limit`.
  static int ChainLength(const uint8_t* buf, size_t len, size_t at, int stride, int limit) {
    int n = 0;
    while (n < limit && Chain(buf, len, at + static_cast<size_t>(n) * static_cast<size_t>(stride), stride, 1)) ++n;
    return n;
  }

  // The packet size and sync position at a 0x47 at `at`, or 0. Where several
  // sizes fit (a trailer full of 0x47 fits 204 inside 208 for a few
  // packets), the one whose run of sync bytes lasts longest wins. A 192-byte
  // stream whose 4-byte prefixes begin with 0x47 shows two runs four bytes
  // apart; the later one holds the sync bytes.
  int DetectAt(const uint8_t* buf, size_t len, size_t at, int run, size_t* syncAt) const {
    static constexpr int kSizes[] = {188, 204, 208, 192};
    int best = 0;
    int bestLength = 0;
    for (int size : kSizes) {
      if (packetSize != 0 && size != packetSize) continue;
      if (!Chain(buf, len, at, size, run)) continue;
      size_t sync = at;
      if (size == 192 && Chain(buf, len, at + 4, size, run)) sync = at + 4;
      const int length = ChainLength(buf, len, sync, size, kDetectRun);
      if (length > bestLength) {
        best = size;
        bestLength = length;
        *syncAt = sync;
      }
    }
    return best;
  }

  // Processes buf[0, len) (input offset `base`); returns the bytes consumed.
  // Unless `final`, stops where a decision needs bytes beyond len.
  size_t Process(const uint8_t* buf, size_t len, bool final) {
    size_t i = 0;
    while (i < len) {
      if (locked) {
        const size_t size = static_cast<size_t>(packetSize);
        // The hot path: whole packets with their sync byte.
        while (len - i >= kTsSize && buf[i] == 0x47 && (len - i >= size || final)) {
          AnalysePacket(buf + i, base + i);
          i += std::min(size, len - i);
        }
        if (i >= len) break;
        if (len - i < kTsSize) {
          if (!final) break;
          // A last packet cut short, or a few stray bytes.
          if (buf[i] == 0x47) truncatedTail += len - i;
          else bytesSkipped += len - i;
          i = len;
          break;
        }
        if (buf[i] == 0x47) break;  // whole packet not yet here
        // A bad sync byte: lost when the next ones are bad too.
        if (len - i < lossLookahead && !final) break;
        const Mark mark{packets, PacketOffset(base + i)};
        bool lost = true;
        for (int k = 1; k < limits.syncLossPackets; ++k) {
          const size_t next = i + static_cast<size_t>(k) * size;
          if (next < len && buf[next] == 0x47) {
            lost = false;
            break;
          }
        }
        if (!lost) {
          Report(HealthCheck::SyncByte, mark, -1, [&] {
            return Described{"sync byte %s instead of 0x47", {Hex2(buf[i])}};
          });
          const size_t skip = std::min(size, len - i);
          bytesSkipped += skip;
          i += skip;
          continue;
        }
        for (int k = 0; k < limits.syncLossPackets; ++k) {
          const size_t at = i + static_cast<size_t>(k) * size;
          const uint8_t value = at < len ? buf[at] : 0;
          Report(HealthCheck::SyncByte, {packets, PacketOffset(base + at)}, -1, [&] {
            return Described{"sync byte %s instead of 0x47", {Hex2(value)}};
          });
        }
        Report(HealthCheck::SyncLoss, mark, -1, [&] {
          return Described{"sync lost after %s bad sync bytes in a row", {std::to_string(limits.syncLossPackets)}};
        });
        locked = false;
        bytesSkipped += 1;
        i += 1;
        continue;
      }
      // Hunting for sync.
      const void* found = std::memchr(buf + i, 0x47, len - i);
      if (found == nullptr) {
        bytesSkipped += len - i;
        i = len;
        break;
      }
      const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - buf);
      bytesSkipped += at - i;
      i = at;
      if (len - i < huntLookahead && !final) break;
      int run = limits.syncAcquirePackets;
      size_t syncAt = i;
      int size = 0;
      if (!final || len - i >= huntLookahead) {
        size = DetectAt(buf, len, i, run, &syncAt);
      } else {
        // The end of the input: as many packets as are left, at least two.
        for (; run >= 2 && size == 0; --run) size = DetectAt(buf, len, i, run, &syncAt);
      }
      if (size == 0) {
        bytesSkipped += 1;
        i += 1;
        continue;
      }
      packetSize = size;
      bytesSkipped += syncAt - i;
      // The 4-byte prefix in front of the first sync byte belongs to the packet.
      if (size == 192 && base + syncAt >= 4) bytesSkipped -= std::min<uint64_t>(4, bytesSkipped);
      i = syncAt;
      locked = true;
      everSynced = true;
    }
    return i;
  }

  void Feed(const uint8_t* data, size_t size) {
    if (finished) return;
    while (size > 0 && !carry.empty()) {
      const size_t old = carry.size();
      const size_t take = std::min(size, kJoinBytes);
      carry.insert(carry.end(), data, data + take);
      const size_t consumed = Process(carry.data(), carry.size(), false);
      base += consumed;
      if (consumed >= old) {
        // Past the carried bytes: go on in the caller's buffer.
        const size_t skip = consumed - old;
        carry.clear();
        data += skip;
        size -= skip;
        break;
      }
      carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(consumed));
      data += take;
      size -= take;
    }
    if (size == 0) return;
    const size_t consumed = Process(data, size, false);
    base += consumed;
    carry.assign(data + consumed, data + size);
  }

  void Finish() {
    if (finished) return;
    const size_t consumed = Process(carry.data(), carry.size(), true);
    base += consumed;
    carry.clear();
    finished = true;
    if (mapValid) {
      // The tail after the last PCR is timed at the last PCR interval's rate.
      const double end = map.At(packets);
      ResolveTrackers(map, end);
      ResolveOccurrenceTimes(map);
    }
  }

  void MarkGap() {
    if (finished) return;
    if (!carry.empty()) {
      bytesSkipped += carry.size();
      base += carry.size();
      carry.clear();
    }
    locked = false;
    for (PidState& s : pids) {
      s.lastCc = -1;
      s.lastPayloadCc = -1;
      s.duplicateRun = 0;
      s.havePcr = false;
    }
    for (auto& a : assemblers)
      if (a) a->collecting = false;
    accuracy.clear();
  }

  // ---------------------------------------------------------------- packets

  void AnalysePacket(const uint8_t* p, uint64_t syncOffset) {
    const Mark mark{packets, PacketOffset(syncOffset)};
    if (packets - buckets.back().firstPacket >= bucketWidth) NextBucket();
    ++packets;
    const unsigned b1 = p[1];
    const unsigned b3 = p[3];
    const int pid = static_cast<int>(((b1 & 0x1F) << 8) | p[2]);
    PidState& s = pids[static_cast<size_t>(pid)];
    if (s.packets++ == 0) FirstPacketOf(pid, s);
    ++s.bucketPackets;
    const unsigned afc = (b3 >> 4) & 3;
    const bool tei = (b1 & 0x80) != 0;
    const unsigned scrambling = b3 >> 6;
    if (tei) {
      ++s.tei;
      Report(HealthCheck::Transport, mark, pid, [&] { return Described{"transport_error_indicator set", {}}; });
    }
    if (scrambling != 0) Scrambled(pid, s, mark, scrambling);

    bool discontinuity = false;
    size_t payloadStart = 4;
    if (afc & 2) {
      const unsigned length = p[4];
      payloadStart = 5 + length;
      if (length > 0 && length <= 183) {
        const unsigned flags = p[5];
        discontinuity = (flags & 0x80) != 0;
        if (discontinuity) ++s.discontinuities;
        if ((flags & 0x10) && length >= 7) Pcr(pid, s, p + 6, discontinuity, mark);
      }
    }
    Counter counter = Counter::Follows;
    if (pid != kNullPid) counter = Continuity(pid, s, b3 & 0x0F, (afc & 1) != 0, discontinuity, mark);
    const bool continuityBroken = counter == Counter::Broken;

    if (s.presenceTracker >= 0) TrackerAdd(s.presenceTracker, mark);
    // A duplicate repeats a payload already taken.
    if ((s.roles & (kRolePsi | kRolePts | kRoleEs)) && counter != Counter::Duplicate) {
      const bool payload = (afc & 1) && payloadStart < kTsSize;
      if (observer && (s.roles & kRoleEs) && payload && !tei && scrambling == 0)
        observer->OnEsPayload(pid, p + payloadStart, kTsSize - payloadStart, (b1 & 0x40) != 0, mark.offset);
      if (s.roles & kRolePsi) {
        SectionAssembler* a = assemblers[static_cast<size_t>(pid)].get();
        if (tei || scrambling != 0 || continuityBroken || !payload) {
          if (a && (tei || continuityBroken)) a->collecting = false;
        } else {
          Sections(pid, p + payloadStart, kTsSize - payloadStart, (b1 & 0x40) != 0, mark);
        }
      }
      if ((s.roles & kRolePts) && payload && (b1 & 0x40) && !tei && scrambling == 0)
        Pes(pid, s, p + payloadStart, kTsSize - payloadStart, mark);
    }
  }

  void FirstPacketOf(int pid, PidState& s) {
    if (seriesPids.size() >= limits.maxPidSeries) return;
    s.seriesSlot = static_cast<int32_t>(seriesPids.size());
    s.bucketPackets = 0;
    seriesPids.push_back(pid);
    seriesCounts.emplace_back(buckets.size(), 0);
  }

  void NextBucket() {
    for (size_t slot = 0; slot < seriesPids.size(); ++slot) {
      PidState& s = pids[static_cast<size_t>(seriesPids[slot])];
      seriesCounts[slot].back() = s.bucketPackets;
      s.bucketPackets = 0;
    }
    if (buckets.size() >= limits.maxSeriesPoints) {
      // Halve the resolution: merge neighbours.
      const size_t half = buckets.size() / 2;
      for (size_t k = 0; k < half; ++k) buckets[k] = buckets[2 * k];
      buckets.resize(half);
      for (auto& counts : seriesCounts) {
        for (size_t k = 0; k < half; ++k) counts[k] = counts[2 * k] + counts[2 * k + 1];
        counts.resize(half);
      }
      bucketWidth *= 2;
      firstUntimedBucket /= 2;
      while (firstUntimedBucket < buckets.size() && !std::isnan(buckets[firstUntimedBucket].time))
        ++firstUntimedBucket;
    }
    buckets.push_back({packets, NAN});
    for (auto& counts : seriesCounts) counts.push_back(0);
  }

  enum class Counter { Follows, Duplicate, Broken };

  Counter Continuity(int pid, PidState& s, int cc, bool payload, bool discontinuity, const Mark& mark) {
    if (discontinuity || s.lastCc < 0) {
      s.lastCc = static_cast<int8_t>(cc);
      s.lastPayloadCc = payload ? static_cast<int8_t>(cc) : -1;
      s.duplicateRun = 0;
      return Counter::Follows;
    }
    const int last = s.lastCc;
    if (payload) {
      if (cc == ((last + 1) & 0x0F)) {
        s.lastCc = static_cast<int8_t>(cc);
        s.lastPayloadCc = static_cast<int8_t>(cc);
        s.duplicateRun = 0;
        return Counter::Follows;
      }
      if (cc == last && s.lastPayloadCc == cc) {
        if (s.duplicateRun == 0) {
          s.duplicateRun = 1;
          ++s.duplicates;
          return Counter::Duplicate;
        }
        if (s.duplicateRun == 1) {
          s.duplicateRun = 2;
          ++s.ccErrors;
          Report(HealthCheck::Continuity, mark, pid, [&] {
            return Described{"PID %s: continuity_counter %s repeated more than once", {Hex4(pid), std::to_string(cc)}};
          });
        }
        return Counter::Duplicate;
      }
      ++s.ccErrors;
      Report(HealthCheck::Continuity, mark, pid, [&] {
        return Described{"PID %s: continuity_counter %s, expected %s",
                         {Hex4(pid), std::to_string(cc), std::to_string((last + 1) & 0x0F)}};
      });
      s.lastCc = static_cast<int8_t>(cc);
      s.lastPayloadCc = static_cast<int8_t>(cc);
      s.duplicateRun = 0;
      return Counter::Broken;
    }
    if (cc == last) return Counter::Follows;
    ++s.ccErrors;
    Report(HealthCheck::Continuity, mark, pid, [&] {
      return Described{"PID %s: continuity_counter %s on a packet without payload, expected %s",
                       {Hex4(pid), std::to_string(cc), std::to_string(last)}};
    });
    s.lastCc = static_cast<int8_t>(cc);
    s.lastPayloadCc = -1;
    s.duplicateRun = 0;
    return Counter::Broken;
  }

  void Scrambled(int pid, PidState& s, const Mark& mark, unsigned scrambling) {
    ++s.scrambled;
    if (!scrambledSeen) {
      scrambledSeen = true;
      firstScrambled = mark;
      firstScrambledPid = pid;
    }
    if (pid == 0) {
      Report(HealthCheck::Pat, mark, pid, [&] {
        return Described{"PID 0x0000: transport_scrambling_control %s", {std::to_string(scrambling)}};
      });
    } else if (s.roles & kRolePmt) {
      Report(HealthCheck::Pmt, mark, pid, [&] {
        return Described{"PMT PID %s: transport_scrambling_control %s", {Hex4(pid), std::to_string(scrambling)}};
      });
    }
  }

  // ---------------------------------------------------------------- PCR and the stream clock

  void Pcr(int pid, PidState& s, const uint8_t* f, bool discontinuity, const Mark& mark) {
    const uint64_t pcrBase = (uint64_t{f[0]} << 25) | (uint64_t{f[1]} << 17) | (uint64_t{f[2]} << 9) |
                             (uint64_t{f[3]} << 1) | (f[4] >> 7);
    const uint64_t pcr = pcrBase * 300 + (((f[4] & 1u) << 8) | f[5]) % 300;
    ++s.pcrCount;
    bool stepValid = false;
    double step = 0;
    if (s.havePcr) {
      const uint64_t forward = (pcr + kPcrModulus - s.lastPcr) % kPcrModulus;
      step = forward <= kPcrModulus / 2 ? forward / kPcrHz
                                        : -static_cast<double>(kPcrModulus - forward) / kPcrHz;
      if (discontinuity) {
        // Announced: nothing to judge across it.
      } else if (step < 0 || step > limits.pcrDiscontinuityS) {
        Report(HealthCheck::PcrDiscontinuity, mark, pid, [&] {
          return Described{"PID %s: PCR step of %s ms without discontinuity_indicator",
                           {Hex4(pid), Format("%.3f", step * 1e3)}};
        });
      } else {
        stepValid = true;
        if (step > limits.pcrIntervalS) {
          Report(HealthCheck::PcrRepetition, mark, pid, [&] {
            return Described{"PID %s: PCR interval %s ms", {Hex4(pid), Format("%.3f", step * 1e3)}};
          });
        }
        s.maxPcrInterval = std::max(s.maxPcrInterval, step);
      }
    }
    s.havePcr = true;
    s.lastPcr = pcr;
    if (stepValid) {
      s.pcrSeconds += step;
    } else {
      s.pcrSeconds = 0;
      accuracy.erase(pid);
    }
    Accuracy(pid, s.pcrSeconds, mark);
    if (timingPid < 0) timingPid = pid;
    if (pid == timingPid) ClockTick(mark, stepValid ? step : -1);
  }

  void Accuracy(int pid, double seconds, const Mark& mark) {
    PcrAccuracyWindow& w = accuracy[pid];
    const int slot = w.next;
    w.packet[slot] = static_cast<double>(mark.packet);
    w.seconds[slot] = seconds;
    w.packetIndex[slot] = mark.packet;
    w.offset[slot] = mark.offset;
    w.next = (w.next + 1) % kAccuracyWindow;
    if (w.count < kAccuracyWindow) ++w.count;
    if (w.count < kAccuracyWindow) return;
    // The oldest entry is at w.next; the middle one kAccuracyWindow / 2 later.
    const int middle = (w.next + kAccuracyWindow / 2) % kAccuracyWindow;
    const double x0 = w.packet[middle];
    const double y0 = w.seconds[middle];
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int k = 0; k < kAccuracyWindow; ++k) {
      const double x = w.packet[k] - x0;
      const double y = w.seconds[k] - y0;
      sx += x;
      sy += y;
      sxx += x * x;
      sxy += x * y;
    }
    const double n = kAccuracyWindow;
    const double denominator = n * sxx - sx * sx;
    if (denominator <= 0) return;
    const double slope = (n * sxy - sx * sy) / denominator;
    const double intercept = (sy - slope * sx) / n;
    const double error = -intercept;  // the middle PCR against the line at its position
    ++accuracyJudged;
    if (std::fabs(error) <= limits.pcrAccuracyS / 2) ++accuracyClose;
    if (std::fabs(error) > limits.pcrAccuracyS) {
      const Mark at{w.packetIndex[middle], w.offset[middle]};
      Report(HealthCheck::PcrAccuracy, at, pid, [&] {
        return Described{"PID %s: PCR off by %s ns", {Hex4(pid), Format("%.0f", error * 1e9)}};
      });
    }
  }

  // A PCR of the timing PID: `step` is its distance to the previous one in
  // seconds, or negative when the step cannot be trusted (discontinuity).
  void ClockTick(const Mark& mark, double step) {
    if (!haveAnchor) {
      haveAnchor = true;
      anchor = firstAnchor = windowAnchor = mark;
      anchorTime = firstAnchorTime = windowAnchorTime = 0;
      return;
    }
    if (mark.packet <= anchor.packet) return;
    const double packetsBetween = static_cast<double>(mark.packet - anchor.packet);
    bool trusted = step > 0;
    // A long step is believed when it keeps the rate within a factor of two.
    if (trusted && step > limits.pcrDiscontinuityS && mapValid) {
      const double ratio = step / packetsBetween / map.secondsPerPacket;
      trusted = ratio > 0.5 && ratio < 2;
    }
    double elapsed;
    if (trusted) {
      elapsed = step;
    } else if (mapValid) {
      elapsed = packetsBetween * map.secondsPerPacket;
    } else {
      // No rate yet: start the clock afresh here.
      anchor = firstAnchor = windowAnchor = mark;
      anchorTime = firstAnchorTime = windowAnchorTime = 0;
      return;
    }
    map = {anchor.packet, anchorTime, elapsed / packetsBetween};
    mapValid = true;
    anchor = mark;
    anchorTime += elapsed;
    if (!originSet) {
      origin = map.At(0);
      originSet = true;
    }
    if (anchorTime - windowAnchorTime >= 1.0) {
      recentBitrate = static_cast<double>(anchor.packet - windowAnchor.packet) * kBitsPerPacket /
                      (anchorTime - windowAnchorTime);
      windowAnchor = anchor;
      windowAnchorTime = anchorTime;
    }
    ResolveTrackers(map, anchorTime);
    ResolveOccurrenceTimes(map);
    while (firstUntimedBucket < buckets.size() &&
           buckets[firstUntimedBucket].firstPacket <= anchor.packet) {
      buckets[firstUntimedBucket].time = map.At(buckets[firstUntimedBucket].firstPacket);
      ++firstUntimedBucket;
    }
  }

  void ResolveOccurrenceTimes(const TimeMap& m) {
    for (auto [check, index] : untimedOccurrences)
      checks[check].first[index].timeS = m.At(checks[check].first[index].packetIndex) - origin;
    untimedOccurrences.clear();
  }

  void GapReport(const IntervalTracker& t, const Mark& at, double seconds, bool open) {
    Report(t.check, at, t.pid, [&] {
      const std::string what = t.what;
      return Described{open ? "PID %s: no " + what + " for more than %s s (limit %s s)"
                            : "PID %s: " + what + " %s s after the previous one (limit %s s)",
                       {Hex4(t.pid), Format("%.3f", seconds), Format("%.3f", t.limit)}};
    });
  }

  void ResolveTrackers(const TimeMap& m, double now) {
    for (int index : dirtyTrackers) {
      IntervalTracker& t = trackers[static_cast<size_t>(index)];
      t.dirty = false;
      if (!t.spanAny) continue;
      const double first = m.At(t.spanFirst.packet);
      if (t.haveLast && !t.openGapReported && first - t.lastTime > t.limit)
        GapReport(t, t.spanFirst, first - t.lastTime, false);
      if (t.gapPackets > 0) {
        const double gap = static_cast<double>(t.gapPackets) * m.secondsPerPacket;
        if (gap > t.limit) GapReport(t, t.gapTo, gap, false);
      }
      t.haveLast = true;
      t.lastTime = m.At(t.spanLast.packet);
      t.openGapReported = false;
      t.spanAny = false;
      t.gapPackets = 0;
    }
    dirtyTrackers.clear();
    for (IntervalTracker& t : trackers) {
      if (t.haveLast && !t.openGapReported && now - t.lastTime > t.limit) {
        t.openGapReported = true;
        GapReport(t, anchor, now - t.lastTime, true);
      }
    }
  }

  // ---------------------------------------------------------------- sections

  void Sections(int pid, const uint8_t* payload, size_t length, bool unitStart, const Mark& mark) {
    auto& slot = assemblers[static_cast<size_t>(pid)];
    if (!slot) slot = std::make_unique<SectionAssembler>();
    SectionAssembler& a = *slot;
    size_t pos = 0;
    if (unitStart) {
      const size_t pointer = payload[0];
      pos = 1;
      if (pos + pointer > length) {
        a.collecting = false;
        return;
      }
      if (a.collecting) Collect(pid, a, payload + pos, pointer);
      a.collecting = false;
      pos += pointer;
      // Sections starting in this packet.
      while (pos < length && payload[pos] != 0xFF) {
        if (length - pos < 3) {
          a.bytes.assign(payload + pos, payload + length);
          a.collecting = true;
          a.start = mark;
          return;
        }
        const size_t total = 3 + (((payload[pos + 1] & 0x0F) << 8) | payload[pos + 2]);
        if (total > kMaxSectionBytes) return;
        if (total <= length - pos) {
          Section(pid, payload + pos, total, mark);
          pos += total;
          continue;
        }
        a.bytes.assign(payload + pos, payload + length);
        a.collecting = true;
        a.start = mark;
        return;
      }
      return;
    }
    if (a.collecting) Collect(pid, a, payload, length);
  }

  // Appends to the section being collected and completes it when whole.
  void Collect(int pid, SectionAssembler& a, const uint8_t* data, size_t size) {
    a.bytes.insert(a.bytes.end(), data, data + size);
    if (a.bytes.size() < 3) return;
    const size_t total = 3 + (((a.bytes[1] & 0x0F) << 8) | a.bytes[2]);
    if (total > kMaxSectionBytes) {
      a.collecting = false;
      return;
    }
    if (a.bytes.size() >= total) {
      a.collecting = false;
      Section(pid, a.bytes.data(), total, a.start);
    }
  }

  bool CrcChecked(int pid, const uint8_t* section, size_t size, const Mark& mark) {
    if (size < 12 || CheckSectionCrc(section, static_cast<int>(size)) == 1) return size >= 12;
    Report(HealthCheck::Crc, mark, pid, [&] {
      return Described{"PID %s: table_id %s section with a wrong CRC_32", {Hex4(pid), Hex2(section[0])}};
    });
    return false;
  }

  void Section(int pid, const uint8_t* s, size_t size, const Mark& mark) {
    const int tableId = s[0];
    const bool longForm = size >= 3 && (s[1] & 0x80) != 0;
    if (observer && (!longForm || (size >= 12 && CheckSectionCrc(s, static_cast<int>(size)) == 1)))
      observer->OnSection(pid, s, size, mark.offset);
    if (pid == 0) {
      if (tableId != 0x00) {
        Report(HealthCheck::Pat, mark, pid, [&] {
          return Described{"PID 0x0000: section with table_id %s", {Hex2(tableId)}};
        });
        return;
      }
      TrackerAdd(patTracker, mark);
      if (CrcChecked(pid, s, size, mark)) Pat(s, size, mark);
      return;
    }
    if (pid == 1) {
      if (tableId != 0x01) {
        Report(HealthCheck::Cat, mark, pid, [&] {
          return Described{"PID 0x0001: section with table_id %s", {Hex2(tableId)}};
        });
        return;
      }
      if (CrcChecked(pid, s, size, mark)) catSeen = true;
      return;
    }
    PidState& state = pids[static_cast<size_t>(pid)];
    if ((state.roles & kRolePmt) && tableId == 0x02) {
      TrackerAdd(state.pmtTracker, mark);
      if (CrcChecked(pid, s, size, mark)) Pmt(s, size, mark);
      return;
    }
    if (!longForm && tableId != 0x73) return;
    bool checked = false;
    switch (pid) {
      case 0x10: checked = tableId == 0x40 || tableId == 0x41; break;
      case 0x11: checked = tableId == 0x42 || tableId == 0x46 || tableId == 0x4A; break;
      case 0x12: checked = tableId >= 0x4E && tableId <= 0x6F; break;
      case 0x14: checked = tableId == 0x73; break;
      default: break;
    }
    if (!checked) return;
    if (CrcChecked(pid, s, size, mark) && tableId == 0x42) Sdt(s, size);
  }

  void Pat(const uint8_t* s, size_t size, const Mark& mark) {
    for (size_t pos = 8; pos + 4 <= size - 4; pos += 4) {
      const int program = (s[pos] << 8) | s[pos + 1];
      const int pmtPid = ((s[pos + 2] & 0x1F) << 8) | s[pos + 3];
      if (program == 0) continue;  // the network PID
      auto it = programs.find(program);
      if (it == programs.end()) {
        if (programs.size() >= kMaxHealthPrograms) continue;
        it = programs.emplace(program, ProgramInfo{}).first;
        it->second.programNumber = program;
      }
      it->second.pmtPid = pmtPid;
      PidState& state = pids[static_cast<size_t>(pmtPid)];
      if (pmtPid < 0x10 || pmtPid == kNullPid) continue;  // never a PMT PID
      if (!(state.roles & kRolePmt)) {
        state.roles |= kRolePmt | kRolePsi;
        state.pmtTracker = NewTracker(HealthCheck::Pmt, pmtPid, limits.pmtIntervalS, "PMT section");
        TrackerAdd(state.pmtTracker, mark);
      }
    }
  }

  void Pmt(const uint8_t* s, size_t size, const Mark& mark) {
    const int program = (s[3] << 8) | s[4];
    auto it = programs.find(program);
    if (it == programs.end()) return;  // not in the PAT (yet)
    ProgramInfo& info = it->second;
    info.pcrPid = ((s[8] & 0x1F) << 8) | s[9];
    info.streams.clear();
    const size_t end = size - 4;
    size_t pos = 12 + (((s[10] & 0x0F) << 8) | s[11]);
    while (pos + 5 <= end) {
      const int type = s[pos];
      const int pid = ((s[pos + 1] & 0x1F) << 8) | s[pos + 2];
      const size_t infoLength = ((s[pos + 3] & 0x0F) << 8) | s[pos + 4];
      const size_t descriptors = pos + 5;
      const int available = static_cast<int>(std::min(infoLength, end - std::min(end, descriptors)));
      const PidKind kind = ClassifyStream(type, s + descriptors, available);
      info.streams.push_back({pid, type, kind});
      PidState& state = pids[static_cast<size_t>(pid)];
      state.roles |= kRoleEs;
      if (state.presenceTracker < 0) {
        state.presenceTracker = NewTracker(HealthCheck::Pid, pid, limits.pidTimeoutS, "packet");
        TrackerAdd(state.presenceTracker, mark);
      }
      if ((kind == PidKind::Video || kind == PidKind::Audio) && state.ptsTracker < 0) {
        state.roles |= kRolePts;
        state.ptsTracker = NewTracker(HealthCheck::Pts, pid, limits.ptsIntervalS, "PTS");
      }
      pos = descriptors + infoLength;
    }
    if (info.pcrPid != kNullPid) pids[static_cast<size_t>(info.pcrPid)].roles |= kRolePcr;
  }

  void Sdt(const uint8_t* s, size_t size) {
    const size_t end = size - 4;
    size_t pos = 11;
    while (pos + 5 <= end) {
      const int serviceId = (s[pos] << 8) | s[pos + 1];
      const size_t loop = ((s[pos + 3] & 0x0F) << 8) | s[pos + 4];
      size_t d = pos + 5;
      const size_t loopEnd = std::min(end, d + loop);
      while (d + 2 <= loopEnd) {
        const int tag = s[d];
        const size_t length = s[d + 1];
        if (d + 2 + length > loopEnd) break;
        if (tag == 0x48 && length >= 3) {
          const uint8_t* body = s + d + 2;
          const size_t providerLength = std::min<size_t>(body[1], length - 2);
          std::string provider(reinterpret_cast<const char*>(body + 2), providerLength);
          std::string name;
          if (2 + providerLength < length) {
            const size_t nameLength = std::min<size_t>(body[2 + providerLength], length - 3 - providerLength);
            name.assign(reinterpret_cast<const char*>(body + 3 + providerLength), nameLength);
          }
          if (serviceNames.size() < kMaxHealthPrograms || serviceNames.count(serviceId))
            serviceNames[serviceId] = {std::move(name), std::move(provider)};
        }
        d += 2 + length;
      }
      pos = pos + 5 + loop;
    }
  }

  // ---------------------------------------------------------------- PES

  void Pes(int pid, PidState& s, const uint8_t* payload, size_t length, const Mark& mark) {
    if (length < 9 || payload[0] != 0 || payload[1] != 0 || payload[2] != 1) return;
    const int streamId = payload[3];
    // Stream ids without the optional PES header (padding, private 2, ...).
    if (streamId == 0xBC || streamId == 0xBE || streamId == 0xBF || streamId == 0xF0 ||
        streamId == 0xF1 || streamId == 0xFF || streamId == 0xF2 || streamId == 0xF8)
      return;
    if ((payload[7] & 0x80) == 0) return;  // no PTS
    (void)pid;
    TrackerAdd(s.ptsTracker, mark);
  }

  // ---------------------------------------------------------------- result

  PidKind KindOf(int pid, int* program, int* streamType) const {
    *program = -1;
    *streamType = -1;
    switch (pid) {
      case 0x00: return PidKind::Pat;
      case 0x01: return PidKind::Cat;
      case 0x10: return PidKind::Nit;
      case 0x11: return PidKind::SdtBat;
      case 0x12: return PidKind::Eit;
      case 0x14: return PidKind::TdtTot;
      case kNullPid: return PidKind::Null;
      default: break;
    }
    const uint8_t roles = pids[static_cast<size_t>(pid)].roles;
    if (roles & kRolePmt) {
      for (const auto& [number, info] : programs)
        if (info.pmtPid == pid) {
          *program = number;
          return PidKind::Pmt;
        }
    }
    if (roles & kRoleEs) {
      for (const auto& [number, info] : programs)
        for (const ProgramStreamInfo& stream : info.streams)
          if (stream.pid == pid) {
            *program = number;
            *streamType = stream.streamType;
            return stream.kind;
          }
    }
    if (roles & kRolePcr) {
      for (const auto& [number, info] : programs)
        if (info.pcrPid == pid) {
          *program = number;
          return PidKind::Pcr;
        }
    }
    return PidKind::Unreferenced;
  }

  std::optional<double> MuxBitrate() const {
    if (!mapValid || anchorTime <= firstAnchorTime) return std::nullopt;
    return static_cast<double>(anchor.packet - firstAnchor.packet) * kBitsPerPacket /
           (anchorTime - firstAnchorTime);
  }

  HealthResult Snapshot() const {
    HealthResult r;
    r.packetSize = packetSize;
    r.packetSizeForced = limits.packetSize != 0;
    r.synced = locked;
    r.everSynced = everSynced;
    r.packets = packets;
    r.bytes = base + carry.size();
    r.bytesSkipped = bytesSkipped;
    r.truncatedTailBytes = truncatedTail;
    r.bitrateBps = MuxBitrate();
    if (r.bitrateBps && *r.bitrateBps > 0)
      r.durationS = static_cast<double>(packets) * kBitsPerPacket / *r.bitrateBps;
    if (recentBitrate >= 0) r.recentBitrateBps = recentBitrate;
    else r.recentBitrateBps = r.bitrateBps;
    r.pcrPid = timingPid;
    r.checks = checks;
    // Checks that need the stream clock.
    for (HealthCheck c : {HealthCheck::Pat, HealthCheck::Pmt, HealthCheck::Pid, HealthCheck::Pts}) {
      HealthCheckResult& result = r.checks[static_cast<size_t>(c)];
      // Errors that are not about timing (table_id, scrambling) still count.
      if (!mapValid && result.count == 0) result.evaluated = false;
    }
    bool anyPcr = timingPid >= 0;
    if (!anyPcr) {
      r.checks[static_cast<size_t>(HealthCheck::PcrRepetition)].evaluated = false;
      r.checks[static_cast<size_t>(HealthCheck::PcrDiscontinuity)].evaluated = false;
    }
    HealthCheckResult& accuracyResult = r.checks[static_cast<size_t>(HealthCheck::PcrAccuracy)];
    if (accuracyJudged == 0 || accuracyClose * 2 < accuracyJudged) {
      accuracyResult.evaluated = false;
      accuracyResult.count = 0;
      accuracyResult.first.clear();
    }
    if (scrambledSeen && !catSeen) {
      HealthCheckResult& cat = r.checks[static_cast<size_t>(HealthCheck::Cat)];
      ++cat.count;
      if (cat.first.size() < limits.maxOccurrences) {
        HealthOccurrence o;
        o.packetIndex = firstScrambled.packet;
        o.byteOffset = firstScrambled.offset;
        o.pid = firstScrambledPid;
        SetDescription(o, {"PID %s: scrambled packets but no CAT", {Hex4(firstScrambledPid)}});
        cat.first.push_back(std::move(o));
      }
    }
    if (mapValid && originSet) {
      for (HealthCheckResult& c : r.checks)
        for (HealthOccurrence& o : c.first)
          if (!o.timeS) o.timeS = map.At(o.packetIndex) - origin;
    }

    for (int pid = 0; pid < kPidCount; ++pid) {
      const PidState& s = pids[static_cast<size_t>(pid)];
      if (s.packets == 0) continue;
      PidStats p;
      p.pid = pid;
      p.packets = s.packets;
      p.ccErrors = s.ccErrors;
      p.duplicates = s.duplicates;
      p.teiPackets = s.tei;
      p.scrambledPackets = s.scrambled;
      p.discontinuities = s.discontinuities;
      p.pcrCount = s.pcrCount;
      if (s.maxPcrInterval >= 0) p.maxPcrIntervalS = s.maxPcrInterval;
      p.share = packets > 0 ? static_cast<double>(s.packets) / static_cast<double>(packets) : 0;
      if (r.bitrateBps) p.bitrateBps = *r.bitrateBps * p.share;
      p.kind = KindOf(pid, &p.program, &p.streamType);
      p.carries = DescribePidCarries(p.kind, p.program, p.streamType);
      r.pids.push_back(std::move(p));
    }
    for (const auto& [number, info] : programs) {
      ProgramInfo copy = info;
      auto names = serviceNames.find(number);
      if (names != serviceNames.end()) {
        copy.serviceNameBytes = names->second.first;
        copy.providerNameBytes = names->second.second;
      }
      r.programs.push_back(std::move(copy));
    }

    if (mapValid && originSet) {
      const double end = map.At(packets);
      r.bitrateSeries.reserve(buckets.size());
      std::vector<size_t> used;
      for (size_t k = 0; k < buckets.size(); ++k) {
        const uint64_t from = buckets[k].firstPacket;
        const uint64_t to = k + 1 < buckets.size() ? buckets[k + 1].firstPacket : packets;
        const double t0 = std::isnan(buckets[k].time) ? map.At(from) : buckets[k].time;
        double t1 = end;
        if (k + 1 < buckets.size())
          t1 = std::isnan(buckets[k + 1].time) ? map.At(to) : buckets[k + 1].time;
        if (to <= from || t1 <= t0) continue;
        BitratePoint point;
        point.timeS = t0 - origin;
        point.durationS = t1 - t0;
        point.firstPacket = from;
        point.bitrateBps = static_cast<double>(to - from) * kBitsPerPacket / (t1 - t0);
        r.bitrateSeries.push_back(point);
        used.push_back(k);
      }
      for (size_t slot = 0; slot < seriesPids.size(); ++slot) {
        PidBitrateSeries series;
        series.pid = seriesPids[slot];
        series.bitrateBps.reserve(used.size());
        for (size_t n = 0; n < used.size(); ++n) {
          // The current bucket's count is still with the PID.
          const uint32_t count = used[n] + 1 == buckets.size()
                                     ? pids[static_cast<size_t>(series.pid)].bucketPackets
                                     : seriesCounts[slot][used[n]];
          series.bitrateBps.push_back(count * kBitsPerPacket / r.bitrateSeries[n].durationS);
        }
        r.pidSeries.push_back(std::move(series));
      }
    }
    return r;
  }
};

StreamHealth::StreamHealth(const HealthLimits& limits) : impl_(std::make_unique<Impl>(limits)) {}
StreamHealth::~StreamHealth() = default;
void StreamHealth::Feed(const uint8_t* data, size_t size) { impl_->Feed(data, size); }
void StreamHealth::Finish() { impl_->Finish(); }
void StreamHealth::MarkGap() { impl_->MarkGap(); }
void StreamHealth::SetObserver(StreamObserver* observer) { impl_->observer = observer; }
void StreamHealth::AssembleSectionsOn(int pid) {
  if (pid >= 0 && pid < kPidCount) impl_->pids[static_cast<size_t>(pid)].roles |= kRolePsi;
}
HealthResult StreamHealth::Snapshot() const { return impl_->Snapshot(); }
uint64_t StreamHealth::BytesFed() const { return impl_->base + impl_->carry.size(); }
uint64_t StreamHealth::PacketsAnalysed() const { return impl_->packets; }
