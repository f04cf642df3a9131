#include "capture/dialogs/channel_scan_dlg.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "capture/dialogs/capture_progress_dlg.h"
#include "capture/scan/channel_file.h"
#include "capture/scan/scan_json.h"
#include "platform/ui_hooks.h"

namespace {

QString Tr(const char* english) { return QString::fromStdString(TranslateText(english)); }
QString Fill(const char* english, std::initializer_list<std::string> values) {
  return QString::fromStdString(TranslateAndFill(english, values));
}

QString FamilyText(TunerFamily family) {
  switch (family) {
    case TunerFamily::Satellite: return Tr("Satellite");
    case TunerFamily::Cable: return Tr("Cable");
    case TunerFamily::Terrestrial: return Tr("Terrestrial");
    case TunerFamily::None: break;
  }
  return Tr("None");
}

QString OutcomeText(ScanOutcome outcome) {
  switch (outcome) {
    case ScanOutcome::Found: return Tr("Found");
    case ScanOutcome::NoLock: return Tr("No lock");
    case ScanOutcome::NoTables: return Tr("No tables");
    case ScanOutcome::TuneFailed: return Tr("Tune failed");
    case ScanOutcome::BoxFailed: return Tr("Box failed");
    case ScanOutcome::Cancelled: return Tr("Cancelled");
  }
  return {};
}

// A text bar for the tables: ten cells, filled by the percentage.
QString SignalBar(const std::optional<int>& percent) {
  if (!percent) return QStringLiteral("-");
  const int value = std::clamp(*percent, 0, 100);
  return QString(value / 10, QChar(0x2588)) + QString(10 - value / 10, QChar(0x2591)) + QStringLiteral(" %1").arg(value);
}

const char* PlanFolder(TunerFamily family) {
  switch (family) {
    case TunerFamily::Satellite: return "/usr/share/dvb/dvb-s";
    case TunerFamily::Cable: return "/usr/share/dvb/dvb-c";
    default: return "/usr/share/dvb/dvb-t";
  }
}

QTableWidget* NewTable(QWidget* parent, int id, const QStringList& headers) {
  auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  table->setObjectName(QString::number(id));
  table->setHorizontalHeaderLabels(headers);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->verticalHeader()->hide();
  table->setWordWrap(false);
  table->horizontalHeader()->setStretchLastSection(true);
  return table;
}

template <class T>
T* Named(T* widget, int id) {
  widget->setObjectName(QString::number(id));
  return widget;
}

}  // namespace

CChannelScanDlg::CChannelScanDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QString::number(kIdChannelScanDlg));
  setWindowTitle(Tr("Channel Scan"));
  const int model = GetTunerModel();
  settings_.model = model;
  settings_.family = GetTunerFamily(model);
  switch (settings_.family) {
    case TunerFamily::Satellite: FillDstRecords(LoadDstSettings(false), &settings_.baseChannel, &settings_.capture); break;
    case TunerFamily::Cable: FillDctRecords(LoadDctSettings(), &settings_.baseChannel, &settings_.capture); break;
    default: FillDttRecords(LoadDttSettings(), &settings_.baseChannel, &settings_.capture); break;
  }
  defaults_ = TuningForChannel(settings_.family, settings_.baseChannel);

  auto* layout = new QVBoxLayout(this);
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(Tr("Box family:"), this), 0, 0);
  family_ = Named(new QLabel(FamilyText(settings_.family), this), kIdScanFamily);
  grid->addWidget(family_, 0, 1);
  auto* planLabel = new QLabel(Tr("&Plan file:"), this);
  plan_ = Named(new QLineEdit(this), kIdScanPlan);
  planLabel->setBuddy(plan_);
  browse_ = Named(new QPushButton(Tr("&Browse..."), this), kIdScanBrowse);
  grid->addWidget(planLabel, 1, 0);
  grid->addWidget(plan_, 1, 1);
  grid->addWidget(browse_, 1, 2);
  network_ = Named(new QCheckBox(Tr("&Follow the NIT to other transponders"), this), kIdScanNetwork);
  grid->addWidget(network_, 2, 1);
  layout->addLayout(grid);

  progress_ = Named(new QProgressBar(this), kIdScanProgress);
  progress_->setRange(0, 1);
  progress_->setValue(0);
  status_ = Named(new QLabel(Tr("Choose a plan file and press Start."), this), kIdScanStatus);
  layout->addWidget(progress_);
  layout->addWidget(status_);
  auto* signal = new QGridLayout;
  strength_ = Named(new QProgressBar(this), kIdScanStrength);
  quality_ = Named(new QProgressBar(this), kIdScanQuality);
  for (QProgressBar* bar : {strength_, quality_}) {
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setFormat(QStringLiteral("%v %"));
  }
  signal->addWidget(new QLabel(Tr("Strength"), this), 0, 0);
  signal->addWidget(strength_, 0, 1);
  signal->addWidget(new QLabel(Tr("Quality"), this), 1, 0);
  signal->addWidget(quality_, 1, 1);
  layout->addLayout(signal);

  transponders_ = NewTable(this, kIdScanTransponders,
                           {Tr("Frequency"), Tr("Result"), Tr("Strength"), Tr("Quality"), Tr("Services"), Tr("Reason")});
  services_ = NewTable(this, kIdScanServices,
                       {Tr("Frequency"), Tr("Service ID"), Tr("LCN"), Tr("Name"), Tr("Provider"), Tr("Type"), Tr("PIDs")});
  layout->addWidget(transponders_, 2);
  layout->addWidget(services_, 3);

  captureService_ = Named(new QPushButton(Tr("&Capture this service..."), this), kIdScanCaptureService);
  captureServiceAction_ = new QAction(Tr("&Capture this service..."), services_);
  services_->addAction(captureServiceAction_);
  services_->setContextMenuPolicy(Qt::ActionsContextMenu);
  services_->setSelectionMode(QAbstractItemView::SingleSelection);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(captureService_);
  start_ = Named(new QPushButton(Tr("&Start"), this), kIdScanStart);
  cancel_ = Named(new QPushButton(Tr("Cancel"), this), kIdScanCancel);
  save_ = Named(new QPushButton(Tr("Sa&ve..."), this), kIdScanSave);
  auto* close = Named(new QPushButton(Tr("C&lose"), this), kIdScanClose);
  buttons->addStretch();
  for (QPushButton* b : {start_, cancel_, save_, close}) buttons->addWidget(b);
  layout->addLayout(buttons);
  start_->setDefault(true);

  connect(start_, &QPushButton::clicked, this, [this] { StartScan(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { CancelScan(); });
  connect(save_, &QPushButton::clicked, this, [this] { OnSave(); });
  connect(close, &QPushButton::clicked, this, [this] { reject(); });
  connect(browse_, &QPushButton::clicked, this, [this] { OnBrowse(); });
  connect(captureService_, &QPushButton::clicked, this, [this] { OnCaptureService(); });
  connect(captureServiceAction_, &QAction::triggered, this, [this] { OnCaptureService(); });
  connect(services_, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
  resize(760, 560);
  UpdateButtons();
}

CChannelScanDlg::~CChannelScanDlg() {
  CancelScan();
  JoinWorker();
}

void CChannelScanDlg::JoinWorker() {
  if (worker_.joinable()) worker_.join();
  delete scan_;
  scan_ = nullptr;
}

QString CChannelScanDlg::StatusText() const { return status_->text(); }

void CChannelScanDlg::UpdateButtons() {
  const bool scanning = Scanning();
  start_->setEnabled(!scanning && settings_.family != TunerFamily::None);
  cancel_->setEnabled(scanning);
  save_->setEnabled(!scanning && result_.ServiceCount() > 0);
  plan_->setEnabled(!scanning);
  browse_->setEnabled(!scanning);
  network_->setEnabled(!scanning);
  const int row = services_->currentRow();
  const bool serviceChosen = !scanning && row >= 0 && row < static_cast<int>(serviceRows_.size()) &&
                             !services_->selectedItems().isEmpty();
  captureService_->setEnabled(serviceChosen);
  captureServiceAction_->setEnabled(serviceChosen);
}

bool CChannelScanDlg::StartScan() {
  if (Scanning()) return false;
  JoinWorker();
  std::vector<ScanTuning> plan;
  int skipped = 0;
  std::string error;
  if (settings_.family == TunerFamily::None) {
    status_->setText(Tr("No tuner box of a known family is open."));
    return false;
  }
  if (!ReadScanPlanFile(plan_->text().toStdString(), defaults_, &plan, &skipped, &error)) {
    status_->setText(Fill("The plan cannot be used: %s", {error}));
    return false;
  }
  settings_.followNetwork = network_->isChecked();
  result_ = ScanResult{};
  transponders_->setRowCount(0);
  services_->setRowCount(0);
  serviceRows_.clear();
  progress_->setRange(0, static_cast<int>(plan.size()));
  progress_->setValue(0);
  finished_.store(false);
  scan_ = new ChannelScan;
  ChannelScan* scan = scan_;
  const ScanSettings settings = settings_;
  worker_ = std::thread([this, scan, plan, settings] {
    const ScanResult result = scan->Run(plan, settings, [this](const ScanProgress& progress) {
      // The entry's result is copied here: the scan's own copy may move on.
      std::optional<ScanTransponder> finished;
      if (progress.finished) finished = *progress.finished;
      ScanProgress copy = progress;
      copy.finished = nullptr;
      PostUpdate([this, copy, finished] { ShowProgress(copy, finished ? &*finished : nullptr); });
    });
    finished_.store(true);
    PostUpdate([this, result] { Finish(result); });
  });
  UpdateButtons();
  cancel_->setFocus();
  return true;
}

void CChannelScanDlg::PostUpdate(std::function<void()> update) {
  {
    std::lock_guard<std::mutex> lock(updatesLock_);
    updates_.push_back(std::move(update));
  }
  QMetaObject::invokeMethod(this, "RunPostedUpdates", Qt::QueuedConnection);
}

// One update per queued call, as each was posted: an update may end the
// dialog, and Qt drops the calls still queued for it.
void CChannelScanDlg::RunPostedUpdates() {
  std::function<void()> update;
  {
    std::lock_guard<std::mutex> lock(updatesLock_);
    if (updates_.empty()) return;
    update = std::move(updates_.front());
    updates_.pop_front();
  }
  update();
}

void CChannelScanDlg::CancelScan() {
  if (scan_ != nullptr && !finished_.load()) {
    scan_->Cancel();
    status_->setText(Tr("Stopping the scan..."));
  }
}

void CChannelScanDlg::ShowProgress(const ScanProgress& progress, const ScanTransponder* finished) {
  progress_->setMaximum(static_cast<int>(progress.total));
  const std::string where = progress.tuning.Text();
  const std::string counter = std::to_string(progress.index + 1) + "/" + std::to_string(progress.total);
  switch (progress.stage) {
    case ScanStage::Tuning:
      status_->setText(Fill("Tuning %s and waiting for lock (%s)...", {where, counter}));
      break;
    case ScanStage::Tables:
      status_->setText(Fill("Reading the tables of %s (%s)...", {where, counter}));
      break;
    case ScanStage::Done:
      progress_->setValue(static_cast<int>(progress.index + 1));
      if (finished) AddTransponder(*finished);
      break;
  }
  strength_->setValue(progress.strength.value_or(0));
  quality_->setValue(progress.quality.value_or(0));
}

void CChannelScanDlg::AddTransponder(const ScanTransponder& t) {
  const int row = transponders_->rowCount();
  transponders_->insertRow(row);
  const QString frequency = QString::fromStdString(t.tuning.Text());
  const QStringList cells = {frequency,
                             OutcomeText(t.outcome),
                             SignalBar(t.strength),
                             SignalBar(t.quality),
                             QString::number(t.services.size()),
                             QString::fromStdString(t.reason.Translated())};
  for (int column = 0; column < cells.size(); ++column)
    transponders_->setItem(row, column, new QTableWidgetItem(cells[column]));
  for (const ScanService& s : t.services) {
    const int at = services_->rowCount();
    services_->insertRow(at);
    serviceRows_.push_back({t.tuning, s.serviceId});
    QString pids = QStringLiteral("PMT %1").arg(s.pmtPid);
    for (const ScanStream& stream : s.streams) pids += QStringLiteral(" %1").arg(stream.pid);
    const std::string channelNumber = ScanChannelNumber(s);
    const QString number = channelNumber.empty() ? QStringLiteral("-") : QString::fromStdString(channelNumber);
    const QStringList row = {frequency,
                             QString::number(s.serviceId),
                             number,
                             QString::fromStdString(s.name),
                             QString::fromStdString(s.provider),
                             s.serviceType >= 0 ? QString::number(s.serviceType) : QStringLiteral("-"),
                             pids};
    for (int column = 0; column < row.size(); ++column) services_->setItem(at, column, new QTableWidgetItem(row[column]));
  }
  transponders_->resizeColumnsToContents();
  services_->resizeColumnsToContents();
}

void CChannelScanDlg::Finish(const ScanResult& result) {
  JoinWorker();
  result_ = result;
  const std::string services = std::to_string(result.ServiceCount());
  const std::string transponders = std::to_string(result.transponders.size());
  if (result.cancelled)
    status_->setText(Fill("Scan stopped: %s services found on %s transponders so far.", {services, transponders}));
  else if (result.boxFailed)
    status_->setText(Fill("The box stopped answering: %s services found.", {services}));
  else
    status_->setText(Fill("Scan complete: %s services on %s transponders.", {services, transponders}));
  UpdateButtons();
  (save_->isEnabled() ? save_ : start_)->setFocus();
  emit ScanEnded();
}

bool CChannelScanDlg::SaveResults(const QString& path, QString* error) {
  std::string why;
  const std::string file = path.toStdString();
  const bool ok = path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive)
                      ? WriteTextFile(file, ScanResultJson(result_, settings_.family).dump(2) + "\n", &why)
                      : WriteScanChannelFile(file, result_, &why);
  if (!ok && error) *error = QString::fromStdString(why);
  return ok;
}

void CChannelScanDlg::OnSave() {
  const QString path = QFileDialog::getSaveFileName(this, Tr("Save the channels"), QStringLiteral("dvb_channel.conf"),
                                                    Tr("DVBv5 channel file (*.conf);;JSON (*.json)"));
  if (path.isEmpty()) return;
  QString error;
  if (SaveResults(path, &error)) status_->setText(Fill("Saved to %s.", {path.toStdString()}));
  else ShowMessage(TranslateAndFill("The channels could not be saved: %s", {error.toStdString()}));
}

std::optional<ServiceCaptureRequest> CChannelScanDlg::CaptureRequest(int row, const QString& path) const {
  if (row < 0 || row >= static_cast<int>(serviceRows_.size())) return std::nullopt;
  ServiceCaptureRequest request;
  request.tuning = serviceRows_[static_cast<size_t>(row)].tuning;
  request.settings = settings_;
  request.serviceId = serviceRows_[static_cast<size_t>(row)].serviceId;
  std::string unused;
  ParseKeptSiTables(kDefaultKeptSi, &request.siPids, &unused);
  request.path = path.toStdString();
  const CaptureSettings& limits = settings_.capture;
  if (limits.nRecordMode == 0) request.seconds = static_cast<uint32_t>(std::max(limits.nCaptureSeconds, 0));
  else request.maxBytes = static_cast<uint64_t>(std::max(limits.nCaptureMegabytes, 0)) << 20;
  return request;
}

bool CChannelScanDlg::CaptureService(int row, const QString& path) {
  const std::optional<ServiceCaptureRequest> request = CaptureRequest(row, path);
  if (Scanning() || !request || path.isEmpty()) return false;
  CCaptureProgressDlg progress(this, *request);
  progress.DoModal();
  return true;
}

void CChannelScanDlg::OnCaptureService() {
  const int row = services_->currentRow();
  if (Scanning() || !CaptureRequest(row, QString())) {
    status_->setText(Tr("Choose a service in the table first."));
    return;
  }
  const QString proposed = QString::fromStdString(ProposeCaptureFileName() + ".ts");
  const QString path = QFileDialog::getSaveFileName(this, Tr("Capture this service"), proposed,
                                                    Tr("Transport stream (*.ts);;All files (*)"));
  if (!path.isEmpty()) CaptureService(row, path);
}

void CChannelScanDlg::OnBrowse() {
  const QString path = QFileDialog::getOpenFileName(this, Tr("Plan file"), QString::fromLatin1(PlanFolder(settings_.family)));
  if (!path.isEmpty()) plan_->setText(path);
}

void CChannelScanDlg::reject() {
  // Escape and Close stop a running scan first; the dialog closes once it has ended.
  if (Scanning()) {
    CancelScan();
    return;
  }
  QDialog::reject();
}

void CChannelScanDlg::closeEvent(QCloseEvent* event) {
  if (Scanning()) {
    CancelScan();
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}
