// Reading a named pipe (or any input that is not a regular file) for the
// Stream Analysis window: opened without waiting for a writer and read with
// a short timeout, so that a cancel ends it even while no writer has come or
// a writer stays silent.
#pragma once

#include <string>

#include "analysis/health/health_file.h"

// Whether `path` names something other than a regular file or a folder
// (a named pipe, a character device); false when it cannot be looked at.
bool IsStreamingInput(const std::string& path);

// As AnalyseHealthFile for such an input: reads until its writers have gone,
// a read error or run->cancel (checked at least every `waitMs`).
HealthFileOutcome AnalyseHealthPipe(const std::string& path, const HealthLimits& limits, double publishIntervalS,
                                    HealthFileRun* run, int waitMs = 100);
