#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/engine/dvb_text.h"
#include "analysis/health/health_report.h"
#include "platform/profile.h"
#include "platform/ui_hooks.h"
#include "ui/resource_dialog.h"
#include "ui/resources.h"

namespace {

constexpr int kPollMs = 200;           // five updates a second while the worker reads
constexpr size_t kScanChunk = 1 << 20;  // bytes a scan reads at once
constexpr int kScanChunksPerStep = 8;   // per timer step, so the window keeps answering
constexpr const char* kProfileSection = "StreamAnalysis";
constexpr int kOccurrenceOffsetRole = Qt::UserRole;

QString Id(int id) { return QString::number(id); }

QString Megabytes(uint64_t bytes) { return QString::number(static_cast<double>(bytes) / 1e6, 'f', 1); }

QString Mbits(double bps) { return QString::number(bps / 1e6, 'f', 3); }

QString PidText(int pid) {
  return pid < 0 ? QStringLiteral("-") : QStringLiteral("0x%1 (%2)").arg(pid, 4, 16, QLatin1Char('0')).arg(pid);
}

QString Html(const QString& text) { return text.toHtmlEscaped(); }

// An occurrence's description in the user's language.
QString DescriptionText(const HealthOccurrence& o) {
  if (o.descriptionTemplate.empty()) return QString::fromStdString(o.description);
  return QString::fromStdString(TranslateAndFill(o.descriptionTemplate, o.descriptionValues));
}

}  // namespace

CStreamAnalysisWnd::CStreamAnalysisWnd(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(Id(kIdStreamAnalysisWindow));
  setWindowTitle(LoadResString(kStrStreamAnalysis));
  setWindowIcon(LoadIconResource(128));
  setFont(GetDialogFont());
  auto* layout = new QVBoxLayout(this);

  auto* bar = new QHBoxLayout;
  status_ = new QLabel(this);
  status_->setObjectName(Id(kIdSaStatus));
  progress_ = new QProgressBar(this);
  progress_->setObjectName(Id(kIdSaProgress));
  progress_->setRange(0, 1000);
  progress_->setValue(0);
  cancel_ = new QPushButton(LoadResString(kStrCancel), this);
  cancel_->setObjectName(Id(kIdSaCancel));
  cancel_->setEnabled(false);
  auto* exportJson = new QPushButton(LoadResString(kStrExportJson), this);
  exportJson->setObjectName(Id(kIdSaExportJson));
  auto* exportCsv = new QPushButton(LoadResString(kStrExportCsv), this);
  exportCsv->setObjectName(Id(kIdSaExportCsv));
  bar->addWidget(status_, 3);
  bar->addWidget(progress_, 2);
  bar->addWidget(cancel_);
  bar->addWidget(exportJson);
  bar->addWidget(exportCsv);
  layout->addLayout(bar);

  tabs_ = new QTabWidget(this);
  tabs_->setObjectName(Id(kIdSaTabs));
  auto* overview = new QWidget(tabs_);
  auto* packets = new QWidget(tabs_);
  BuildOverview(overview);
  BuildPackets(packets);
  tabs_->addTab(overview, LoadResString(kStrOverview));
  tabs_->addTab(packets, LoadResString(kStrPackets));
  layout->addWidget(tabs_, 1);

  pollTimer_ = new QTimer(this);
  pollTimer_->setInterval(kPollMs);
  connect(pollTimer_, &QTimer::timeout, this, &CStreamAnalysisWnd::Poll);
  scanTimer_ = new QTimer(this);
  scanTimer_->setInterval(0);
  connect(scanTimer_, &QTimer::timeout, this, &CStreamAnalysisWnd::ScanStep);
  connect(cancel_, &QPushButton::clicked, this, &CStreamAnalysisWnd::Cancel);
  connect(exportJson, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnExportJson);
  connect(exportCsv, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnExportCsv);
  RestoreLayout();
}

CStreamAnalysisWnd::~CStreamAnalysisWnd() {
  if (run_) run_->cancel.store(true);
  if (worker_.joinable()) worker_.join();
}

void CStreamAnalysisWnd::BuildOverview(QWidget* page) {
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* split = new QSplitter(Qt::Horizontal, page);
  split->setObjectName(Id(kIdSaSplitOverview));
  layout->addWidget(split);

  auto* left = new QSplitter(Qt::Vertical, split);
  left->setObjectName(Id(kIdSaSplitLeft));
  summary_ = new QLabel(left);
  summary_->setObjectName(Id(kIdSaSummary));
  summary_->setTextFormat(Qt::RichText);
  summary_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  summary_->setWordWrap(true);
  summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  pidModel_ = new PidTableModel(this);
  pidSort_ = new QSortFilterProxyModel(this);
  pidSort_->setSourceModel(pidModel_);
  pidSort_->setSortRole(PidTableModel::kSortRole);
  pidTable_ = new QTableView(left);
  pidTable_->setObjectName(Id(kIdSaPidTable));
  pidTable_->setModel(pidSort_);
  pidTable_->setSortingEnabled(true);
  pidTable_->sortByColumn(PidTableModel::kColPid, Qt::AscendingOrder);
  pidTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
  pidTable_->setSelectionMode(QAbstractItemView::SingleSelection);
  pidTable_->verticalHeader()->hide();
  pidTable_->verticalHeader()->setDefaultSectionSize(pidTable_->fontMetrics().height() + 6);
  pidTable_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  left->addWidget(summary_);
  left->addWidget(pidTable_);
  left->setStretchFactor(1, 1);

  auto* right = new QSplitter(Qt::Vertical, split);
  right->setObjectName(Id(kIdSaSplitRight));
  checks_ = new QTableWidget(static_cast<int>(kHealthCheckCount), 2, right);
  checks_->setObjectName(Id(kIdSaChecks));
  checks_->setHorizontalHeaderLabels({LoadResString(kStrCheck), LoadResString(kStrStatus)});
  checks_->verticalHeader()->hide();
  checks_->verticalHeader()->setDefaultSectionSize(checks_->fontMetrics().height() + 4);
  checks_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  checks_->horizontalHeader()->setStretchLastSection(true);
  checks_->setSelectionBehavior(QAbstractItemView::SelectRows);
  checks_->setSelectionMode(QAbstractItemView::SingleSelection);
  checks_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  for (size_t i = 0; i < kHealthCheckCount; ++i) {
    const HealthCheckInfo& info = GetHealthCheckInfo(static_cast<HealthCheck>(i));
    checks_->setItem(static_cast<int>(i), 0,
                     new QTableWidgetItem(QStringLiteral("%1 %2").arg(QLatin1String(info.number), QLatin1String(info.name))));
    checks_->setItem(static_cast<int>(i), 1, new QTableWidgetItem);
  }
  occurrences_ = new QTableWidget(0, 5, right);
  occurrences_->setObjectName(Id(kIdSaOccurrences));
  occurrences_->setHorizontalHeaderLabels({LoadResString(kStrTime), LoadResString(kStrPacket), LoadResString(kStrOffset),
                                           LoadResString(kStrPid), LoadResString(kStrDescription)});
  occurrences_->verticalHeader()->hide();
  occurrences_->verticalHeader()->setDefaultSectionSize(occurrences_->fontMetrics().height() + 4);
  occurrences_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  occurrences_->horizontalHeader()->setStretchLastSection(true);
  occurrences_->setSelectionBehavior(QAbstractItemView::SelectRows);
  occurrences_->setSelectionMode(QAbstractItemView::SingleSelection);
  occurrences_->setEditTriggers(QAbstractItemView::NoEditTriggers);

  auto* chartBox = new QWidget(right);
  auto* chartLayout = new QVBoxLayout(chartBox);
  chartLayout->setContentsMargins(0, 0, 0, 0);
  auto* chart = new QChart;
  chart->legend()->setAlignment(Qt::AlignBottom);
  chart->setMargins(QMargins(4, 4, 4, 4));
  muxSeries_ = new QLineSeries(chart);
  muxSeries_->setName(LoadResString(kStrMuxBitrate));
  pidSeries_ = new QLineSeries(chart);
  chart->addSeries(muxSeries_);
  chart->addSeries(pidSeries_);
  timeAxis_ = new QValueAxis(chart);
  timeAxis_->setTitleText(LoadResString(kStrTime));
  timeAxis_->setLabelFormat(QStringLiteral("%.1f"));
  rateAxis_ = new QValueAxis(chart);
  rateAxis_->setTitleText(LoadResString(kStrMbits));
  rateAxis_->setLabelFormat(QStringLiteral("%.2f"));
  chart->addAxis(timeAxis_, Qt::AlignBottom);
  chart->addAxis(rateAxis_, Qt::AlignLeft);
  for (QLineSeries* series : {muxSeries_, pidSeries_}) {
    series->attachAxis(timeAxis_);
    series->attachAxis(rateAxis_);
    connect(series, &QLineSeries::hovered, this, [this, series](const QPointF& point, bool state) {
      if (!state) return;
      const QString text = LoadResString(kStrChartValue)
                               .arg(series->name(), QString::number(point.x(), 'f', 3), QString::number(point.y(), 'f', 3));
      chartValue_->setText(text);
      QToolTip::showText(QCursor::pos(), text, chartView_);
    });
  }
  pidSeries_->setVisible(false);
  chartView_ = new QChartView(chart, chartBox);
  chartView_->setObjectName(Id(kIdSaChart));
  chartView_->setRenderHint(QPainter::Antialiasing);
  chartView_->setMinimumHeight(160);
  chartValue_ = new QLabel(chartBox);
  chartValue_->setObjectName(Id(kIdSaChartValue));
  chartLayout->addWidget(chartView_, 1);
  chartLayout->addWidget(chartValue_);
  right->addWidget(checks_);
  right->addWidget(occurrences_);
  right->addWidget(chartBox);
  split->addWidget(left);
  split->addWidget(right);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);

  connect(checks_, &QTableWidget::itemSelectionChanged, this, &CStreamAnalysisWnd::ShowOccurrences);
  connect(occurrences_, &QTableWidget::currentCellChanged, this,
          [this](int row, int, int, int) { OnOccurrenceActivated(row); });
  connect(pidTable_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CStreamAnalysisWnd::ShowChart);
}

void CStreamAnalysisWnd::BuildPackets(QWidget* page) {
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 4, 0, 0);
  auto* tools = new QHBoxLayout;
  onlyPid_ = new QCheckBox(LoadResString(kStrOnlySelectedPid), page);
  onlyPid_->setObjectName(Id(kIdSaOnlySelectedPid));
  searchField_ = new QComboBox(page);
  searchField_->setObjectName(Id(kIdSaSearchField));
  for (int i = 0; i < kTsSearchFieldCount; ++i)
    searchField_->addItem(QLatin1String(TsSearchFieldName(static_cast<TsSearchField>(i))));
  searchValue_ = new QLineEdit(page);
  searchValue_->setObjectName(Id(kIdSaSearchValue));
  searchValue_->setMaximumWidth(90);
  auto* find = new QPushButton(LoadResString(kStrFindNext), page);
  find->setObjectName(Id(kIdSaFindNext));
  gotoPacket_ = new QLineEdit(page);
  gotoPacket_->setObjectName(Id(kIdSaGotoPacket));
  gotoPacket_->setMaximumWidth(110);
  auto* gotoPacketButton = new QPushButton(LoadResString(kStrGotoPacket), page);
  gotoPacketButton->setObjectName(Id(kIdSaGotoPacketButton));
  gotoOffset_ = new QLineEdit(page);
  gotoOffset_->setObjectName(Id(kIdSaGotoOffset));
  gotoOffset_->setMaximumWidth(110);
  auto* gotoOffsetButton = new QPushButton(LoadResString(kStrGotoOffset), page);
  gotoOffsetButton->setObjectName(Id(kIdSaGotoOffsetButton));
  tools->addWidget(onlyPid_);
  tools->addSpacing(12);
  tools->addWidget(searchField_);
  tools->addWidget(searchValue_);
  tools->addWidget(find);
  tools->addSpacing(12);
  tools->addWidget(gotoPacket_);
  tools->addWidget(gotoPacketButton);
  tools->addWidget(gotoOffset_);
  tools->addWidget(gotoOffsetButton);
  tools->addStretch(1);
  layout->addLayout(tools);

  auto* split = new QSplitter(Qt::Horizontal, page);
  split->setObjectName(Id(kIdSaSplitPackets));
  packetModel_ = new PacketListModel(packetFile_, this);
  packetList_ = new PacketListView(split);
  packetList_->setObjectName(Id(kIdSaPacketList));
  packetList_->setModel(packetModel_);
  const int digit = packetList_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  QList<int> widths;
  for (int chars : {11, 13, 14, 5, 4, 4, 22}) widths.append((chars + 2) * digit);
  packetList_->setColumnWidths(widths);
  auto* detail = new QSplitter(Qt::Vertical, split);
  detail->setObjectName(Id(kIdSaSplitDetail));
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  hex_ = new QPlainTextEdit(detail);
  hex_->setObjectName(Id(kIdSaHex));
  hex_->setReadOnly(true);
  hex_->setFont(fixed);
  hex_->setLineWrapMode(QPlainTextEdit::NoWrap);
  decoded_ = new QPlainTextEdit(detail);
  decoded_->setObjectName(Id(kIdSaDecoded));
  decoded_->setReadOnly(true);
  decoded_->setFont(fixed);
  decoded_->setLineWrapMode(QPlainTextEdit::NoWrap);
  detail->addWidget(hex_);
  detail->addWidget(decoded_);
  split->addWidget(packetList_);
  split->addWidget(detail);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 1);
  layout->addWidget(split, 1);

  connect(packetList_, &PacketListView::currentRowChanged, this, &CStreamAnalysisWnd::OnPacketRowChanged);
  connect(onlyPid_, &QCheckBox::toggled, this, &CStreamAnalysisWnd::OnOnlySelectedPid);
  connect(find, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnFindNext);
  connect(searchValue_, &QLineEdit::returnPressed, this, &CStreamAnalysisWnd::OnFindNext);
  connect(gotoPacketButton, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnGotoPacket);
  connect(gotoPacket_, &QLineEdit::returnPressed, this, &CStreamAnalysisWnd::OnGotoPacket);
  connect(gotoOffsetButton, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnGotoOffset);
  connect(gotoOffset_, &QLineEdit::returnPressed, this, &CStreamAnalysisWnd::OnGotoOffset);
}

void CStreamAnalysisWnd::Start(const QString& path, const HealthLimits& limits) {
  if (run_) return;
  path_ = path;
  setWindowTitle(LoadResString(kStrStreamAnalysis) + QStringLiteral(" - ") + QFileInfo(path).fileName());
  run_ = std::make_unique<HealthFileRun>();
  cancel_->setEnabled(true);
  HealthFileRun* run = run_.get();
  const std::string file = path.toStdString();
  worker_ = std::thread([this, run, file, limits] {
    HealthFileOptions options;
    options.publishIntervalS = kPollMs / 2000.0;
    outcome_ = AnalyseHealthFile(file, limits, options, run);
  });
  pollTimer_->start();
  ShowStatus();
}

void CStreamAnalysisWnd::Cancel() {
  if (run_ && !finished_) run_->cancel.store(true);
}

void CStreamAnalysisWnd::Poll() {
  if (!run_) return;
  const bool done = run_->done.load();
  if (run_->PublishedCount() != shownPublication_) {
    shownPublication_ = run_->PublishedCount();
    result_ = run_->Latest();
    ++updates_;
    ShowResult();
  }
  if (done) {
    if (worker_.joinable()) worker_.join();
    pollTimer_->stop();
    finished_ = true;
    cancel_->setEnabled(false);
    result_ = run_->Latest();
    if (!outcome_.opened || outcome_.readError) error_ = QString::fromStdString(outcome_.error);
    ShowResult();
    emit analysisFinished();
  }
  ShowStatus();
}

void CStreamAnalysisWnd::ShowResult() {
  ShowSummary();
  // New PIDs reset the model, which drops the selection: the chart's PID is
  // selected again.
  const int selected = SelectedPid();
  pidModel_->SetResult(result_);
  if (selected >= 0 && SelectedPid() != selected) {
    for (int row = 0; row < pidSort_->rowCount(); ++row) {
      if (pidSort_->index(row, 0).data(PidTableModel::kPidRole).toInt() == selected) {
        pidTable_->selectRow(row);
        break;
      }
    }
  }
  ShowChecks();
  ShowOccurrences();
  ShowChart();
  if (!packetFile_.IsOpen() && result_.packetSize > 0 && packetFile_.Open(path_.toStdString(), result_.packetSize))
    packetModel_->ShowAll();
}

void CStreamAnalysisWnd::ShowStatus() {
  if (!run_) return;
  const uint64_t done = run_->bytesDone.load();
  const int64_t total = run_->bytesTotal.load();
  if (total > 0) progress_->setValue(static_cast<int>(std::min<uint64_t>(1000, done * 1000 / static_cast<uint64_t>(total))));
  const QString totalText = total >= 0 ? Megabytes(static_cast<uint64_t>(total)) : QStringLiteral("?");
  if (!error_.isEmpty()) status_->setText(LoadResString(kStrCannotAnalyse).arg(error_));
  else if (!finished_) status_->setText(LoadResString(kStrAnalysing).arg(Megabytes(done), totalText));
  else if (result_.partial) status_->setText(LoadResString(kStrPartial).arg(Megabytes(result_.bytes), totalText));
  else {
    progress_->setValue(1000);
    status_->setText(LoadResString(kStrComplete).arg(Megabytes(result_.bytes)));
  }
}

void CStreamAnalysisWnd::ShowSummary() {
  const HealthResult& r = result_;
  auto row = [](int label, const QString& value) {
    return QStringLiteral("<tr><td><b>%1</b>&nbsp;&nbsp;</td><td>%2</td></tr>").arg(Html(LoadResString(label)), value);
  };
  const QString unknown = Html(LoadResString(kStrUnknownNoPcr));
  QString programs;
  for (const ProgramInfo& p : r.programs) {
    if (!programs.isEmpty()) programs += QStringLiteral("<br>");
    programs += QString::number(p.programNumber);
    const std::string name = DecodeDvbText(p.serviceNameBytes);
    if (!name.empty()) programs += QStringLiteral(" &quot;%1&quot;").arg(Html(FromEngineText(name)));
    programs += QStringLiteral(", PMT %1").arg(Html(PidText(p.pmtPid)));
  }
  QString verdict = r.TotalErrors() == 0
                        ? Html(LoadResString(kStrNoErrors))
                        : QStringLiteral("<span style=\"color:#b00000\">%1</span>")
                              .arg(Html(LoadResString(kStrErrorsInChecks).arg(r.TotalErrors()).arg(r.ChecksWithErrors())));
  if (r.partial)
    verdict += QStringLiteral(" <b>%1</b>").arg(Html(LoadResString(error_.isEmpty() ? kStrPartialMark : kStrPartialReadError)));
  QString html = QStringLiteral("<table>");
  html += row(kStrFile, Html(path_));
  html += row(kStrPacketSize, r.packetSize > 0 ? QString::number(r.packetSize) : QStringLiteral("-"));
  html += row(kStrPackets, QString::number(r.packets));
  html += row(kStrBytes, QString::number(r.bytes));
  html += row(kStrDuration, r.durationS ? QStringLiteral("%1 s").arg(*r.durationS, 0, 'f', 3) : unknown);
  html += row(kStrMuxBitrate, r.bitrateBps ? QStringLiteral("%1 Mbit/s").arg(Mbits(*r.bitrateBps)) : unknown);
  html += row(kStrPrograms, programs.isEmpty() ? QStringLiteral("-") : programs);
  html += row(kStrVerdict, verdict);
  html += QStringLiteral("</table>");
  summary_->setText(html);
}

void CStreamAnalysisWnd::ShowChecks() {
  for (size_t i = 0; i < kHealthCheckCount; ++i) {
    const HealthCheckResult& check = result_.checks[i];
    QTableWidgetItem* item = checks_->item(static_cast<int>(i), 1);
    QColor background;
    if (!check.evaluated) {
      item->setText(LoadResString(kStrNotEvaluated));
      background = QColor(230, 230, 230);
    } else if (check.count == 0) {
      item->setText(LoadResString(kStrOk));
      background = QColor(214, 245, 214);
    } else {
      item->setText(LoadResString(kStrErrorCount).arg(check.count));
      background = QColor(255, 214, 214);
    }
    item->setBackground(background);
    checks_->item(static_cast<int>(i), 0)->setBackground(background);
  }
}

void CStreamAnalysisWnd::ShowOccurrences() {
  // The selected check's occurrences, or every evaluated check's when none is selected.
  const QList<QTableWidgetItem*> selected = checks_->selectedItems();
  const int only = selected.isEmpty() ? -1 : selected.front()->row();
  int rows = 0;
  for (size_t i = 0; i < kHealthCheckCount; ++i)
    if ((only < 0 || static_cast<int>(i) == only) && result_.checks[i].evaluated)
      rows += static_cast<int>(result_.checks[i].first.size());
  const int keepRow = occurrences_->currentRow();
  const QSignalBlocker block(occurrences_);
  occurrences_->setRowCount(rows);
  int row = 0;
  for (size_t i = 0; i < kHealthCheckCount; ++i) {
    if ((only >= 0 && static_cast<int>(i) != only) || !result_.checks[i].evaluated) continue;
    for (const HealthOccurrence& o : result_.checks[i].first) {
      const QString texts[5] = {o.timeS ? QString::number(*o.timeS, 'f', 3) : QStringLiteral("-"),
                                QString::number(o.packetIndex), QString::number(o.byteOffset), PidText(o.pid),
                                QStringLiteral("%1: %2").arg(QLatin1String(GetHealthCheckInfo(static_cast<HealthCheck>(i)).number),
                                                             DescriptionText(o))};
      for (int c = 0; c < 5; ++c) {
        QTableWidgetItem* item = occurrences_->item(row, c);
        if (!item) {
          item = new QTableWidgetItem;
          occurrences_->setItem(row, c, item);
        }
        item->setText(texts[c]);
        if (c == 4) item->setToolTip(texts[c]);  // the description is often wider than its column
        item->setData(kOccurrenceOffsetRole, static_cast<qulonglong>(o.byteOffset));
      }
      ++row;
    }
  }
  if (keepRow >= 0 && keepRow < rows) occurrences_->setCurrentCell(keepRow, 0);
}

int CStreamAnalysisWnd::SelectedPid() const {
  const QModelIndexList rows = pidTable_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.front().data(PidTableModel::kPidRole).toInt();
}

void CStreamAnalysisWnd::ShowChart() {
  QList<QPointF> mux;
  double top = 0;
  double end = 0;
  for (const BitratePoint& p : result_.bitrateSeries) {
    mux.append(QPointF(p.timeS, p.bitrateBps / 1e6));
    top = std::max(top, p.bitrateBps / 1e6);
    end = std::max(end, p.timeS + p.durationS);
  }
  muxSeries_->replace(mux);
  const int pid = SelectedPid();
  QList<QPointF> pidPoints;
  for (const PidBitrateSeries& s : result_.pidSeries) {
    if (s.pid != pid) continue;
    for (size_t i = 0; i < s.bitrateBps.size() && i < result_.bitrateSeries.size(); ++i)
      pidPoints.append(QPointF(result_.bitrateSeries[i].timeS, s.bitrateBps[i] / 1e6));
  }
  pidSeries_->replace(pidPoints);
  pidSeries_->setName(LoadResString(kStrPidBitrate).arg(PidText(pid)));
  pidSeries_->setVisible(!pidPoints.isEmpty());
  timeAxis_->setRange(0, end > 0 ? end : 1);
  rateAxis_->setRange(0, top > 0 ? top * 1.1 : 1);
}

void CStreamAnalysisWnd::OnOccurrenceActivated(int row) {
  if (row < 0 || !occurrences_->item(row, 0) || !packetFile_.IsOpen()) return;
  const uint64_t offset = occurrences_->item(row, 0)->data(kOccurrenceOffsetRole).toULongLong();
  ShowPacket(packetFile_.IndexAt(offset));
}

void CStreamAnalysisWnd::ShowPacket(uint64_t index) {
  if (!packetFile_.IsOpen()) return;
  tabs_->setCurrentIndex(1);
  int row = packetModel_->RowOfPacket(index);
  if (packetModel_->Filtered() && (row < 0 || packetModel_->PacketAtRow(row) != index)) {
    const QSignalBlocker block(onlyPid_);
    onlyPid_->setChecked(false);
    filterScan_.active = false;
    packetModel_->ShowAll();
    row = packetModel_->RowOfPacket(index);
  }
  if (row < 0) return;
  packetList_->setCurrentRow(row);
  OnPacketRowChanged();
}

void CStreamAnalysisWnd::OnPacketRowChanged() {
  const int row = packetList_->currentRow();
  if (row < 0) return;
  const uint64_t index = packetModel_->PacketAtRow(row);
  uint8_t bytes[208];
  if (!packetFile_.ReadPacket(index, bytes)) return;
  hex_->setPlainText(HexDumpPacket(bytes, packetFile_.PacketSize(), packetFile_.OffsetOf(index)));
  decoded_->setPlainText(QStringLiteral("%1 %2, %3 %4\n").arg(LoadResString(kStrPacket)).arg(index)
                             .arg(LoadResString(kStrOffset)).arg(packetFile_.OffsetOf(index)) +
                         DecodeTsPacket(bytes + packetFile_.SyncOffset()));
}

void CStreamAnalysisWnd::OnOnlySelectedPid(bool on) {
  filterScan_.active = false;
  if (!packetFile_.IsOpen()) return;
  const int pid = SelectedPid();
  if (!on || pid < 0) {
    if (on) {
      const QSignalBlocker block(onlyPid_);
      onlyPid_->setChecked(false);
    }
    packetModel_->ShowAll();
    return;
  }
  packetModel_->ShowIndexes({});
  filterScan_ = Scan{true, false, 0, pid, TsSearchField::Pid, pid};
  scanTimer_->start();
}

void CStreamAnalysisWnd::OnFindNext() {
  int64_t value = 0;
  if (!packetFile_.IsOpen() || !ParseSearchValue(searchValue_->text(), value)) {
    status_->setText(LoadResString(kStrNotFound));
    return;
  }
  const int row = packetList_->currentRow();
  const uint64_t from = row >= 0 ? packetModel_->PacketAtRow(row) + 1 : 0;
  const int pid = packetModel_->Filtered() ? filterScan_.pid : -1;
  searchScan_ = Scan{true, true, from, pid, static_cast<TsSearchField>(searchField_->currentIndex()), value};
  status_->setText(LoadResString(kStrSearching));
  scanTimer_->start();
}

void CStreamAnalysisWnd::ScanStep() {
  std::vector<uint8_t> buffer(kScanChunk);
  const uint64_t size = static_cast<uint64_t>(packetFile_.PacketSize());
  const uint64_t perChunk = kScanChunk / size;
  for (Scan* scan : {&searchScan_, &filterScan_}) {
    if (!scan->active) continue;
    std::vector<uint64_t> found;
    for (int chunk = 0; chunk < kScanChunksPerStep && scan->active; ++chunk) {
      if (scan->next >= packetFile_.PacketCount()) {
        scan->active = false;
        if (scan->search) status_->setText(LoadResString(kStrNotFound));
        break;
      }
      const uint64_t count = std::min(perChunk, packetFile_.PacketCount() - scan->next);
      const size_t got = packetFile_.ReadRaw(packetFile_.OffsetOf(scan->next), buffer.data(), count * size);
      const uint64_t packets = got / size;
      for (uint64_t i = 0; i < packets; ++i) {
        TsHeaderFields f;
        if (!ParseTsHeader(buffer.data() + i * size + static_cast<uint64_t>(packetFile_.SyncOffset()), f)) continue;
        if (scan->pid >= 0 && f.pid != scan->pid) continue;
        if (scan->search && TsSearchFieldValue(f, scan->field) != scan->value) continue;
        found.push_back(scan->next + i);
        if (scan->search) break;
      }
      if (scan->search && !found.empty()) {
        scan->active = false;
        ShowStatus();
        ShowPacket(found.front());
        break;
      }
      if (packets < count) {  // the file ended early or could not be read
        scan->next = packetFile_.PacketCount();
        continue;
      }
      scan->next += packets;
    }
    if (!scan->search) packetModel_->AppendIndexes(found);
  }
  if (!searchScan_.active && !filterScan_.active) scanTimer_->stop();
}

void CStreamAnalysisWnd::StopScans() {
  searchScan_.active = filterScan_.active = false;
  scanTimer_->stop();
}

void CStreamAnalysisWnd::OnGotoPacket() {
  int64_t value = 0;
  if (!ParseSearchValue(gotoPacket_->text(), value) || !packetFile_.IsOpen() || packetFile_.PacketCount() == 0) return;
  ShowPacket(std::min<uint64_t>(static_cast<uint64_t>(value), packetFile_.PacketCount() - 1));
}

void CStreamAnalysisWnd::OnGotoOffset() {
  int64_t value = 0;
  if (!ParseSearchValue(gotoOffset_->text(), value) || !packetFile_.IsOpen() || packetFile_.PacketCount() == 0) return;
  ShowPacket(packetFile_.IndexAt(static_cast<uint64_t>(value)));
}

bool CStreamAnalysisWnd::ExportJson(const QString& path) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const std::string json = HealthJson(result_);
  return file.write(json.data(), static_cast<qint64>(json.size())) == static_cast<qint64>(json.size());
}

bool CStreamAnalysisWnd::ExportCsv(const QString& path) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray csv = PidTableCsv(result_).toUtf8();
  return file.write(csv) == csv.size();
}

void CStreamAnalysisWnd::OnExportJson() {
  const QString path = QFileDialog::getSaveFileName(this, LoadResString(kStrExportJson), QString(),
                                                    LoadResString(kStrJsonFiles));
  if (!path.isEmpty() && !ExportJson(path)) status_->setText(LoadResString(kStrCannotWrite).arg(path));
}

void CStreamAnalysisWnd::OnExportCsv() {
  const QString path = QFileDialog::getSaveFileName(this, LoadResString(kStrExportCsv), QString(),
                                                    LoadResString(kStrCsvFiles));
  if (!path.isEmpty() && !ExportCsv(path)) status_->setText(LoadResString(kStrCannotWrite).arg(path));
}

std::vector<QSplitter*> CStreamAnalysisWnd::Splitters() const {
  std::vector<QSplitter*> out;
  for (int id : {kIdSaSplitOverview, kIdSaSplitLeft, kIdSaSplitRight, kIdSaSplitPackets, kIdSaSplitDetail})
    if (auto* split = findChild<QSplitter*>(Id(id))) out.push_back(split);
  return out;
}

void CStreamAnalysisWnd::RestoreLayout() {
  const int width = GetProfileInt(kProfileSection, "Width", 1100);
  const int height = GetProfileInt(kProfileSection, "Height", 720);
  resize(std::clamp(width, 400, 8000), std::clamp(height, 300, 8000));
  for (QSplitter* split : Splitters()) {
    const QString saved = QString::fromStdString(
        GetProfileString(kProfileSection, "Split" + split->objectName().toStdString()));
    QList<int> sizes;
    for (const QString& part : saved.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
      bool ok = false;
      const int size = part.toInt(&ok);
      if (ok && size >= 0 && size < 100000) sizes.append(size);
    }
    if (sizes.size() == split->count()) split->setSizes(sizes);
    else if (split->objectName() == Id(kIdSaSplitRight))  // every check in view, the chart below the occurrences
      split->setSizes({checks_->horizontalHeader()->sizeHint().height() +
                           static_cast<int>(kHealthCheckCount) * checks_->verticalHeader()->defaultSectionSize() + 4,
                       this->height() / 4, this->height() / 3});
    else if (split->objectName() == Id(kIdSaSplitOverview))
      split->setSizes({this->width() * 3 / 5, this->width() * 2 / 5});
  }
}

void CStreamAnalysisWnd::SaveLayout() const {
  WriteProfileInt(kProfileSection, "Width", width());
  WriteProfileInt(kProfileSection, "Height", height());
  for (QSplitter* split : Splitters()) {
    QStringList sizes;
    for (int size : split->sizes()) sizes.append(QString::number(size));
    WriteProfileString(kProfileSection, "Split" + split->objectName().toStdString(),
                       sizes.join(QLatin1Char(',')).toStdString());
  }
}

void CStreamAnalysisWnd::closeEvent(QCloseEvent* event) {
  SaveLayout();
  StopScans();
  Cancel();
  QWidget::closeEvent(event);
}
