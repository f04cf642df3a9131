// The tuning of one libdvbv5 file entry, shared by the plan reader and the
// channel file reader (internal to the scan library: it names libdvbv5's types).
#pragma once

#include <libdvbv5/dvb-file.h>

#include "capture/scan/scan_plan.h"

// false when the entry's delivery system belongs to another family than
// defaults.family, or it has no frequency.
bool ScanTuningFromDvbEntry(dvb_entry* entry, const ScanTuning& defaults, ScanTuning* tuning);
