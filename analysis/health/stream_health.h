// Stream health: per-PID statistics and the ETSI TR 101 290 priority 1 and 2
// checks over a transport stream fed as byte buffers of any size (a file read
// in blocks, a pipe, a live ring). Feeding the same bytes in any split gives
// the same result. Memory stays bounded whatever the stream's length.
//
// Not thread-safe: one thread feeds the engine. Snapshot() returns a plain
// copyable HealthResult that another thread may keep and read; HealthFileRun
// (health_file.h) wraps both sides for a window that polls a worker.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Which service information the stream is meant to carry, for the priority 3
// checks: Auto decides from what the stream holds (DVB SI beyond a lone SDT,
// or a network PID: DVB; PSIP: ATSC; neither: no priority 3 verdict).
enum class SiStandard { Auto, Dvb, Atsc, None };

// The limits of the checks. Times are on the stream's own clock: the PCRs
// of the PIDs that the PMTs name as PCR_PID, against the byte position.
struct HealthLimits {
  SiStandard si = SiStandard::Auto;
  int packetSize = 0;                 // 0: detect; else 188, 192, 204 or 208
  double patIntervalS = 0.5;          // PAT_error: PID 0 sections at least this often
  double pmtIntervalS = 0.5;          // PMT_error: per PMT PID
  double pidTimeoutS = 5.0;           // PID_error: a video, audio or PCR PID absent this long
  double dataPidTimeoutS = 0;         // PID_error for subtitle, teletext and data PIDs; 0: not checked
  double pcrIntervalS = 0.040;        // PCR_repetition_error
  double pcrDiscontinuityS = 0.100;   // PCR steps outside 0..this without the indicator
  double pcrAccuracyS = 500e-9;       // PCR_accuracy_error, ± this
  double ptsIntervalS = 0.700;        // PTS_error: per video and audio PID
  // Priority 3 (DVB SI after TR 101 290 and TR 101 211; ATSC PSIP after A/65).
  double siMinIntervalS = 0.025;      // between two sections of one DVB sub-table (all SI tables)
  double nitIntervalS = 10;           // NIT_error: a NIT section on PID 0x0010 at least this often
  double nitOtherIntervalS = 10;      // NIT other, per sub-table once seen
  double batIntervalS = 10;           // SI_repetition_error: BAT, per sub-table once seen
  double sdtIntervalS = 2;            // SDT_error: SDT actual
  double sdtOtherIntervalS = 10;      // SDT other, per sub-table once seen
  double eitIntervalS = 2;            // EIT_error: EIT present/following actual
  double eitOtherIntervalS = 10;      // EIT present/following other, per sub-table once seen
  double eitScheduleIntervalS = 10;   // SI_repetition_error: EIT schedule of the first 8 days, per sub-table
  double eitScheduleLaterIntervalS = 30;  // and beyond them (table_ids 0x52-0x5F, 0x62-0x6F)
  double tdtIntervalS = 30;           // TDT_error: TDT; also the TOT's SI repetition
  double unreferencedPidS = 0.5;      // Unreferenced_PID: a PID no PSI names this long after its first packet
  double mgtIntervalS = 0.150;        // ATSC: MGT, for SI_repetition_error
  double vctIntervalS = 0.400;        // ATSC: TVCT and CVCT
  double sttIntervalS = 1.0;          // ATSC: STT
  int syncAcquirePackets = 5;         // good sync bytes in a row to gain sync
  int syncLossPackets = 2;            // bad sync bytes in a row to lose it
  size_t maxOccurrences = 100;        // first occurrences kept per check
  size_t maxSeriesPoints = 2048;      // bitrate series length before halving
  size_t maxPidSeries = 64;           // PIDs with a bitrate series of their own (first seen)
};

// The checks, priority 1, 2 then 3, in TR 101 290 order.
enum class HealthCheck {
  SyncLoss,          // 1.1
  SyncByte,          // 1.2
  Pat,               // 1.3
  Continuity,        // 1.4
  Pmt,               // 1.5
  Pid,               // 1.6
  Transport,         // 2.1
  Crc,               // 2.2
  PcrRepetition,     // 2.3a
  PcrDiscontinuity,  // 2.3b
  PcrAccuracy,       // 2.4
  Pts,               // 2.5
  Cat,               // 2.6
  Nit,               // 3.1
  SiRepetition,      // 3.2
  UnreferencedPid,   // 3.4
  Sdt,               // 3.5
  Eit,               // 3.6
  Rst,               // 3.7
  Tdt,               // 3.8
};
constexpr size_t kHealthCheckCount = 20;

struct HealthCheckInfo {
  const char* number;   // "1.1"
  const char* name;     // "TS_sync_loss"
  const char* key;      // "sync_loss" (JSON)
  int priority;         // 1, 2 or 3
};
const HealthCheckInfo& GetHealthCheckInfo(HealthCheck check);

struct HealthOccurrence {
  uint64_t packetIndex = 0;     // analysed packets before this one
  uint64_t byteOffset = 0;      // of the packet (or byte) in the input
  int pid = -1;                 // -1 when no PID applies
  std::optional<double> timeS;  // stream time since the first packet, when known
  std::string description;      // in English, as the reports give it
  // The description as an English template whose %s are filled in order with
  // descriptionValues (FillTemplate), so that a display can translate it.
  std::string descriptionTemplate;
  std::vector<std::string> descriptionValues;
};

struct HealthCheckResult {
  uint64_t count = 0;
  // false: the check could not be evaluated (no stream clock, or a stream not
  // constant-bitrate enough for the PCR accuracy); count is then meaningless.
  bool evaluated = true;
  // Why the check was not evaluated: an English template whose %s are filled
  // in order with notEvaluatedValues (FillTemplate). Empty when evaluated.
  std::string notEvaluatedTemplate;
  std::vector<std::string> notEvaluatedValues;
  std::vector<HealthOccurrence> first;  // at most HealthLimits::maxOccurrences
};

// How regularly one table (PID, table_id, table_id_extension, and for SDT and
// EIT the network) came, on the stream clock: intervals between the starts of
// consecutive sections.
struct SiTableRepetition {
  int pid = 0;
  int tableId = 0;
  int extension = -1;       // long-form sections
  int64_t network = -1;     // EIT: transport_stream_id << 16 | original_network_id; SDT: original_network_id
  uint64_t count = 0;       // sections
  uint64_t firstOffset = 0;
  uint64_t intervals = 0;   // timed intervals behind min/mean/max
  double minS = 0, meanS = 0, maxS = 0;
};

// The one-word outcome every display shows first.
enum class HealthVerdict {
  NoStream,      // no packet was ever framed: no verdict on the checks
  Errors,        // at least one evaluated check counted an error
  NotEvaluated,  // no error, but some checks could not be evaluated
  NoErrors,      // every check evaluated, none counted an error
};

// What a PID carries, as far as the PSI seen so far tells.
enum class PidKind { Unreferenced, Pat, Cat, Nit, SdtBat, Eit, TdtTot, Pmt, Video, Audio, Other, Pcr, Null };

struct PidStats {
  int pid = 0;
  uint64_t packets = 0;
  uint64_t ccErrors = 0;
  uint64_t duplicates = 0;
  uint64_t teiPackets = 0;
  uint64_t scrambledPackets = 0;
  uint64_t discontinuities = 0;      // discontinuity_indicator set
  uint64_t pcrCount = 0;
  std::optional<double> maxPcrIntervalS;
  std::optional<double> bitrateBps;  // share of the mux bitrate
  double share = 0;                  // of all analysed packets, 0..1
  PidKind kind = PidKind::Unreferenced;
  int program = -1;                  // first program referencing it (PMT, ES, PCR)
  int streamType = -1;               // stream_type for elementary streams
  std::string carries;               // one line: "PMT of program 1", "video of program 1 (stream_type 0x02)"
};

struct ProgramStreamInfo {
  int pid = 0;
  int streamType = 0;
  PidKind kind = PidKind::Other;
};

struct ProgramInfo {
  int programNumber = 0;
  int pmtPid = 0;
  int pcrPid = -1;                      // -1 until its PMT arrived
  std::vector<ProgramStreamInfo> streams;
  std::string serviceNameBytes;         // from the SDT actual, raw (first byte may select a table)
  std::string providerNameBytes;
};

struct BitratePoint {
  double timeS = 0;          // start of the interval, stream time
  double durationS = 0;
  uint64_t firstPacket = 0;
  double bitrateBps = 0;
};

struct PidBitrateSeries {
  int pid = 0;
  std::vector<double> bitrateBps;  // one per point of the mux series
};

// Where framing gained sync: the packet at byteOffset (its first byte, prefix
// included) is analysed packet number firstPacket. Packet numbers between two
// segments follow at the packet size, so a display numbers packets as the
// engine does.
struct SyncSegment {
  uint64_t byteOffset = 0;
  uint64_t firstPacket = 0;
};

struct HealthResult {
  int packetSize = 0;           // 0 while no sync was ever found
  bool packetSizeForced = false;
  bool synced = false;          // in sync at the end of what was fed
  bool everSynced = false;
  uint64_t packets = 0;         // analysed packets
  uint64_t bytes = 0;           // bytes fed
  uint64_t bytesSkipped = 0;    // outside analysed packets (garbage, bad sync bytes)
  uint64_t truncatedTailBytes = 0;  // a last packet cut short; not analysed
  std::optional<double> bitrateBps;  // mux bitrate from the first PCR PID; 188-byte packets
  std::optional<double> durationS;
  std::optional<double> recentBitrateBps;  // over about the last second of stream time
  int pcrPid = -1;              // the PID whose PCRs timed the stream last (others may have before)
  // The arrival timestamps of 192-byte packets timed the stream (every
  // packet carries one that moves forward plausibly); the PCRs are judged
  // against them.
  bool timedByArrival = false;
  std::vector<SyncSegment> syncSegments;  // in stream order; the first ones if very many
  std::vector<PidStats> pids;   // PIDs seen, ascending
  std::vector<ProgramInfo> programs;  // from the PAT and PMTs, ascending program number
  std::array<HealthCheckResult, kHealthCheckCount> checks;
  // The service information the priority 3 checks applied (Auto never):
  // None when neither DVB SI nor ATSC PSIP was found or asked for.
  SiStandard siStandard = SiStandard::None;
  std::vector<SiTableRepetition> siTables;  // every table seen, by PID, table_id, extension
  std::vector<BitratePoint> bitrateSeries;
  std::vector<PidBitrateSeries> pidSeries;
  bool partial = false;         // set by whoever stopped feeding early

  const HealthCheckResult& check(HealthCheck c) const { return checks[static_cast<size_t>(c)]; }
  // Errors over the evaluated priority 1 and 2 checks, how many have any, and
  // the verdict on them: priority 3 (service information) is judged apart.
  uint64_t TotalErrors() const;
  int ChecksWithErrors() const;
  HealthVerdict Verdict() const;
  // The same over the priority 3 checks; NotEvaluated when none applied.
  uint64_t SiTotalErrors() const;
  int SiChecksWithErrors() const;
  HealthVerdict SiVerdict() const;
  // The PIDs `program`'s PMT names that no packet came on, ascending: a data
  // or subtitle PID is not timed by PID_error (it may be silent for long),
  // but one that never came at all is worth a word beside the verdict. None
  // before the stream time read reaches PID_error's default limit (or while
  // it is unknown): in a shorter excerpt a PID may just not have come yet.
  std::vector<int> NeverSeenPids(const ProgramInfo& program) const;
};

// What the engine passes on to a reader of the tables and elementary streams
// (service information, codec headers). Called on the feeding thread, in
// stream order.
class StreamObserver {
public:
  virtual ~StreamObserver() = default;
  // A whole section on a PID whose sections are assembled (PSI and SI PIDs,
  // PMT PIDs, and those asked for with AssembleSectionsOn): long-form
  // sections only with a right CRC_32. Never from a packet with
  // transport_error_indicator set.
  virtual void OnSection(int pid, const uint8_t* section, size_t size, uint64_t byteOffset) = 0;
  // The payload of a packet of an elementary stream a PMT names, unscrambled,
  // without transport_error_indicator, not a duplicate.
  virtual void OnEsPayload(int pid, const uint8_t* payload, size_t size, bool unitStart,
                           uint64_t byteOffset) = 0;
  // The PIDs whose payloads OnEsPayload wants now, kept up to date by the
  // observer for as long as it is attached (asked once, when it is); null:
  // every elementary stream's. Lets the engine skip the call for the others.
  virtual const std::bitset<8192>* EsPayloadWanted() const { return nullptr; }
  // Whether OnEsPayload also wants, of every elementary stream, the payloads
  // that start a PES packet (its header, its timestamps); asked once with
  // EsPayloadWanted(). The continuing payloads of the others are not passed.
  virtual bool EsPesStartsWanted() const { return false; }
  // For EsPayloadWanted(): no PID's payloads beyond what EsPesStartsWanted() asks.
  static const std::bitset<8192>* NoEsPayloads() {
    static const std::bitset<8192> none;
    return &none;
  }
  // The stream time of a section passed to OnSection, once the stream clock
  // has passed it: once per section, in the order of OnSection. Sections of
  // a stream without a clock are never timed.
  virtual void OnSectionTime(uint64_t /*byteOffset*/, double /*timeS*/) {}
  // A PCR (27 MHz, as coded) on a PID that a PMT in force names as PCR_PID,
  // not from a duplicate or damaged packet; discontinuityIndicator is the
  // packet's discontinuity_indicator.
  virtual void OnPcr(int /*pid*/, uint64_t /*pcr27MHz*/, uint64_t /*byteOffset*/, bool /*discontinuityIndicator*/) {}
};

class StreamHealth {
public:
  explicit StreamHealth(const HealthLimits& limits = {});
  ~StreamHealth();
  StreamHealth(const StreamHealth&) = delete;
  StreamHealth& operator=(const StreamHealth&) = delete;

  // Feeds the next bytes of the stream.
  void Feed(const uint8_t* data, size_t size);
  // The input ends: a last partial packet is reported, open intervals closed.
  // Feeding after Finish is ignored.
  void Finish();
  // Bytes were lost between the previous Feed and the next (a ring overrun):
  // framing starts afresh and continuity is not judged across the gap.
  void MarkGap();
  // Passes sections and elementary stream payloads to `observer` (null: to
  // nobody). The observer outlives the feeding.
  void SetObserver(StreamObserver* observer);
  // Assembles the sections of `pid` from now on (a table another table names,
  // such as the ATSC tables the MGT lists).
  void AssembleSectionsOn(int pid);

  // The result so far (complete after Finish).
  HealthResult Snapshot() const;
  // Cheap counters for progress displays.
  uint64_t BytesFed() const;
  uint64_t PacketsAnalysed() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether a PMT's stream_type is video, or audio by itself (0x06 needs its
// descriptors; 0x86 is SCTE 35 cues, not audio).
bool IsVideoStreamType(int type);
bool IsAudioStreamType(int type);

// Text of a PID kind for `carries` ("video", "PMT", ...).
std::string DescribePidCarries(PidKind kind, int program, int streamType);
