#include "capture/dialogs/capture_progress_dlg.h"

#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimerEvent>
#include <cmath>

#include "ui/resources.h"
#include "ui/ui_thread.h"
#include "capture/capture_run.h"
#include "device/tuner_device.h"

CCaptureAnimation::CCaptureAnimation(QWidget* parent) : QWidget(parent) {}

void CCaptureAnimation::Play() {
  frame_ = 0;
  if (timerId_ == 0) timerId_ = startTimer(kFrameMilliseconds);
  update();
}

void CCaptureAnimation::Stop() {
  if (timerId_ != 0) killTimer(timerId_);
  timerId_ = 0;
}

void CCaptureAnimation::timerEvent(QTimerEvent* event) {
  if (event->timerId() != timerId_) {
    QWidget::timerEvent(event);
    return;
  }
  frame_ = (frame_ + 1) % kFrameCount;
  update();
}

void CCaptureAnimation::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal side = std::min(width(), height());
  painter.translate((width() - side) / 2, (height() - side) / 2);
  painter.scale(side / 32.0, side / 32.0);

  // The stand, then the dish on it, opening to the top right.
  const QColor metal(96, 104, 118);
  painter.setPen(QPen(metal, 2.0, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(9, 22), QPointF(9, 29));
  painter.drawLine(QPointF(4, 29.5), QPointF(14, 29.5));
  const QPointF centre(11, 20);
  painter.save();
  painter.translate(centre);
  painter.rotate(45);
  painter.setBrush(QColor(176, 184, 198));
  painter.setPen(QPen(metal, 1.2));
  painter.drawChord(QRectF(-10, -5, 20, 10), 180 * 16, 180 * 16);
  painter.drawLine(QPointF(0, 0), QPointF(0, -8));  // the feed arm
  painter.setBrush(metal);
  painter.drawEllipse(QPointF(0, -8), 1.4, 1.4);
  painter.restore();

  // Three waves come in from the top right and close in on the feed.
  const QPointF feed(centre.x() + 8 * 0.7071, centre.y() - 8 * 0.7071);
  painter.setBrush(Qt::NoBrush);
  for (int wave = 0; wave < 3; ++wave) {
    const qreal phase = ((frame_ * 3 + wave * kFrameCount) % (3 * kFrameCount)) / (3.0 * kFrameCount);
    const qreal radius = 12.5 - phase * 9.5;
    QColor colour(0, 120, 215);
    colour.setAlphaF(0.25 + 0.75 * phase);
    painter.setPen(QPen(colour, 1.8, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(feed.x() - radius, feed.y() - radius, 2 * radius, 2 * radius), 5 * 16, 80 * 16);
  }
}

CCaptureProgressDlg::CCaptureProgressDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {
  nCaptureProgress.store(0);
  bCaptureCancel.store(0);
  if (const std::optional<DialogResource> resource = LoadDialogResource(kResourceId)) {
    for (const ControlResource& control : resource->controls) {
      if (control.id != kAnimationId) continue;
      animation_ = new CCaptureAnimation(this);
      animation_->setObjectName(QString::number(kAnimationId));
      animation_->setGeometry(MapDialogRect(control.rect, BaseUnits()));
    }
  }
  if (auto* cancel = Item<QPushButton>(kCancelId))
    connect(cancel, &QPushButton::clicked, this, &CCaptureProgressDlg::OnCancel);
  // The dialog's only label (it has no control id).
  label_ = findChild<QLabel*>();
  if (label_) labelText_ = label_->text();
}

CCaptureProgressDlg::CCaptureProgressDlg(QWidget* parent, const ServiceCaptureRequest& request)
    : CCaptureProgressDlg(parent) {
  serviceCapture_ = std::make_unique<ServiceCapture>();
  serviceRequest_ = std::make_unique<ServiceCaptureRequest>(request);
}

QString CCaptureProgressDlg::StatusText() const { return label_ ? label_->text() : QString(); }

void CCaptureProgressDlg::ShowStall() {
  if (!label_) return;
  const uint32_t stalledMs = nCaptureStallMs.load();
  QString text = labelText_;
  if (stalledMs > 0)
    text = LoadResString(kStalledTextId).replace(QStringLiteral("%s"), QString::number(stalledMs / 1000));
  if (label_->text() != text) label_->setText(text);
}

CCaptureProgressDlg::~CCaptureProgressDlg() {
  if (worker_.joinable() && !workerFinished_.load() && !captureEnded_) {
    // Destroyed before the capture ended (its modal loop was quit): end the
    // capture rather than leave the worker without its dialog.
    bCaptureCancel.store(1);
    if (serviceCapture_) {
      serviceCapture_->Cancel();  // it resumes the requests itself
    } else {
      CancelTunerRequests();
      requestsCancelled_ = true;
    }
  }
  JoinWorker();
  ResumeRequestsIfCancelled();
}

void CCaptureProgressDlg::OnInitDialog() {
  if (animation_) animation_->Play();
  if (auto* bar = Item<QProgressBar>(kProgressId)) bar->setValue(0);
  hCaptureDone = std::make_shared<SyncEvent>(true);
  workerFinished_.store(false);
  worker_ = std::thread([this] {
    if (serviceCapture_) ServiceCaptureThreadProc(*serviceCapture_, *serviceRequest_);
    else CaptureThreadProc();
    workerFinished_.store(true);
  });
  timerId_ = startTimer(kTickMilliseconds);
}

void CCaptureProgressDlg::OnCancel() {
  bCaptureCancel.store(1);
  if (serviceCapture_) {
    // Ends a tune, a lock wait or the streaming loop within a second, and
    // resumes the box's requests when it returns.
    if (!captureEnded_) serviceCapture_->Cancel();
    return;
  }
  if (ticksSinceCancel_ < 0) ticksSinceCancel_ = 0;
  // A tune or a PAT probe does not look at the flag: end its requests now.
  if (!requestsCancelled_ && !captureEnded_ && nCaptureStage.load() != CaptureStage::Streaming &&
      nCaptureStage.load() != CaptureStage::Idle) {
    CancelTunerRequests();
    requestsCancelled_ = true;
  }
}

void CCaptureProgressDlg::done(int code) {
  if (!captureEnded_) return;  // Enter, Escape or a close request while the capture runs
  CResourceDialog::done(code);
}

void CCaptureProgressDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() == timerId_) Tick();
  else CResourceDialog::timerEvent(event);
}

void CCaptureProgressDlg::Tick() {
  if (auto* bar = Item<QProgressBar>(kProgressId); bar && bar->value() != nCaptureProgress.load())
    bar->setValue(nCaptureProgress.load());
  ShowStall();
  if (hCaptureDone && hCaptureDone->IsSignalled()) {
    hCaptureDone.reset();
    killTimer(timerId_);
    timerId_ = 0;
    if (animation_) animation_->Stop();
    ResumeRequestsIfCancelled();
    captureEnded_ = true;
    CResourceDialog::done(kIdOk);
    return;
  }
  if (ticksSinceCancel_ >= 0 && !requestsCancelled_ && ++ticksSinceCancel_ >= kCancelGraceTicks) {
    // Still inside a tune, a probe or a request that does not answer.
    CancelTunerRequests();
    requestsCancelled_ = true;
  }
}

void CCaptureProgressDlg::JoinWorker() {
  if (!worker_.joinable()) return;
  // The worker may be waiting for the UI thread to show its result.
  WaitPumpingUiCalls([this] { return workerFinished_.load(); });
  worker_.join();
}

void CCaptureProgressDlg::ResumeRequestsIfCancelled() {
  if (!requestsCancelled_) return;
  ResumeTunerRequests();
  requestsCancelled_ = false;
  // The capture's own stop request was refused while requests were
  // cancelled; the worker is done with the box, so stop the stream here or
  // the box would go on streaming.
  StopStream();
}
