#include "analysis/si/si_collector.h"

#include <algorithm>
#include <cstring>

#include "analysis/engine/psi.h"

namespace {

constexpr int kRstPid = 0x13;
constexpr int kAtscBasePid = 0x1FFB;
constexpr int kSpliceInfoTable = 0xFC;
constexpr int kMgtTable = 0xC7;

uint32_t Crc32Field(const uint8_t* s, size_t size) {
  return (uint32_t{s[size - 4]} << 24) | (uint32_t{s[size - 3]} << 16) | (uint32_t{s[size - 2]} << 8) | s[size - 1];
}

// Short-form sections that still end in a CRC_32.
bool ShortFormWithCrc(int tableId) { return tableId == 0x73 || tableId == kSpliceInfoTable; }

}  // namespace

bool SiKeepsLatestCopy(int tableId) { return tableId == 0x70 || tableId == 0x71 || tableId == 0x73 || tableId == 0xCD; }

void SiIntervals::Add(uint64_t offset) {
  if (count == 0) {
    firstOffset = offset;
  } else {
    const uint64_t gap = offset - std::min(offset, lastOffset);
    if (count == 1 || gap < minBytes) minBytes = gap;
    if (gap > maxBytes) maxBytes = gap;
    sumBytes += gap;
  }
  lastOffset = offset;
  ++count;
}

void SiIntervals::AddTime(double timeS) {
  if (haveLastTime) {
    const double gap = timeS - lastTimeS;
    if (timedIntervals == 0 || gap < minS) minS = gap;
    if (timedIntervals == 0 || gap > maxS) maxS = gap;
    sumS += gap;
    ++timedIntervals;
  }
  haveLastTime = true;
  lastTimeS = timeS;
}

SiCollector::SiCollector(std::function<void(int pid)> assemble, const SiLimits& limits)
    : assemble_(std::move(assemble)), limits_(limits) {
  for (int pid : InitialSectionPids()) assembled_.insert(pid);
}

std::vector<int> SiCollector::InitialSectionPids() { return {kRstPid, kAtscBasePid}; }

void SiCollector::Assemble(int pid) {
  if (pid < 0 || pid > 0x1FFE || !assembled_.insert(pid).second) return;
  if (assemble_) assemble_(pid);
}

SiIntervals* SiCollector::NoteTable(const SiTableKey& table, uint64_t offset) {
  SiIntervals& intervals = tables_[table];
  intervals.Add(offset);
  tablesPerPid_[table.pid].insert(table.tableId);
  return &intervals;
}

void SiCollector::AwaitTime(uint64_t offset, SiIntervals* section, SiIntervals* table) {
  // Bounded for a stream whose clock never starts: the oldest stay untimed.
  constexpr size_t kMaxUntimed = 1u << 16;
  if (untimed_.size() >= kMaxUntimed) {
    const Untimed& dropped = untimed_.front();
    if (dropped.section) dropped.section->haveLastTime = false;
    dropped.table->haveLastTime = false;
    untimed_.pop_front();
  }
  untimed_.push_back({offset, section, table});
}

void SiCollector::OnSectionTime(uint64_t offset, double timeS) {
  // Every section of one packet has its time; one the engine could not time
  // breaks the chain of intervals rather than joining two.
  while (!untimed_.empty() && untimed_.front().offset <= offset) {
    const Untimed& u = untimed_.front();
    if (u.offset == offset) {
      if (u.section) u.section->AddTime(timeS);
      u.table->AddTime(timeS);
    } else {
      if (u.section) u.section->haveLastTime = false;
      u.table->haveLastTime = false;
    }
    untimed_.pop_front();
  }
}

bool SiCollector::Repeated(int pid, const uint8_t* s, size_t size, uint64_t offset) {
  if (last_.entries.empty()) return false;
  LastSection& last = last_.entries[static_cast<size_t>(pid)];
  if (!last.section) return false;
  const std::vector<uint8_t>& kept = last.section->bytes;
  if (kept.size() != size || std::memcmp(kept.data(), s, size) != 0) return false;
  ++sectionsSeen_;
  last.table->Add(offset);
  // Reading the same PMT again changes nothing unless a stream's format changed since.
  if (s[0] == 0x02 && last.learnedAt != probe_.Revision()) {
    LearnFromPmt(s, size);
    last.learnedAt = probe_.Revision();
  }
  last.section->repeats.Add(offset);
  AwaitTime(offset, &last.section->repeats, last.table);
  return true;
}

void SiCollector::RememberLast(int pid, SiSection& section, SiIntervals* table) {
  // Sections whose every copy is kept anew (the time tables) are not repeats.
  if (SiKeepsLatestCopy(section.tableId) || section.bytes.empty()) return;
  if (last_.entries.empty()) last_.entries.resize(8192);
  last_.entries[static_cast<size_t>(pid)] = {&section, table, probe_.Revision()};
}

void SiCollector::OnSection(int pid, const uint8_t* s, size_t size, uint64_t offset) {
  if (size < 3) return;
  if (pid >= 0 && pid < 8192 && Repeated(pid, s, size, offset)) return;
  ++sectionsSeen_;
  const int tableId = s[0];
  const bool longForm = (s[1] & 0x80) != 0;
  Key key{pid, tableId, -1, -1, -1, -1, 0};
  SiSection fresh;
  fresh.pid = pid;
  fresh.tableId = tableId;
  fresh.longForm = longForm;
  if (longForm) {
    if (size < 12) return;
    key.extension = fresh.extension = (s[3] << 8) | s[4];
    key.version = fresh.version = (s[5] >> 1) & 0x1F;
    fresh.current = (s[5] & 1) != 0;
    key.ahead = !fresh.current;
    key.sectionNumber = fresh.sectionNumber = s[6];
    fresh.lastSectionNumber = s[7];
    if (tableId >= 0x4E && tableId <= 0x6F && size >= 16)
      key.network = fresh.network = (int64_t{s[8]} << 24) | (int64_t{s[9]} << 16) | (s[10] << 8) | s[11];
    else if ((tableId == 0x42 || tableId == 0x46) && size >= 14)
      key.network = fresh.network = (s[8] << 8) | s[9];
  } else if (ShortFormWithCrc(tableId)) {
    fresh.crcValid = size >= 7 && CheckSectionCrc(s, static_cast<int>(size)) == 1;
    if (!fresh.crcValid) {
      ++badShortCrc_;
      return;  // a damaged section says nothing about the table
    }
    if (tableId == kSpliceInfoTable) key.content = Crc32Field(s, size);
  }
  SiIntervals* table = NoteTable(SiTableKey{pid, tableId, key.extension, key.network}, offset);
  if (tableId == 0x02) LearnFromPmt(s, size);
  if (tableId == kMgtTable && pid == kAtscBasePid) LearnFromMgt(s, size);

  auto it = sections_.find(key);
  if (it == sections_.end()) {
    if ((tableId == kSpliceInfoTable && spliceKept_[pid] >= limits_.maxSpliceSections) ||
        sections_.size() >= limits_.maxSections) {
      ++notKept_;
      AwaitTime(offset, nullptr, table);
      return;
    }
    const bool keepBytes = storedBytes_ + size <= limits_.maxStoredBytes;
    if (!keepBytes) ++notKept_;
    if (keepBytes) {
      fresh.bytes.assign(s, s + size);
      storedBytes_ += size;
      if (SiKeepsLatestCopy(tableId)) {
        fresh.firstBytes = fresh.bytes;
        storedBytes_ += size;
      }
    }
    if (tableId == kSpliceInfoTable) ++spliceKept_[pid];
    it = sections_.emplace(key, std::move(fresh)).first;
    ++revision_;
  } else if (SiKeepsLatestCopy(tableId)) {
    // The time moves on: the latest copy replaces the previous one.
    std::vector<uint8_t>& kept = it->second.bytes;
    if (kept.size() == size || storedBytes_ + size <= limits_.maxStoredBytes + kept.size()) {
      storedBytes_ = storedBytes_ - kept.size() + size;
      kept.assign(s, s + size);
      ++revision_;
    }
  } else {
    const std::vector<uint8_t>& kept = it->second.bytes;
    if (kept.size() >= 4 && size >= 4 && (kept.size() != size || Crc32Field(kept.data(), kept.size()) != Crc32Field(s, size)))
    {
      ++it->second.contentChanges;
      ++revision_;
    }
  }
  it->second.repeats.Add(offset);
  AwaitTime(offset, &it->second.repeats, table);
  if (pid >= 0 && pid < 8192) RememberLast(pid, it->second, table);
}

void SiCollector::OnEsPayload(int pid, const uint8_t* payload, size_t size, bool unitStart, uint64_t) {
  probe_.Payload(pid, payload, size, unitStart);
}

void SiCollector::LearnFromPmt(const uint8_t* s, size_t size) {
  if (size < 16) return;
  const size_t end = size - 4;
  size_t pos = 12 + (((s[10] & 0x0F) << 8) | s[11]);
  while (pos + 5 <= end) {
    const int type = s[pos];
    const int pid = ((s[pos + 1] & 0x1F) << 8) | s[pos + 2];
    const size_t length = ((s[pos + 3] & 0x0F) << 8) | s[pos + 4];
    const size_t loopEnd = std::min(end, pos + 5 + length);
    std::vector<int> tags;
    uint32_t registration = 0;
    for (size_t d = pos + 5; d + 2 <= loopEnd; d += 2 + s[d + 1]) {
      tags.push_back(s[d]);
      if (s[d] == 0x05 && s[d + 1] >= 4 && d + 6 <= loopEnd)
        registration = (uint32_t{s[d + 2]} << 24) | (uint32_t{s[d + 3]} << 16) | (uint32_t{s[d + 4]} << 8) | s[d + 5];
    }
    if (type == 0x86) Assemble(pid);  // SCTE-35 splice_info
    else probe_.SetFormat(pid, EsFormatFor(type, tags, registration));
    pos += 5 + length;
  }
}

void SiCollector::LearnFromMgt(const uint8_t* s, size_t size) {
  if (size < 17) return;
  const size_t end = size - 4;
  const int tables = (s[9] << 8) | s[10];
  size_t pos = 11;
  for (int i = 0; i < tables && pos + 11 <= end; ++i) {
    const int pid = ((s[pos + 2] & 0x1F) << 8) | s[pos + 3];
    Assemble(pid);
    pos += 11 + (((s[pos + 9] & 0x0F) << 8) | s[pos + 10]);
  }
}

std::unique_ptr<SiCollector> SiCollector::Copy() const {
  auto copy = std::make_unique<SiCollector>(*this);
  copy->assemble_ = nullptr;
  return copy;
}

std::vector<const SiSection*> SiCollector::Sections() const {
  std::vector<const SiSection*> out;
  out.reserve(sections_.size());
  for (const auto& [key, section] : sections_) out.push_back(&section);
  return out;
}
