// The file side of the analysis engine: choosing a recorded transport-stream
// file, reading it in 4 MiB blocks, finding the 188-byte packets and testing
// them against the search conditions. Plain global functions over
// process-wide state; one file and one analysis at a time. Int results are 1
// for success and 0 for failure.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int kPacketSize = 188;
constexpr int kBlockSize = 4 * 1024 * 1024;

// Search conditions: six pairs of (enable flag, value), in this order.
struct PacketFilterRecord {
  int32_t pidEnable, pid;
  int32_t payloadUnitStartEnable, payloadUnitStart;
  int32_t priorityEnable, priority;
  int32_t scramblingEnable, scrambling;
  int32_t adaptationEnable, adaptation;
  int32_t continuityEnable, continuity;
};

extern std::string strTsFileName;      // selected file; empty when none
extern FILE* pTsFile;                  // open for binary reading, or null
extern uint8_t BlockBuffer[kBlockSize];
extern int nBlockOffset;               // bytes of the block consumed; size of the next refill
// Bytes of BlockBuffer that hold file data: 4 MiB, less only for the final
// block of a file. Packets are looked for below this length.
extern int nBlockLength;
extern uint8_t* pbCursor;              // BlockBuffer + nBlockOffset, or null
extern uint8_t* pbCurrentPacket;       // packet last delivered by NextPacket
// Read by the search dialog's timer while the search worker writes it.
extern std::atomic<int> nPacketCount;
extern int bEndOfFile;
extern std::atomic<int> bAnalysing;    // an analysis command is running (shown by the view)
extern PacketFilterRecord PacketFilter;

// The header report of the packet last delivered by NextPacket: one line per
// header field, "\r\n" line ends; empty before the first packet. Built when
// read, so call it only while no worker is stepping through packets.
const std::string& PacketHeaderReport();

int SelectTsFile();
int OpenTsFile();
void CloseTsFile();
void RewindTsFile();
int ReadTsBlock();
int RestartTsFile();
int FirstPacket();
int ScanForSync(int& offset, uint8_t*& cursor);
int FindSync();
int NextPacket();
void BuildPacketHeaderReport();
int MatchPacketFilter();
void ClearAnalysisState();
void ResetAnalysis();
void SetAnalysingFlag(int analysing);
int GetAnalysingFlag();
void GetTsFileName(std::string& name);
