// Process-wide state of the application shell that dialogs of other
// subsystems read.
#pragma once

#include <atomic>

// Which analysis the wait popup's worker runs: 1 PAT, 2 PMT, 4 SDT. Written
// by the analysis commands just before the popup opens.
extern std::atomic<int> nAnalysisKind;
constexpr int kAnalysisPat = 1;
constexpr int kAnalysisPmt = 2;
constexpr int kAnalysisSdt = 4;

// 1 while the satellite settings dialog is reopened after "LNB Setup"; it
// then restores its fields from the temporary profile section.
extern int bBackFromLnbSetup;

// Set by a dialog's worker when a device request to the open box failed (a
// box unplugged, or not answering); the next device command of the frame
// then closes and reopens the box instead of trusting the open handles.
extern std::atomic<int> bDeviceRequestFailed;
