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
  std::string reason;
  uint64_t bytesWritten = 0;
  uint64_t overruns = 0;            // backlogs the ring had overwritten (data lost)
  std::set<int> pids;               // the PIDs that passed
  int pmtPid = -1;
  uint32_t lockMs = 0;
};

class ServiceCapture {
public:
  // `progress` gets the bytes written so far, a few times a second.
  ServiceCaptureReport Run(const ServiceCaptureRequest& request, const std::function<void(uint64_t bytes)>& progress);
  void Cancel();  // thread-safe; Run returns within a second, the file keeps what it holds

private:
  std::atomic<bool> cancel_{false};
  std::mutex runMutex_;
  bool running_ = false;
};
