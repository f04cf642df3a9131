// Live capture: tune, probe for a PAT, copy the stream from the driver's ring
// into a file. Runs on the capture worker; the shared values below are how the
// progress display and its Cancel button talk to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "capture/capture_timings.h"
#include "device/tuner_device.h"
#include "platform/sync.h"

// Percent 0..100, written only by CaptureStreamToFile.
extern std::atomic<int> nCaptureProgress;
// Set to 1 to end the running capture at its next pass (result 0).
extern std::atomic<int> bCaptureCancel;
// Set by every write to the capture file, cleared by the capture watchdog.
extern std::atomic<int> bWriteActivity;
// Created (manual reset) by whoever starts CaptureThreadProc; the worker
// signals it once the capture has ended and before it reports the result.
extern std::shared_ptr<SyncEvent> hCaptureDone;

// Tune, probe (bus boxes), capture. Non-zero on success.
int RunCapture(const ChannelSettings& channel, const CaptureSettings& capture, const char* path);

// The ring-to-file loop: 1 for a completed capture, 0 for failure or cancel.
int CaptureStreamToFile(const CaptureSettings& capture, const char* path);

// Worker entry of one capture: copies the settings block (channel, limits,
// szCaptureFile), runs RunCapture, signals hCaptureDone (when set), then shows
// "Successful operation !" or "Operation fail !". Returns RunCapture's result.
int CaptureThreadProc();

// Ring length and the size of the chunks size-limited captures write, by
// model number.
struct StreamLayout {
  uint32_t ringSize;
  uint32_t chunkSize;
};
StreamLayout GetStreamLayout(int model);

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
// mount point + "/" + "Free space:N(MB)\r\n" with N the bytes available to
// the caller / 1,048,576. Pseudo file systems, read-only ones and those whose
// query fails are left out; a file system mounted twice is listed once.
std::string ListDriveFreeSpace();
// The same over a mount table in /proc/mounts format (for tests).
std::string ListDriveFreeSpace(const std::string& mountTablePath);
