#include "analysis/health/health_pcr.h"

#include <cmath>

namespace health {

namespace {

constexpr double kPcrHz = 27e6;
constexpr uint64_t kPcrModulus = (uint64_t{1} << 33) * 300;  // base 33 bits x 300
// Stream time without a PCR of the followed PID after which another
// PCR_PID's PCRs tick the clock.
constexpr double kClockLapseS = 0.5;
// Steps a PID's steadiness is measured over (a running mean's weight)
// before another is compared with it.
constexpr uint32_t kSteadySteps = 16;
// A followed PID whose steps stray less than this from its rate is steady
// enough (PCRs within their +-500 ns stray by far less).
constexpr double kSteadyWobble = 1e-3;

}  // namespace

uint64_t DecodePcr(const uint8_t* f) {
  const uint64_t base = (uint64_t{f[0]} << 25) | (uint64_t{f[1]} << 17) | (uint64_t{f[2]} << 9) |
                        (uint64_t{f[3]} << 1) | (f[4] >> 7);
  return base * 300 + (((f[4] & 1u) << 8) | f[5]) % 300;
}

bool PcrChecks::OnPcr(int pid, const uint8_t* field, bool discontinuity, const Mark& mark) {
  PidPcr& s = pids_[static_cast<size_t>(pid)];
  const uint64_t pcr = DecodePcr(field);
  ++s.count;
  // Seconds since this PID's previous PCR, the wrap of the counter undone.
  bool stepKnown = s.have && !discontinuity;
  double step = 0;
  uint64_t forward = 0;
  if (stepKnown) {
    forward = (pcr + kPcrModulus - s.last) % kPcrModulus;
    step = forward <= kPcrModulus / 2 ? static_cast<double>(forward) / kPcrHz
                                      : -static_cast<double>(kPcrModulus - forward) / kPcrHz;
    if (step >= 0) s.maxInterval = std::max(s.maxInterval, step);
  }
  const uint64_t previousAxis = s.lastAxis;
  s.have = true;
  s.last = pcr;
  s.lastAxis = mark.offset;
  PidRole& role = context_.pids[static_cast<size_t>(pid)];
  if (!(role.roles & kRolePcr)) return false;  // shown, not judged

  const HealthLimits& limits = context_.limits;
  const bool continuous = stepKnown && step >= 0 && step <= limits.pcrDiscontinuityS;
  if (stepKnown && !continuous) {
    context_.board.Report(HealthCheck::PcrDiscontinuity, mark, pid, [&]() -> Described {
      return {"PID %s: PCR step of %s ms without discontinuity_indicator", {Hex4(pid), Format("%.3f", step * 1e3)}};
    });
  }
  role.pcrSeen = true;
  if (role.pcrTracker >= 0) context_.trackers.Event(role.pcrTracker, mark);

  if (!s.fit) {
    auto& fit = fits_[pid];
    fit = std::make_unique<PcrAccuracyFit>(pid, limits.pcrAccuracyS);
    s.fit = fit.get();
  }
  if (continuous) {
    s.runSeconds += step;
    s.runTicks += forward;
  } else {
    s.fit->Flush(context_.board, tally_);
    s.runSeconds = 0;
    s.runTicks = 0;
  }
  // Against the arrival time where the packets carry it, else the position.
  const uint64_t position = context_.arrivalClock ? context_.arrivalTicks : mark.offset;
  s.fit->Add(mark, position, s.runSeconds, s.runTicks, context_.board, tally_);

  if (context_.arrivalClock) return false;  // the arrival timestamps tick the clock
  if (continuous && step > 0 && mark.offset > previousAxis) {
    const double rate = step / static_cast<double>(mark.offset - previousAxis);
    if (s.steps == 0) s.rate = rate;
    s.rate += (rate - s.rate) / kSteadySteps;
    s.wobble += (std::fabs(rate - s.rate) / s.rate - s.wobble) / kSteadySteps;
    ++s.steps;
  }
  // The clock follows one PID. Each program's PCRs are a clock of their own,
  // which may run fast or jitter: rates taken from several in turn follow
  // none of them, and one bad encoder would mistime every other program's
  // checks. Another PID takes over when the followed one stops, or when its
  // PCRs jitter and this one's do not.
  if (pid == followedPid_) {
    followedAxis_ = mark.offset;
  } else if (followedPid_ >= 0 && !Steadier(pid) &&
             !(context_.clock.At(mark.offset) - context_.clock.At(followedAxis_) > kClockLapseS)) {
    return false;
  }
  const bool advanced =
      context_.clock.Tick(mark, stepKnown && step > 0 ? step : -1, previousAxis, limits.pcrDiscontinuityS);
  if (advanced) {
    followedPid_ = pid;
    followedAxis_ = mark.offset;
  }
  return advanced;
}

bool PcrChecks::Steadier(int pid) const {
  const PidPcr& candidate = pids_[static_cast<size_t>(pid)];
  const PidPcr& followed = pids_[static_cast<size_t>(followedPid_)];
  return candidate.steps >= kSteadySteps && followed.steps >= kSteadySteps && followed.wobble > kSteadyWobble &&
         candidate.wobble * 4 < followed.wobble;
}

void PcrChecks::EndRun(int pid) {
  auto it = fits_.find(pid);
  if (it != fits_.end()) it->second->Flush(context_.board, tally_);
  pids_[static_cast<size_t>(pid)].runSeconds = 0;
  pids_[static_cast<size_t>(pid)].runTicks = 0;
}

void PcrChecks::Gap() {
  for (auto& [pid, fit] : fits_) fit->Flush(context_.board, tally_);
  for (PidPcr& s : pids_) s.have = false;
  context_.clock.Gap();
}

void PcrChecks::AxisChanged() {
  for (auto& [pid, fit] : fits_) EndRun(pid);
}

void PcrChecks::Finish() {
  for (auto& [pid, fit] : fits_) fit->Flush(context_.board, tally_);
}

}  // namespace health
