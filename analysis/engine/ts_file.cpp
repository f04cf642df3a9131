#include "analysis/engine/ts_file.h"

#include <cstring>

#include "analysis/engine/psi.h"
#include "platform/files.h"
#include "platform/ui_hooks.h"

std::string strTsFileName;
FILE* pTsFile = nullptr;
uint8_t BlockBuffer[kBlockSize];
int nBlockOffset = 0;
int nBlockLength = 0;
uint8_t* pbCursor = nullptr;
uint8_t* pbCurrentPacket = nullptr;
std::atomic<int> nPacketCount{0};
int bEndOfFile = 0;
std::atomic<int> bAnalysing{0};
PacketFilterRecord PacketFilter;

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr const char* kTsFileFilter =
    "Data Files (*.DAT)|*.DAT|Transmission Stream (*.TS)|*.TS|All Files (*.*)|*.*||";
constexpr const char* kTsFileDefaultExtension = "*.DAT";

// The block now in BlockBuffer is the file's last, shorter one: the next
// refill ends the stream without trying to read.
bool bFinalBlockLoaded = false;

// The header report is built when read. NextPacket only keeps the four
// header bytes of the packet it delivers: a later refill may overwrite the
// packet in BlockBuffer before anyone reads the report.
uint8_t CurrentHeader[4];
bool bHeaderDelivered = false;
bool bReportStale = false;
std::string strPacketHeaderReport;

struct HeaderFields {
  unsigned syncByte, transportError, payloadUnitStart, priority, pid, scrambling, adaptation,
      continuity;
};

HeaderFields DecodeHeader(const uint8_t* packet) {
  return {packet[0],
          (packet[1] >> 7) & 1u,
          (packet[1] >> 6) & 1u,
          (packet[1] >> 5) & 1u,
          ((packet[1] & 0x1Fu) << 8) | packet[2],
          (packet[3] >> 6) & 3u,
          (packet[3] >> 4) & 3u,
          packet[3] & 0x0Fu};
}

void FormatHeaderReport(const uint8_t* header) {
  // Name left-aligned in 32, decimal right-aligned in 10, hex left-aligned in 10.
  char format[64];
  std::snprintf(format, sizeof format, "%%-%ds%%%du 0X%%-%dX\r\n", 32, 10, 10);
  HeaderFields fields = DecodeHeader(header);
  const struct {
    const char* name;
    unsigned value;
  } lines[] = {
      {"sync_byte", fields.syncByte},
      {"transport_error_indicator", fields.transportError},
      {"payload_unit_start_indicator", fields.payloadUnitStart},
      {"transport_priority", fields.priority},
      {"PID", fields.pid},
      {"transport_scrambling_control", fields.scrambling},
      {"adaptation_field_control", fields.adaptation},
      {"continuity_counter", fields.continuity},
  };
  strPacketHeaderReport.clear();
  char line[128];
  for (const auto& entry : lines) {
    std::snprintf(line, sizeof line, format, entry.name, entry.value, entry.value);
    strPacketHeaderReport += line;
  }
}

void EndStream() {
  pbCursor = nullptr;
  bEndOfFile = 1;
}

}  // namespace

int SelectTsFile() {
  std::string chosen;
  if (!AskOpenFileName(kTsFileFilter, kTsFileDefaultExtension, chosen)) return 0;
  ResetAnalysis();
  strTsFileName = chosen;
  return 1;
}

int OpenTsFile() {
  bEndOfFile = 0;
  if (strTsFileName.empty()) {
    ShowMessage("Must select a valid file !");
    if (!SelectTsFile()) return 0;
  }
  CloseTsFile();
  pTsFile = OpenFileStream(strTsFileName, "rb");
  if (!pTsFile) {
    ShowMessage("Open file failure !");
    return 0;
  }
  nBlockOffset = 0;
  // The old cursor belongs to the previous stream and no longer matches the
  // offset: nothing may be delivered until a block of this file is read.
  pbCursor = nullptr;
  nPacketCount.store(0, std::memory_order_relaxed);
  bFinalBlockLoaded = false;
  return 1;
}

void CloseTsFile() {
  if (pTsFile) std::fclose(pTsFile);
  pTsFile = nullptr;
}

void RewindTsFile() {
  if (!pTsFile) return;
  std::rewind(pTsFile);
  bFinalBlockLoaded = false;
}

int ReadTsBlock() {
  bEndOfFile = 0;
  if (!pTsFile) {
    EndStream();
    return 0;
  }
  // Running past the file's last block is the normal end of the stream.
  if (bFinalBlockLoaded) {
    bFinalBlockLoaded = false;
    EndStream();
    return 0;
  }
  // The unconsumed tail of a loaded block (a packet cut by the block end) is
  // carried to the front; the refill fills the rest of the block.
  int carried = 0;
  if (pbCursor && nBlockOffset > 0 && nBlockOffset < kBlockSize) {
    carried = kBlockSize - nBlockOffset;
    std::memmove(BlockBuffer, BlockBuffer + nBlockOffset, static_cast<size_t>(carried));
  } else {
    nBlockOffset = kBlockSize;
  }
  if (std::feof(pTsFile)) {
    EndStream();
    ShowMessage("Already reaching end-of-file !");
    return 0;
  }
  size_t requested = static_cast<size_t>(kBlockSize - carried);
  size_t got = std::fread(BlockBuffer + carried, 1, requested, pTsFile);
  if (got < requested) {
    // The file (or a read error) ends within this block: hand over the whole
    // packets it holds; the next refill ends the stream.
    size_t length = static_cast<size_t>(carried) + got;
    if (length < static_cast<size_t>(kPacketSize)) {
      EndStream();
      return 0;
    }
    bFinalBlockLoaded = true;
    nBlockLength = static_cast<int>(length);
  } else {
    nBlockLength = kBlockSize;
  }
  nBlockOffset = 0;
  pbCursor = BlockBuffer;
  return 1;
}

int RestartTsFile() {
  nBlockOffset = 0;
  nPacketCount.store(0, std::memory_order_relaxed);
  RewindTsFile();
  return ReadTsBlock();
}

int FirstPacket() {
  if (!RestartTsFile()) return 0;
  return NextPacket();
}

int ScanForSync(int& offset, uint8_t*& cursor) {
  if (!cursor || offset >= nBlockLength) return 0;
  const void* found = std::memchr(cursor, kSyncByte, static_cast<size_t>(nBlockLength - offset));
  int skipped = found ? static_cast<int>(static_cast<const uint8_t*>(found) - cursor)
                      : nBlockLength - offset;
  offset += skipped;
  cursor += skipped;
  return found != nullptr;
}

int FindSync() {
  // With no block loaded (or after the end) a refill decides; it reports a
  // read attempted at the end of the file.
  if (!pbCursor && !ReadTsBlock()) return 0;
  // Bounded: every refill either consumes new file bytes or ends the stream.
  for (;;) {
    ScanForSync(nBlockOffset, pbCursor);
    if (nBlockOffset + kPacketSize <= nBlockLength) return 1;
    ReadTsBlock();
    if (bEndOfFile) return 0;
  }
}

int NextPacket() {
  if (!pbCursor) return 0;
  // Packets normally follow each other back to back: take the next one
  // directly and search only when it is not there.
  if (nBlockOffset + kPacketSize > nBlockLength || *pbCursor != kSyncByte) {
    if (!FindSync()) return 0;
  }
  pbCurrentPacket = pbCursor;
  std::memcpy(CurrentHeader, pbCurrentPacket, sizeof CurrentHeader);
  bHeaderDelivered = true;
  bReportStale = true;
  nBlockOffset += kPacketSize;
  pbCursor += kPacketSize;
  nPacketCount.store(nPacketCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return 1;
}

void BuildPacketHeaderReport() {
  bReportStale = false;
  if (!bHeaderDelivered) {
    strPacketHeaderReport.clear();
    return;
  }
  FormatHeaderReport(CurrentHeader);
}

const std::string& PacketHeaderReport() {
  if (bReportStale || !bHeaderDelivered) BuildPacketHeaderReport();
  return strPacketHeaderReport;
}

int MatchPacketFilter() {
  if (!pbCurrentPacket) return 0;
  const uint8_t* packet = pbCurrentPacket;
  const PacketFilterRecord& filter = PacketFilter;
  // Decode only the fields that are conditions: this runs for every packet
  // of a search.
  if (filter.pidEnable && (((packet[1] & 0x1F) << 8) | packet[2]) != filter.pid) return 0;
  if (filter.payloadUnitStartEnable && ((packet[1] >> 6) & 1) != filter.payloadUnitStart) return 0;
  if (filter.priorityEnable && ((packet[1] >> 5) & 1) != filter.priority) return 0;
  if (filter.scramblingEnable && ((packet[3] >> 6) & 3) != filter.scrambling) return 0;
  if (filter.adaptationEnable && ((packet[3] >> 4) & 3) != filter.adaptation) return 0;
  if (filter.continuityEnable && (packet[3] & 0x0F) != filter.continuity) return 0;
  return 1;
}

void ClearAnalysisState() {
  std::memset(SectionBuffer, 0, sizeof SectionBuffer);
  PacketFilter = PacketFilterRecord{};
  bPatDone = 0;
  bPmtDone = 0;
  bSdtDone = 0;
  bSdtExists = 0;
  bProgramTableFull = 0;
  nProgramCount = 0;
  nBlockOffset = 0;
  nBlockLength = 0;
  bFinalBlockLoaded = false;
  // Callers close the file and free the list first; here they are only forgotten.
  pTsFile = nullptr;
  PatSectionList = nullptr;
  pbCursor = nullptr;
  strTsFileName.clear();
}

void ResetAnalysis() {
  DestroyPatSectionList();
  CloseTsFile();
  ClearAnalysisState();
}

void SetAnalysingFlag(int analysing) { bAnalysing.store(analysing); }

int GetAnalysingFlag() { return bAnalysing.load(); }

void GetTsFileName(std::string& name) { name = strTsFileName; }
