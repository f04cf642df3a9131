// The journal: one line per request a box received, and for the DVB bridge
// one line per DVB call, appended to a file that tests and users read while
// the box runs.
#pragma once

#include <string>

// Appends `line` (which ends in '\n') with a single write on an O_APPEND
// descriptor, so lines never interleave and each is in the file before the
// caller goes on. A descriptor below 0 means no journal. false when the
// write failed (reported on stderr once per call).
bool AppendJournalLine(int journalFd, const std::string& line);
