// Live capture: tune, probe for a PAT, copy the stream from the driver's ring
// into a file. Runs on the capture worker; the shared values below are how the
// progress display and its Cancel button talk to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "capture/capture_timings.h"
#include "capture/stream_ring_access.h"
#include "device/tuner_device.h"
#include "platform/sync.h"


// Whether `path` names an existing file with something in it (a capture into
// it would replace its contents); false for a missing or empty file, and for
// folders, pipes and devices.
bool IsNonEmptyFile(const std::string& path);

// Percent 0..100, written only by CaptureStreamToFile.
extern std::atomic<int> nCaptureProgress;
// Set to 1 to end the running capture at its next pass (result 0).
extern std::atomic<int> bCaptureCancel;
// Set by every write to the capture file, cleared by the capture watchdog.
extern std::atomic<int> bWriteActivity;
// Created (manual reset) by whoever starts CaptureThreadProc; the worker
// signals it once the capture has ended and before it reports the result.
extern std::shared_ptr<SyncEvent> hCaptureDone;

// Milliseconds the stream has delivered nothing while a capture is streaming;
// 0 while data flows or before the first packet. Written only by the capture
// loop; the progress displays show a stall from kCaptureStallShownMs on.
extern std::atomic<uint32_t> nCaptureStallMs;
constexpr uint32_t kCaptureStallShownMs = 1000;
// A time-limited capture whose whole stream stalled longer than this fails:
// a live multiplex always carries its PAT (and every PMT) within 2 s, so a
// longer gap means the box or the signal stopped, and the file misses that
// time. A stream filtered to one PID may be sparse (a PMT or an SDT comes
// every 2 s at the least), so it is allowed longer gaps, and a filtered
// capture waits as long for its first packet.
constexpr uint32_t kCaptureStallFailMs = 2000;
constexpr uint32_t kCaptureStallFailOnePidMs = 5000;

// How long past its time limit a capture waits for a pipe (or device) to
// take more; a size-limited one waits a watchdog period.
constexpr uint32_t kCapturePipeGraceMs = 3000;

// How long the capture waits for the tuner to lock before its time limit
// starts; 0: the family's default (GetDefaultLockTimeoutMs). Set by the
// command line; the dialogs use the default.
extern std::atomic<uint32_t> nCaptureLockTimeoutMs;

// What the capture worker is doing, for Ctrl-C and Cancel: requests of a tune
// or a PAT probe are cancelled at once, the streaming loop ends by itself.
enum class CaptureStage : int { Idle, Tuning, Probing, Streaming };
extern std::atomic<CaptureStage> nCaptureStage;

// Why a capture ended as it did.
enum class CaptureEnd {
  Completed,         // its time or size limit was reached
  Cancelled,
  FileUnusable,      // the output file could not be created or locked (fileError)
  InUse,             // the box streams for another program (ownerPid)
  NotAnswering,      // a request got no answer within its limit (waitedMs)
  BoxGone,           // the box stopped answering or went away
  TuneRefused,       // the box did not accept the channel
  NoLnbLo,           // no LO of the LNB brings the frequency into the tuner's range
  NoLock,            // no lock within waitedMs
  NoPat,             // bus boxes: no PAT in the stream within waitedMs
  NoSync,            // no sync byte within waitedMs after the stream started
  NoPidPackets,      // filtered: no packet of the PID within waitedMs
  StreamRestarted,   // the box's stream started afresh under the capture
  WriteFailed,       // the file took no more bytes (fileError)
  PipeNotRead,       // the file (a pipe) took nothing for too long
  Stalled,           // the watchdog ended it, or it stalled longer than its limit
  DataLost,          // the capture could not keep up
};

// How the last capture went beyond its int result; complete once
// CaptureStreamToFile (or RunCapture) has returned.
struct CaptureReport {
  CaptureEnd end = CaptureEnd::Completed;
  std::string path;            // the output file
  bool fileCreated = false;    // the capture wrote to its file (emptying it first)
  bool fileRemoved = false;    // it created the file, wrote nothing and removed it again
  std::string fileError;       // why the file could not be used (translated)
  uint64_t bytesWritten = 0;   // bytes in the file
  uint64_t streamMs = 0;       // time from the first stream byte to the end
  uint64_t bytesLost = 0;      // stream bytes dropped unwritten (at least this many)
  uint32_t overruns = 0;       // backlogs dropped because the ring was about to overwrite them
  uint32_t longestStallMs = 0; // longest time without new stream data while streaming
  uint32_t stallLimitMs = kCaptureStallFailMs;  // the longest a time-limited capture may stall
  bool stalled = false;        // the watchdog ended it, or a time-limited capture stalled too long
  bool cancelled = false;
  uint32_t ownerPid = 0;       // InUse
  uint32_t waitedMs = 0;       // NotAnswering, NoLock, NoPat, NoSync, NoPidPackets
  int pid = 0;                 // NoPidPackets: the PID filtered
  int64_t frequency = 0;       // NoLnbLo: MHz
  std::string endText;         // a failure's own line (translated), said in place of the end's
};
CaptureReport GetLastCaptureReport();

// The result message of the worker: "Successful operation !" or
// "Operation fail !"; after a failure a line saying why, and lines saying how
// much was lost or how long the stream stalled when that happened; then what
// became of the file (where, how much and how long after a success). Each
// text translated.
std::string DescribeCaptureResult(int result, const CaptureReport& report);

// Tune, probe (bus boxes), capture. Non-zero on success.
int RunCapture(const ChannelSettings& channel, const CaptureSettings& capture, const char* path);

// The ring-to-file loop: 1 for a completed capture, 0 for failure or cancel.
int CaptureStreamToFile(const CaptureSettings& capture, const char* path);

// The part of CaptureStreamToFile after the stream has started: plans the
// chunks, creates the file, copies the ring into it until a limit, cancel or
// failure, closes it. Same result as CaptureStreamToFile; fills the report.
// The time limit runs from the first sync byte on. The file is emptied at its
// first write, so a capture that writes nothing leaves an earlier file as it
// was (and removes a file it created).
//
// The file holds whole packets: a capture that is cancelled, stopped or fails
// ends on a packet boundary (completing the last packet from the ring, or
// cutting it off), and after a dropped backlog it resumes at a packet
// boundary. A completed size-limited capture holds exactly the size asked and
// may end inside a packet.
int CopyStreamRingToFile(const CaptureSettings& capture, const StreamRingAccess& access,
                         const char* path);

// Worker entry of one capture: copies the settings block (channel, limits,
// szCaptureFile), runs RunCapture, signals hCaptureDone (when set), then shows
// DescribeCaptureResult's message. Returns RunCapture's result.
int CaptureThreadProc();

// The largest size limit every box can count in its 32-bit chunk number
// (4,096-byte chunks), and the largest time limit a settings word holds.
constexpr uint32_t kMaxCaptureMegabytes = 16777215;
constexpr uint32_t kMaxCaptureSeconds = 2147483647;

// A backlog larger than the ring less this margin may already be overwritten
// by the driver, so it is dropped rather than written.
constexpr uint32_t kRingSafetyMargin = 1024000;

// How a size-limited capture is cut into chunks: `count` chunks, the last of
// which holds `finalBytes` (chunk size when the total is a whole number of
// chunks). count is the nearest whole number of chunks, plus one when that
// falls short of the total.
struct ChunkPlan {
  uint32_t count;
  uint32_t finalBytes;
};
// false when the chunk count does not fit in 32 bits (or chunk is 0).
bool PlanCaptureChunks(uint64_t totalBytes, uint32_t chunk, ChunkPlan* plan);

// The proposed capture file name for a local time: "2005_03_14_09_05_07".
std::string FormatCaptureFileName(const std::tm& localTime);
// The same for the current local time.
std::string ProposeCaptureFileName();

// One line per mounted file system a user could capture to, each
// mount point + "/" + "Free space:N(MB)\r\n" (that template in the user's
// language, through TranslateText) with N the bytes available to
// the caller / 1,048,576. Pseudo file systems, read-only ones and those whose
// query fails are left out; a file system mounted twice is listed once.
std::string ListDriveFreeSpace();
// The same over a mount table in /proc/mounts format (for tests).
std::string ListDriveFreeSpace(const std::string& mountTablePath);
