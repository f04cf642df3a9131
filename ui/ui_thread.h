// Calls from worker threads into the user-interface thread, and the Qt
// versions of the platform's UI hooks (message box, open-file dialog).
#pragma once

#include <cstdint>
#include <functional>

// Runs fn on the UI thread and returns once it has run. On the UI thread
// (or before the application object exists) it runs fn at once.
void RunOnUiThread(const std::function<void()>& fn);

// Runs the calls that workers are blocked on right now. A UI-thread handler
// that waits for a worker must keep calling this, or a worker showing a
// message would wait for the UI thread while the UI thread waits for it.
void PumpUiCalls();

// Blocks the UI thread until done() returns true, running the workers' UI
// calls meanwhile.
void WaitPumpingUiCalls(const std::function<bool()>& done);

class QMessageBox;

// Message boxes captioned "VANTREL" with one OK button and the warning
// icon, their texts in the resource language; the open-file dialog; the
// translation of the system's English texts. Safe to call from worker threads.
void InstallQtUiHooks();

// Widens a message box so its caption shows whole and centres it on its
// owner (on the screen without one). Every message box of the program goes
// through this before it shows.
void FitMessageBox(QMessageBox& box);

// The CPU time the calling thread has used, in nanoseconds: what a piece of
// UI work cost, not inflated by other processes on a busy machine.
int64_t ThreadCpuNs();
