#include "capture/scan/service_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>

#include "capture/stream_ring_access.h"
#include "capture/stream_ring_feeder.h"

namespace {

constexpr size_t kPacket = 188;
constexpr int kNitPid = 0x10;
constexpr auto kPollInterval = std::chrono::milliseconds(4);
constexpr uint32_t kProgressMs = 250;

using Clock = std::chrono::steady_clock;

uint32_t MsSince(Clock::time_point start) {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

using DvbpsiHandle = std::unique_ptr<dvbpsi_t, void (*)(dvbpsi_t*)>;

DvbpsiHandle NewHandle() { return DvbpsiHandle(dvbpsi_new(nullptr, DVBPSI_MSG_NONE), dvbpsi_delete); }

// The ECM PIDs of CA descriptors (tag 0x09: CA_system_id, CA_PID).
void AddCaPids(const dvbpsi_descriptor_t* descriptor, std::set<int>* pids) {
  for (int n = 0; descriptor != nullptr && n < 256; descriptor = descriptor->p_next, ++n)
    if (descriptor->i_tag == 0x09 && descriptor->i_length >= 4)
      pids->insert(((descriptor->p_data[2] & 0x1F) << 8) | descriptor->p_data[3]);
}

}  // namespace

struct ServiceStreamFilter::Impl {
  int serviceId;
  std::set<int> siPids;
  DvbpsiHandle patDecoder = NewHandle();
  DvbpsiHandle pmtDecoder{nullptr, dvbpsi_delete};
  bool patSeen = false;
  bool serviceInPat = false;
  int transportStreamId = -1;
  int pmtPid = -1;
  int networkPid = -1;
  bool pmtSeen = false;
  std::set<int> servicePids;   // PCR, streams, ECMs (the PMT PID apart)
  std::vector<uint8_t> patPacket;  // the new PAT, one packet; empty until the PAT was read
  std::vector<uint8_t> patSection;
  int patVersion = -1;
  int patCc = 0;

  static void OnPat(void* data, dvbpsi_pat_t* pat) {
    static_cast<Impl*>(data)->LearnPat(pat);
    dvbpsi_pat_delete(pat);
  }
  static void OnPmt(void* data, dvbpsi_pmt_t* pmt) {
    static_cast<Impl*>(data)->LearnPmt(pmt);
    dvbpsi_pmt_delete(pmt);
  }

  void LearnPat(const dvbpsi_pat_t* pat) {
    if (!pat->b_current_next) return;
    patSeen = true;
    transportStreamId = pat->i_ts_id;
    int pmt = -1;
    networkPid = -1;
    int n = 0;
    for (const dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr && n < 65536; p = p->p_next, ++n) {
      if (p->i_number == serviceId) pmt = p->i_pid;
      if (p->i_number == 0) networkPid = p->i_pid;
    }
    serviceInPat = pmt >= 0;
    if (pmt != pmtPid) {
      pmtPid = pmt;
      pmtSeen = false;
      servicePids.clear();
      // A handle is deleted only without its decoder.
      if (pmtDecoder) dvbpsi_pmt_detach(pmtDecoder.get());
      pmtDecoder = pmt >= 0 ? NewHandle() : DvbpsiHandle(nullptr, dvbpsi_delete);
      if (pmtDecoder && !dvbpsi_pmt_attach(pmtDecoder.get(), static_cast<uint16_t>(serviceId), OnPmt, this))
        pmtDecoder.reset();
    }
    BuildPat();
  }

  void LearnPmt(const dvbpsi_pmt_t* pmt) {
    if (!pmt->b_current_next) return;
    servicePids.clear();
    if (pmt->i_pcr_pid != 0x1FFF) servicePids.insert(pmt->i_pcr_pid);
    AddCaPids(pmt->p_first_descriptor, &servicePids);
    int n = 0;
    for (const dvbpsi_pmt_es_t* es = pmt->p_first_es; es != nullptr && n < 8192; es = es->p_next, ++n) {
      servicePids.insert(es->i_pid);
      AddCaPids(es->p_first_descriptor, &servicePids);
    }
    servicePids.erase(0);
    servicePids.erase(pmtPid);
    pmtSeen = true;
  }

  // The PAT of the service alone (and the network PID when the NIT is kept);
  // its version moves on only when its own content changes.
  void BuildPat() {
    if (!serviceInPat) {
      patPacket.clear();
      return;
    }
    auto build = [&](int version) {
      dvbpsi_pat_t pat;
      dvbpsi_pat_init(&pat, static_cast<uint16_t>(transportStreamId), static_cast<uint8_t>(version), true);
      if (networkPid >= 0 && siPids.count(kNitPid)) dvbpsi_pat_program_add(&pat, 0, static_cast<uint16_t>(networkPid));
      dvbpsi_pat_program_add(&pat, static_cast<uint16_t>(serviceId), static_cast<uint16_t>(pmtPid));
      DvbpsiHandle generator = NewHandle();
      dvbpsi_psi_section_t* section = dvbpsi_pat_sections_generate(generator.get(), &pat, 253);
      dvbpsi_pat_empty(&pat);
      std::vector<uint8_t> bytes;
      if (section != nullptr) bytes.assign(section->p_data, section->p_data + section->i_length + 3);
      dvbpsi_DeletePSISections(section);
      return bytes;
    };
    // Compare with the version left as it was: only the content counts.
    std::vector<uint8_t> candidate = build(patVersion < 0 ? 0 : patVersion);
    if (patVersion < 0) {
      patVersion = 0;
    } else if (candidate != patSection) {
      patVersion = (patVersion + 1) % 32;
      candidate = build(patVersion);
    } else {
      return;
    }
    patSection = candidate;
    patPacket.assign(kPacket, 0xFF);
    patPacket[0] = 0x47;
    patPacket[1] = 0x40;  // payload_unit_start_indicator, PID 0
    patPacket[2] = 0x00;
    patPacket[4] = 0x00;  // pointer_field
    std::memcpy(patPacket.data() + 5, patSection.data(), std::min(patSection.size(), kPacket - 5));
  }
};

ServiceStreamFilter::ServiceStreamFilter(int serviceId, std::set<int> siPids) : impl_(std::make_unique<Impl>()) {
  impl_->serviceId = serviceId;
  impl_->siPids = std::move(siPids);
  impl_->siPids.erase(0);
  if (impl_->patDecoder) dvbpsi_pat_attach(impl_->patDecoder.get(), Impl::OnPat, impl_.get());
}

ServiceStreamFilter::~ServiceStreamFilter() {
  if (impl_->patDecoder) dvbpsi_pat_detach(impl_->patDecoder.get());
  if (impl_->pmtDecoder) dvbpsi_pmt_detach(impl_->pmtDecoder.get());
}

void ServiceStreamFilter::Push(const uint8_t* packet, std::vector<uint8_t>* out) {
  Impl& s = *impl_;
  const int pid = ((packet[1] & 0x1F) << 8) | packet[2];
  if (pid == 0) {
    // libdvbpsi reads but never writes the packet it is given.
    if (s.patDecoder) dvbpsi_packet_push(s.patDecoder.get(), const_cast<uint8_t*>(packet));
    // The new PAT goes where each PAT of the stream began.
    if ((packet[1] & 0x40) && !s.patPacket.empty()) {
      s.patPacket[3] = static_cast<uint8_t>(0x10 | (s.patCc & 0x0F));
      s.patCc = (s.patCc + 1) & 0x0F;
      out->insert(out->end(), s.patPacket.begin(), s.patPacket.end());
    }
    return;
  }
  bool keep = s.siPids.count(pid) > 0;
  if (pid == s.pmtPid && s.pmtPid > 0) {
    if (s.pmtDecoder) dvbpsi_packet_push(s.pmtDecoder.get(), const_cast<uint8_t*>(packet));
    keep = !s.patPacket.empty();
  } else if (s.pmtSeen && s.servicePids.count(pid)) {
    keep = true;
  }
  // Nothing before the first new PAT: the file starts with the service's PAT.
  if (keep && !s.patPacket.empty()) out->insert(out->end(), packet, packet + kPacket);
}

bool ServiceStreamFilter::ServiceFound() const { return impl_->serviceInPat && impl_->pmtSeen; }
bool ServiceStreamFilter::PatLacksService() const { return impl_->patSeen && !impl_->serviceInPat; }
int ServiceStreamFilter::PmtPid() const { return impl_->pmtPid; }

std::set<int> ServiceStreamFilter::Pids() const {
  std::set<int> pids = impl_->servicePids;
  if (impl_->pmtPid > 0) pids.insert(impl_->pmtPid);
  pids.insert(impl_->siPids.begin(), impl_->siPids.end());
  return pids;
}

const char* ServiceCaptureEndName(ServiceCaptureEnd end) {
  switch (end) {
    case ServiceCaptureEnd::Completed: return "completed";
    case ServiceCaptureEnd::Cancelled: return "cancelled";
    case ServiceCaptureEnd::NoLock: return "no_lock";
    case ServiceCaptureEnd::TuneFailed: return "tune_failed";
    case ServiceCaptureEnd::BoxFailed: return "box_failed";
    case ServiceCaptureEnd::NoService: return "no_service";
    case ServiceCaptureEnd::FileFailed: return "file_failed";
    case ServiceCaptureEnd::Stalled: return "stalled";
  }
  return "completed";
}

void ServiceCapture::Cancel() {
  cancel_.store(true);
  std::lock_guard<std::mutex> lock(runMutex_);
  if (running_) CancelTunerRequests();
}

namespace {

// Writes all of `bytes`, at most `room` of them; false with errno on failure.
bool WriteAll(int fd, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ServiceCaptureReport ServiceCapture::Run(const ServiceCaptureRequest& request,
                                         const std::function<void(uint64_t bytes)>& progress) {
  {
    std::lock_guard<std::mutex> lock(runMutex_);
    running_ = true;
    if (cancel_.load()) CancelTunerRequests();
  }
  ServiceCaptureReport report;
  auto finish = [&](ServiceCaptureEnd end, std::string reason) {
    report.end = end;
    report.reason = std::move(reason);
    std::lock_guard<std::mutex> lock(runMutex_);
    running_ = false;
    if (cancel_.load()) {
      report.end = ServiceCaptureEnd::Cancelled;
      if (report.reason.empty() || end != ServiceCaptureEnd::Completed) report.reason = "cancelled";
      ResumeTunerRequests();
      StopStream();
    }
    return report;
  };

  const ScanTransponder tuned = TuneAndWaitForLock(request.tuning, request.settings, cancel_);
  report.lockMs = tuned.lockMs;
  switch (tuned.outcome) {
    case ScanOutcome::Found: break;
    case ScanOutcome::NoLock: return finish(ServiceCaptureEnd::NoLock, tuned.reason);
    case ScanOutcome::TuneFailed: return finish(ServiceCaptureEnd::TuneFailed, tuned.reason);
    case ScanOutcome::Cancelled: return finish(ServiceCaptureEnd::Cancelled, tuned.reason);
    default: return finish(ServiceCaptureEnd::BoxFailed, tuned.reason);
  }

  const int fd = ::open(request.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return finish(ServiceCaptureEnd::FileFailed, "cannot create " + request.path + ": " + std::strerror(errno));
  SetPidFilter(0);
  uint8_t* ring = nullptr;
  size_t mapped = 0;
  const StreamLayout layout = GetStreamLayout(request.settings.model);
  if (!StartStream(&ring, &mapped) || ring == nullptr || mapped < layout.ringSize) {
    if (ring != nullptr) StopStream();
    ::close(fd);
    return finish(ServiceCaptureEnd::BoxFailed, "the box did not start its stream");
  }

  ServiceStreamFilter filter(request.serviceId, request.siPids);
  StreamRingFeeder feeder(ring, layout.ringSize);
  std::vector<uint8_t> pending;  // bytes up to the next whole packet
  std::vector<uint8_t> out;
  const auto take = [&](const uint8_t* data, size_t size) {
    pending.insert(pending.end(), data, data + size);
    size_t at = 0;
    while (pending.size() - at >= kPacket) {
      if (pending[at] != 0x47) {  // find the packets again
        ++at;
        continue;
      }
      filter.Push(pending.data() + at, &out);
      at += kPacket;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
  };
  const auto gap = [&] { pending.clear(); };

  const Clock::time_point start = Clock::now();
  Clock::time_point lastData = start;
  uint32_t lastProgress = 0;
  ServiceCaptureEnd end = ServiceCaptureEnd::Completed;
  std::string reason;
  for (;;) {
    if (cancel_.load()) break;
    const uint64_t before = feeder.received();
    if (!feeder.Poll(take, gap)) {
      if (!cancel_.load()) {
        end = ServiceCaptureEnd::BoxFailed;
        reason = "the box stopped answering the stream position request";
      }
      break;
    }
    if (feeder.received() != before) lastData = Clock::now();
    if (!out.empty()) {
      size_t size = out.size();
      bool full = false;
      if (request.maxBytes > 0 && report.bytesWritten + size >= request.maxBytes) {
        size = static_cast<size_t>(request.maxBytes - report.bytesWritten);
        full = true;
      }
      if (!WriteAll(fd, out.data(), size)) {
        end = ServiceCaptureEnd::FileFailed;
        reason = "cannot write " + request.path + ": " + std::strerror(errno);
        break;
      }
      report.bytesWritten += size;
      out.clear();
      if (full) break;
    }
    const uint32_t elapsed = MsSince(start);
    if (filter.PatLacksService()) {
      end = ServiceCaptureEnd::NoService;
      reason = "the PAT of this transponder does not list service " + std::to_string(request.serviceId);
      break;
    }
    if (!filter.ServiceFound() && elapsed >= request.serviceTimeoutMs) {
      end = ServiceCaptureEnd::NoService;
      reason = std::string(filter.PmtPid() < 0 ? "no PAT" : "no PMT of service " + std::to_string(request.serviceId)) +
               " within " + std::to_string(request.serviceTimeoutMs / 1000) + " s";
      break;
    }
    if (MsSince(lastData) >= request.stallLimitMs) {
      end = ServiceCaptureEnd::Stalled;
      reason = "the stream stalled for " + std::to_string(request.stallLimitMs / 1000) + " s";
      break;
    }
    if (request.seconds > 0 && elapsed >= request.seconds * 1000ull) break;
    if (progress && elapsed - lastProgress >= kProgressMs) {
      lastProgress = elapsed;
      progress(report.bytesWritten);
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  StopStream();
  report.overruns = feeder.overruns();
  report.pids = filter.Pids();
  report.pmtPid = filter.PmtPid();
  if (::close(fd) != 0 && end == ServiceCaptureEnd::Completed) {
    end = ServiceCaptureEnd::FileFailed;
    reason = "cannot write " + request.path + ": " + std::strerror(errno);
  }
  if (progress) progress(report.bytesWritten);
  return finish(end, reason);
}
