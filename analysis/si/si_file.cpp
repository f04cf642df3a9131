#include "analysis/si/si_file.h"

#include "analysis/si/si_run.h"

SiFileOutcome ReadServiceInformation(const std::string& path, const HealthLimits& limits, const SiFileOptions& options,
                                     HealthFileRun* run) {
  SiFileOutcome outcome;
  HealthFileOptions fileOptions = options;
  fileOptions.prepare = [&outcome, &options](StreamHealth& health) {
    if (options.prepare) options.prepare(health);
    // The collector names the PIDs it learns of (PMTs, EITs) while the engine runs.
    outcome.si = MakeSiCollector(health);
    health.SetObserver(outcome.si.get());
  };
  HealthFileOutcome read = AnalyseHealthFile(path, limits, fileOptions, run);
  outcome.opened = read.opened;
  outcome.error = std::move(read.error);
  outcome.readError = read.readError;
  outcome.health = std::move(read.result);
  return outcome;
}
