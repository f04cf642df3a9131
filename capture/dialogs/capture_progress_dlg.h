// The capture progress popup (dialog 138): runs CaptureThreadProc on a worker
// thread, shows nCaptureProgress once a second and closes at the first tick
// after the worker has signalled hCaptureDone. The worker then reports the
// result itself ("Successful operation !" / "Operation fail !").
//
// Nothing but the end of the capture ends the popup: Enter, Escape and
// window-manager close requests are ignored until hCaptureDone has been seen,
// so the frame can never start a second capture beside a running one.
// "Cancel" raises bCaptureCancel; during tuning or the PAT probe the device
// requests are cancelled at once, and a capture loop that has not ended five
// seconds later is stuck in a device request, whose requests are cancelled.
// While the stream delivers nothing the label says so.
//
// In its service mode (from the Channel Scan dialog's "Capture this
// service...") the worker runs ServiceCaptureThreadProc instead: the box is
// tuned to the service's transponder and only that service goes into the
// file; Cancel ends it through ServiceCapture::Cancel.
#pragma once

#include <QLabel>
#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>

#include "capture/scan/service_capture.h"
#include "ui/resource_dialog.h"

// The looping animation of the popup: waves arriving at a dish, painted.
class CCaptureAnimation : public QWidget {
  Q_OBJECT

public:
  static constexpr int kFrameCount = 8;
  static constexpr int kFrameMilliseconds = 125;

  explicit CCaptureAnimation(QWidget* parent);
  void Play();
  void Stop();
  bool IsPlaying() const { return timerId_ != 0; }
  int Frame() const { return frame_; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

private:
  int frame_ = 0;
  int timerId_ = 0;
};

class CCaptureProgressDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 138;
  static constexpr int kAnimationId = 1030;
  static constexpr int kProgressId = 1049;
  static constexpr int kCancelId = 1052;
  static constexpr int kTickMilliseconds = 1000;
  // Ticks after "Cancel" before a worker still running has its requests cancelled.
  static constexpr int kCancelGraceTicks = 5;
  // String resource shown in place of the label while the stream stalls.
  static constexpr int kStalledTextId = 642;

  // Resets nCaptureProgress and bCaptureCancel. Owner: the main frame.
  explicit CCaptureProgressDlg(QWidget* parent);
  // The service mode.
  CCaptureProgressDlg(QWidget* parent, const ServiceCaptureRequest& request);
  // Waits for the worker (it is past the capture by then; it may still be
  // showing its result).
  ~CCaptureProgressDlg() override;

  void OnCancel();
  // Only the tick that sees hCaptureDone ends the dialog.
  void done(int code) override;

  bool CaptureEnded() const { return captureEnded_; }
  // The label's text as shown now.
  QString StatusText() const;
  CCaptureAnimation* Animation() const { return animation_; }

protected:
  void OnInitDialog() override;
  void timerEvent(QTimerEvent* event) override;

private:
  void Tick();
  void ShowStall();
  void JoinWorker();
  void ResumeRequestsIfCancelled();

  CCaptureAnimation* animation_ = nullptr;
  QLabel* label_ = nullptr;
  QString labelText_;
  std::thread worker_;
  std::atomic<bool> workerFinished_{false};
  bool captureEnded_ = false;
  int timerId_ = 0;
  int ticksSinceCancel_ = -1;  // -1: not cancelled
  bool requestsCancelled_ = false;
  // The service mode's capture and what it captures; null otherwise.
  std::unique_ptr<ServiceCapture> serviceCapture_;
  std::unique_ptr<ServiceCaptureRequest> serviceRequest_;
};
