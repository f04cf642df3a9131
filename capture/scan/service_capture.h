// Capture by service: one service of the live multiplex into a file, as a
// single-program stream. The PID filter keeps the service's PMT, PCR,
// elementary streams and CA (ECM) PIDs, plus the SI PIDs asked for; the
// stream's PAT is replaced by one that lists that service only (its own
// version and continuity counter, CRC by libdvbpsi); every other packet
// passes byte-exact.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/capture_run.h"
#include "capture/scan/channel_scan.h"

class ServiceStreamFilter {
public:
  // siPids: the SI PIDs to keep (0x10 NIT, 0x11 SDT, 0x12 EIT, 0x14 TDT/TOT, ...).
  // With the NIT kept, the new PAT also names the network PID.
  ServiceStreamFilter(int serviceId, std::set<int> siPids);
  ~ServiceStreamFilter();
  ServiceStreamFilter(const ServiceStreamFilter&) = delete;
  ServiceStreamFilter& operator=(const ServiceStreamFilter&) = delete;

  // One 188-byte packet (sync byte first); what is kept of it is appended to *out.
  void Push(const uint8_t* packet, std::vector<uint8_t>* out);

  // The service's PMT has been read: its streams pass from now on.
  bool ServiceFound() const;
  // A PAT came that does not list the service.
  bool PatLacksService() const;
  int PmtPid() const;
  // The PIDs that pass besides the PAT.
  std::set<int> Pids() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The SI kept beside a service unless the user chooses: NIT, EIT, TDT/TOT.
// Not the SDT: it names every service of the multiplex, and players (ffprobe)
// would list the others as empty programs.
constexpr const char* kDefaultKeptSi = "nit,eit,tdt";
// A comma list of cat, nit, sdt, eit, rst, tdt and none as the SI PIDs to
// keep; false with the unknown name in *error.
bool ParseKeptSiTables(const std::string& text, std::set<int>* pids, std::string* error);

struct ServiceCaptureRequest {
  ScanTuning tuning;
  ScanSettings settings;             // family, model, base channel, LNB, lock time
  int serviceId = 0;
  std::set<int> siPids;
  std::string path;
  uint32_t seconds = 0;              // time limit from the stream's first byte; 0: none
  uint64_t maxBytes = 0;             // size limit; 0: none
  uint32_t serviceTimeoutMs = 6000;  // for the PAT and the service's PMT
  uint32_t stallLimitMs = 5000;      // no stream data this long ends the capture
};

enum class ServiceCaptureEnd { Completed, Cancelled, NoLock, TuneFailed, BoxFailed, NoService, FileFailed, Stalled };
const char* ServiceCaptureEndName(ServiceCaptureEnd end);

struct ServiceCaptureReport {
  ServiceCaptureEnd end = ServiceCaptureEnd::Completed;
  ScanReasons reason;
  uint64_t bytesWritten = 0;
  uint64_t overruns = 0;            // backlogs the ring had overwritten (data lost)
  uint64_t bytesLost = 0;           // stream bytes those backlogs held
  uint64_t streamMs = 0;            // from the stream's start to the end
  std::set<int> pids;               // the PIDs that passed
  int pmtPid = -1;
  uint32_t lockMs = 0;
  bool fileOpened = false;          // the file was created (or emptied)
};

class ServiceCapture {
public:
  // `progress` gets the bytes written so far and the time since the stream
  // started, a few times a second while streaming.
  using ProgressFn = std::function<void(uint64_t bytes, uint32_t streamMs)>;
  ServiceCaptureReport Run(const ServiceCaptureRequest& request, const ProgressFn& progress);
  void Cancel();  // thread-safe; Run returns within a second, the file keeps what it holds

private:
  std::atomic<bool> cancel_{false};
  std::mutex runMutex_;
  bool running_ = false;
};

// The service mode of the capture progress dialog: its worker runs this in
// place of CaptureThreadProc, with the same shared values (nCaptureStage,
// nCaptureProgress from the request's time or size limit, hCaptureDone
// signalled at the end) and the same result message, shown through
// ShowMessage. The dialog's Cancel calls capture.Cancel(). Non-zero on success.
int ServiceCaptureThreadProc(ServiceCapture& capture, const ServiceCaptureRequest& request);

// The whole-stream capture's report of a capture by service, for
// DescribeCaptureResult: the end, what the file holds, the reason translated.
CaptureReport ServiceCaptureResult(const ServiceCaptureReport& report, const std::string& path);
