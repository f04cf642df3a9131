#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGraphicsLayout>
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
#include <QTextBrowser>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>

#include "analysis/dialogs/stream_analysis/stream_analysis_guide.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_help.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_services.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_tables.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_timing.h"
#include "analysis/engine/dvb_text.h"
#include "analysis/health/health_report.h"
#include "analysis/si/si_output.h"
#include "analysis/si/si_run.h"
#include "analysis/timing/timing_series.h"
#include "device/tuner_device.h"
#include "platform/profile.h"
#include "platform/ui_hooks.h"
#include "ui/elided_label.h"
#include "ui/resource_dialog.h"
#include "ui/resources.h"
#include "ui/steady_tab_widget.h"
#include "ui/ui_thread.h"

namespace {

constexpr int kPollMs = 200;           // five updates a second while the worker reads
constexpr size_t kScanChunk = 1 << 20;  // bytes a scan reads at once
constexpr int kScanChunksPerStep = 8;   // per timer step, so the window keeps answering
constexpr const char* kProfileSection = "StreamAnalysis";
constexpr int kOccurrenceOffsetRole = Qt::UserRole;
constexpr int kOccurrenceSortRole = Qt::UserRole + 1;
// The smallest size that still shows the tables and the inspector; a saved
// size is kept within this and the screen.
constexpr int kMinWidth = 720;
constexpr int kMinHeight = 480;
constexpr int kMinPane = 40;  // a splitter pane saved smaller is not restored
constexpr int kUsablePane = 150;  // nor restored smaller than this, when the splitter has room
// The default size: every count column and every check in view on a
// 1280 x 800 screen.
constexpr int kDefaultWidth = 1260;
constexpr int kDefaultHeight = 760;
constexpr size_t kMaxServiceNames = 65536;  // decoded names kept
constexpr int kMaxOccurrenceRows = 500;      // rows of the occurrences list
constexpr int64_t kRedrawMs = 1000;          // the summary, PID table and chart while the analysis runs
constexpr int64_t kRedrawCostShare = 20;     // a redraw may take a twentieth of the time between two
constexpr int64_t kTurnPassNs = 8'000'000;   // display turns run in one pass of the event loop

QString Id(int id) { return QString::number(id); }

// One decimal, and as many more as a small file needs to show it is not empty.
QString Megabytes(uint64_t bytes) {
  const double megabytes = static_cast<double>(bytes) / 1e6;
  const int decimals = bytes == 0 || megabytes >= 0.1 ? 1 : megabytes >= 0.001 ? 3 : 6;
  return QString::number(megabytes, 'f', decimals);
}

QString Mbits(double bps) { return QString::number(bps / 1e6, 'f', 3); }

QString Html(const QString& text) { return text.toHtmlEscaped(); }

// An occurrence's description in the user's language.
QString DescriptionText(const HealthOccurrence& o) {
  if (o.descriptionTemplate.empty()) return QString::fromStdString(o.description);
  return QString::fromStdString(TranslateAndFill(o.descriptionTemplate, o.descriptionValues));
}

// For the lists the window redraws as the analysis goes, whose texts are all
// its own (numbers, and the string table's English or Chinese): drawn
// without OpenType shaping, which such texts do not need, they take less of
// the window's time. Not for text from the stream: a name in Arabic needs it.
void DrawOwnTextUnshaped(QWidget* view) {
  QFont font = view->font();
  font.setStyleStrategy(QFont::PreferNoShaping);
  view->setFont(font);
}

// An occurrence cell sorted by the number behind it, not by its text.
class OccurrenceItem : public QTableWidgetItem {
public:
  bool operator<(const QTableWidgetItem& other) const override {
    const QVariant a = data(kOccurrenceSortRole), b = other.data(kOccurrenceSortRole);
    if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString) return a.toString() < b.toString();
    return a.toDouble() < b.toDouble();
  }
};

// A tick step of 1, 2, 2.5 or 5 times a power of ten giving about `ticks`
// intervals over `range`, so that the chart's labels are round values.
double NiceStep(double range, int ticks) {
  if (!(range > 0)) return 1;
  const double raw = range / ticks;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double norm = raw / magnitude;
  const double factor = norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 2.5 ? 2.5 : norm <= 5 ? 5 : 10;
  return factor * magnitude;
}

// Puts an axis on [0, a multiple of the step above `top`] with ticks at round values.
void SetNiceAxis(QValueAxis* axis, double top) {
  const double step = NiceStep(top > 0 ? top : 1, 5);
  const double end = std::max(step, std::ceil(top / step - 1e-9) * step);
  axis->setTickType(QValueAxis::TicksDynamic);
  axis->setTickAnchor(0);
  axis->setTickInterval(step);
  axis->setRange(0, end);
  const int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)) + (std::fmod(step * 10, 10) == 5 ? 1 : 0));
  axis->setLabelFormat(QStringLiteral("%.%1f").arg(std::min(decimals, 6)));
}

// No more points than the chart shows apart: neighbouring ones merged, the
// lowest and the highest of each kept, so that every peak is drawn. Laying
// out and drawing a line costs the window in proportion to its points.
QList<QPointF> DrawnLine(const QList<QPointF>& points) {
  constexpr size_t kChartBuckets = 256;
  if (points.size() <= static_cast<qsizetype>(2 * kChartBuckets)) return points;
  TimingSeries merged(kChartBuckets);
  for (qsizetype i = 0; i < points.size(); ++i) merged.Add({static_cast<uint64_t>(i), points[i].x(), points[i].y()});
  QList<QPointF> drawn;
  for (const TimingSample& sample : merged.Points()) drawn.append(QPointF(sample.timeS, sample.value));
  return drawn;
}

// Adds the window thread's CPU time from here to the end of the scope to a step's cost.
class StepClock {
public:
  explicit StepClock(CStreamAnalysisWnd::StepCost& cost) : cost_(cost), startNs_(ThreadCpuNs()) {}
  ~StepClock() {
    const int64_t ns = ThreadCpuNs() - startNs_;
    cost_.longestNs = std::max(cost_.longestNs, ns);
    cost_.totalNs += ns;
  }
  StepClock(const StepClock&) = delete;
  StepClock& operator=(const StepClock&) = delete;

private:
  CStreamAnalysisWnd::StepCost& cost_;
  const int64_t startNs_;
};

// Calls `fit` with the splitter once it has laid out its panes after a change
// of its size (a drag of its handle is no such change); with `once`, only the
// first time it gets a real size.
class SplitterFit : public QObject {
public:
  SplitterFit(QSplitter* split, bool once, std::function<void(QSplitter*)> fit)
      : QObject(split), split_(split), once_(once), fit_(std::move(fit)) {
    split->installEventFilter(this);
  }

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::Resize || static_cast<QResizeEvent*>(event)->size().isEmpty() || queued_) return false;
    // The panes have their new sizes only after the splitter's own handling.
    queued_ = true;
    QTimer::singleShot(0, this, [this] {
      queued_ = false;
      fit_(split_);
      if (once_) {
        split_->removeEventFilter(this);
        deleteLater();
      }
    });
    return false;
  }

private:
  QSplitter* split_;
  const bool once_;
  bool queued_ = false;
  std::function<void(QSplitter*)> fit_;
};

// Hands the key presses of a widget to `handle` first (true: taken).
class KeyHandler : public QObject {
public:
  KeyHandler(QWidget* widget, std::function<bool(QKeyEvent*)> handle) : QObject(widget), handle_(std::move(handle)) {
    widget->installEventFilter(this);
  }

  bool eventFilter(QObject*, QEvent* event) override {
    return event->type() == QEvent::KeyPress && handle_(static_cast<QKeyEvent*>(event));
  }

private:
  std::function<bool(QKeyEvent*)> handle_;
};

// No pane below a usable size: sizes saved from a much larger window come
// scaled down, and a small pane of it would come as a sliver.
void KeepPanesUsable(QSplitter* split) {
  QList<int> sizes = split->sizes();
  int total = 0;
  for (int size : sizes) total += size;
  if (sizes.size() < 2 || total <= 0) return;
  const int least = std::min(kUsablePane, total / (2 * static_cast<int>(sizes.size())));
  bool changed = false;
  for (int& size : sizes) {
    if (size >= least) continue;
    // The largest pane holds at least twice `least`: it gives the difference.
    *std::max_element(sizes.begin(), sizes.end()) -= least - size;
    size = least;
    changed = true;
  }
  if (changed) split->setSizes(sizes);
}

QRect AvailableArea(const QWidget* window) {
  const QWidget* anchor = window->parentWidget() ? window->parentWidget() : window;
  QScreen* screen = anchor->screen() ? anchor->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect(0, 0, kDefaultWidth, kDefaultHeight);
}

}  // namespace

CStreamAnalysisWnd::CStreamAnalysisWnd(QWidget* parent) : CStreamAnalysisWnd(QString(), parent) {}

CStreamAnalysisWnd::CStreamAnalysisWnd(const QString& path, QWidget* parent) : QWidget(parent, Qt::Window) {
  // The worker reads while the widgets are made: building them takes some
  // 10 ms, in which the engine gets through tens of megabytes.
  if (!path.isEmpty()) BeginFileAnalysis(path, limits_);
  setObjectName(Id(kIdStreamAnalysisWindow));
  setWindowTitle(LoadResString(kStrStreamAnalysis));
  setWindowIcon(LoadIconResource(128));
  setFont(GetDialogFont());
  auto* layout = new QVBoxLayout(this);

  auto* bar = new QHBoxLayout;
  auto* open = new QPushButton(LoadResString(kStrOpen), this);
  open->setObjectName(Id(kIdSaOpen));
  auto* recent = new QPushButton(LoadResString(kStrRecentFiles), this);
  recent->setObjectName(Id(kIdSaRecent));
  recentMenu_ = new QMenu(recent);
  recent->setMenu(recentMenu_);
  connect(recentMenu_, &QMenu::aboutToShow, this, &CStreamAnalysisWnd::FillRecentMenu);
  bar->addWidget(open);
  bar->addWidget(recent);
  status_ = new ElidedLabel(this);
  status_->setObjectName(Id(kIdSaStatus));
  progress_ = new QProgressBar(this);
  progress_->setObjectName(Id(kIdSaProgress));
  progress_->setRange(0, 1000);
  progress_->setValue(0);
  cancel_ = new QPushButton(LoadResString(kStrCancel), this);
  cancel_->setObjectName(Id(kIdSaCancel));
  cancel_->setEnabled(false);
  exportJson_ = new QPushButton(LoadResString(kStrExportJson), this);
  exportJson_->setObjectName(Id(kIdSaExportJson));
  exportCsv_ = new QPushButton(LoadResString(kStrExportCsv), this);
  exportCsv_->setObjectName(Id(kIdSaExportCsv));
  auto* close = new QPushButton(LoadResString(kStrClose), this);
  close->setObjectName(Id(kIdSaClose));
  status_->setMinimumWidth(0);
  status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // a long path never widens the window
  bar->addWidget(status_, 3);
  bar->addWidget(progress_, 2);
  bar->addWidget(cancel_);
  bar->addWidget(exportJson_);
  bar->addWidget(exportCsv_);
  bar->addWidget(close);
  layout->addLayout(bar);

  tabs_ = new SteadyTabWidget(this);
  tabs_->setObjectName(Id(kIdSaTabs));
  auto* overview = new QWidget(tabs_);
  auto* packets = new QWidget(tabs_);
  BuildOverview(overview);
  BuildPackets(packets);
  tabs_->addTab(overview, LoadResString(kStrOverview));
  tabs_->addTab(packets, LoadResString(kStrPackets));
  services_ = new SiServicesView(tabs_);
  tables_ = new SiTablesView(tabs_);
  guide_ = new SiGuideView(tabs_);
  tabs_->addTab(services_, LoadResString(kStrServices));
  tabs_->addTab(tables_, LoadResString(kStrTables));
  tabs_->addTab(guide_, LoadResString(kStrGuide));
  connect(services_, &SiServicesView::pidSelected, this, &CStreamAnalysisWnd::SelectPid);
  connect(services_, &SiServicesView::pidActivated, this, [this](int pid) {
    SelectPid(pid);
    tabs_->setCurrentIndex(0);
    pidTable_->setFocus(Qt::OtherFocusReason);
  });
  tables_->SetPacketOf([this](uint64_t offset) -> std::optional<uint64_t> {
    if (!packetFile_.IsOpen()) return std::nullopt;
    return packetFile_.IndexAt(offset);
  });
  connect(tables_, &SiTablesView::packetRequested, this, [this](uint64_t offset) {
    if (packetFile_.IsOpen()) ShowPacket(packetFile_.IndexAt(offset));
  });
  connect(guide_, &SiGuideView::exportRequested, this, [this] {
    Export(QStringLiteral("xml"), kStrExportXmltv, kStrXmltvFiles, &CStreamAnalysisWnd::ExportXmltv);
  });
  timing_ = new StreamAnalysisTiming(tabs_);
  tabs_->addTab(timing_, LoadResString(kStrTiming));
  // The tab redraws a piece per pass of the event loop: each piece is a step of the display.
  connect(timing_, &StreamAnalysisTiming::pieceDrawn, this, [this](qint64 ns) {
    StepCost& cost = stepCosts_[kStepTiming];
    cost.longestNs = std::max<int64_t>(cost.longestNs, ns);
    cost.totalNs += ns;
  });
  help_ = new QTextBrowser(tabs_);
  help_->setObjectName(Id(kIdSaHelp));
  help_->setHtml(ChecksHelpHtml() + QStringLiteral("<hr>") + GettingStartedHtml());
  tabs_->addTab(help_, LoadResString(kStrHelp));
  layout->addWidget(tabs_, 1);
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
    if (index == 0 && chartStale_) ShowChart();
    if (si_) si_->SetGuideWanted(tabs_->currentWidget() == guide_);
    ShowSiPages();
  });

  pollTimer_ = new QTimer(this);
  pollTimer_->setInterval(kPollMs);
  connect(pollTimer_, &QTimer::timeout, this, &CStreamAnalysisWnd::Poll);
  scanTimer_ = new QTimer(this);
  scanTimer_->setInterval(0);
  connect(scanTimer_, &QTimer::timeout, this, &CStreamAnalysisWnd::ScanStep);
  connect(cancel_, &QPushButton::clicked, this, &CStreamAnalysisWnd::Cancel);
  connect(exportJson_, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnExportJson);
  connect(exportCsv_, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnExportCsv);
  connect(open, &QPushButton::clicked, this, &CStreamAnalysisWnd::OnOpen);
  connect(close, &QPushButton::clicked, this, &QWidget::close);
  auto* closeKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
  connect(closeKey, &QShortcut::activated, this, &QWidget::close);
  // The next and previous tab from wherever the focus is (a list would take
  // Ctrl+PgDn as a page down), the focus on the new page's first control.
  const std::pair<QKeySequence, int> tabKeys[] = {
      {QKeySequence(Qt::CTRL | Qt::Key_Tab), 1},        {QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1},
      {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1}, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), -1},
      {QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1}};
  for (const auto& [keys, step] : tabKeys) {
    connect(new QShortcut(keys, this), &QShortcut::activated, this, [this, step = step] {
      tabs_->setCurrentIndex((tabs_->currentIndex() + step + tabs_->count()) % tabs_->count());
      QWidget* page = tabs_->currentWidget();
      QWidget* first = page;
      // The focus chain goes round the window once.
      for (QWidget* w = page->nextInFocusChain(); w && w != page; w = w->nextInFocusChain())
        if (page->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled()) {
          first = w;
          break;
        }
      first->setFocus(Qt::TabFocusReason);
    });
  }
  setAcceptDrops(true);
  status_->setText(LoadResString(kStrDropOrOpen));
  exportJson_->setEnabled(false);
  exportCsv_->setEnabled(false);
  RestoreLayout();
  if (run_) ShowAnalysisBegun();
}

CStreamAnalysisWnd::~CStreamAnalysisWnd() {
  StopWorker();
  if (guideJoin_.joinable()) guideJoin_.join();
}

void CStreamAnalysisWnd::StopWorker() {
  if (run_) run_->cancel.store(true);
  if (!worker_.joinable()) return;
  if (live_) {
    // A box that stopped answering must not hold the window: after a second
    // its pending request is cancelled, and later requests work again.
    for (int i = 0; i < 100 && !run_->done.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!run_->done.load()) {
      CancelTunerRequests();
      worker_.join();
      ResumeTunerRequests();
      return;
    }
  }
  worker_.join();
}

void CStreamAnalysisWnd::BuildOverview(QWidget* page) {
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* split = new QSplitter(Qt::Horizontal, page);
  split->setObjectName(Id(kIdSaSplitOverview));
  layout->addWidget(split);

  auto* left = new QSplitter(Qt::Vertical, split);
  left->setObjectName(Id(kIdSaSplitLeft));
  // However many programs the stream has, the summary scrolls inside its
  // pane instead of growing the window. A text view, not a label: it lays
  // its text out once for its width, where a word-wrapped label in a scroll
  // area measures a new text over and over for its size hints.
  summary_ = new QTextBrowser(left);
  summary_->setObjectName(Id(kIdSaSummary));
  summary_->setFrameShape(QFrame::NoFrame);
  summary_->setOpenLinks(false);
  summary_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  summary_->document()->setDocumentMargin(0);
  summary_->viewport()->setAutoFillBackground(false);  // on the window's own background, as a label
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
  pidTable_->horizontalHeader()->setResizeContentsPrecision(64);  // many PIDs: a poll measures no more rows
  // What a PID carries is the longest text: last, taking what room is left,
  // so that the count columns stay in view.
  pidTable_->horizontalHeader()->moveSection(PidTableModel::kColCarries, PidTableModel::kColumnCount - 1);
  pidTable_->horizontalHeader()->setSectionResizeMode(PidTableModel::kColCarries, QHeaderView::Interactive);
  pidTable_->horizontalHeader()->setStretchLastSection(true);
  pidTable_->setTextElideMode(Qt::ElideRight);
  pidTable_->setTabKeyNavigation(false);  // Tab leaves the lists; the arrows move inside
  DrawOwnTextUnshaped(pidTable_);
  left->addWidget(summary_);
  left->addWidget(pidTable_);
  left->setStretchFactor(1, 1);
  left->setStretchFactor(2, 1);

  auto* right = new QSplitter(Qt::Vertical, split);
  right->setObjectName(Id(kIdSaSplitRight));
  // The checks under the choice of the service information they expect.
  auto* checksBox = new QWidget(right);
  auto* checksLayout = new QVBoxLayout(checksBox);
  checksLayout->setContentsMargins(0, 0, 0, 0);
  checksLayout->setSpacing(2);
  auto* siRow = new QHBoxLayout;
  auto* siLabel = new QLabel(LoadResString(kStrServiceInformation), checksBox);
  siChoice_ = NewSiChoice(checksBox, limits_.si);
  siLabel->setBuddy(siChoice_);
  siRow->addWidget(siLabel);
  siRow->addWidget(siChoice_);
  siRow->addStretch(1);
  checksLayout->addLayout(siRow);
  checks_ = new QTableWidget(0, 2, checksBox);
  checksLayout->addWidget(checks_, 1);
  checks_->setObjectName(Id(kIdSaChecks));
  checks_->setHorizontalHeaderLabels({LoadResString(kStrCheck), LoadResString(kStrStatus)});
  checks_->verticalHeader()->hide();
  checks_->verticalHeader()->setDefaultSectionSize(checks_->fontMetrics().height() + 4);
  checks_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  checks_->horizontalHeader()->setStretchLastSection(true);
  checks_->setSelectionBehavior(QAbstractItemView::SelectRows);
  checks_->setSelectionMode(QAbstractItemView::SingleSelection);
  checks_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  checks_->setTabKeyNavigation(false);
  checkRows_.Fill(checks_);
  DrawOwnTextUnshaped(checks_);
  auto* occurrencesBox = new QWidget(right);
  auto* occurrencesLayout = new QVBoxLayout(occurrencesBox);
  occurrencesLayout->setContentsMargins(0, 0, 0, 0);
  occurrencesLayout->setSpacing(2);
  occurrences_ = new QTableWidget(0, 5, occurrencesBox);
  occurrences_->setObjectName(Id(kIdSaOccurrences));
  const QStringList occurrenceHeaders = {LoadResString(kStrTime), LoadResString(kStrPacket), LoadResString(kStrOffset),
                                         LoadResString(kStrPid), LoadResString(kStrDescription)};
  occurrences_->setHorizontalHeaderLabels(occurrenceHeaders);
  occurrences_->verticalHeader()->hide();
  DrawOwnTextUnshaped(occurrences_);
  occurrences_->verticalHeader()->setDefaultSectionSize(occurrences_->fontMetrics().height() + 4);
  // The number columns as wide as their largest values: measuring the rows'
  // contents on every new row would cost a poll more than the rows do.
  const QString widest[4] = {QStringLiteral("99999.999"), QStringLiteral("9999999999"), QStringLiteral("999999999999"),
                             PidText(0x1FFF)};
  for (int c = 0; c < 4; ++c) {
    const QFontMetrics metrics = occurrences_->fontMetrics();
    occurrences_->horizontalHeader()->setSectionResizeMode(c, QHeaderView::Interactive);
    occurrences_->setColumnWidth(c, std::max(metrics.horizontalAdvance(widest[c]),
                                             metrics.horizontalAdvance(occurrenceHeaders[c]) + 20) + 12);
  }
  // What happened, right after when: the numbers after it may go out of
  // view in a narrow pane, the description should not.
  occurrences_->horizontalHeader()->moveSection(4, 1);
  occurrences_->setColumnWidth(4, occurrences_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 30);
  occurrences_->horizontalHeader()->setStretchLastSection(true);
  occurrencesMore_ = new QLabel(occurrencesBox);
  occurrencesMore_->setObjectName(Id(kIdSaOccurrencesMore));
  occurrencesMore_->setWordWrap(true);
  occurrencesMore_->hide();
  occurrencesLayout->addWidget(occurrences_, 1);
  occurrencesLayout->addWidget(occurrencesMore_);
  occurrences_->setSelectionBehavior(QAbstractItemView::SelectRows);
  occurrences_->setSelectionMode(QAbstractItemView::SingleSelection);
  occurrences_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  occurrences_->setTabKeyNavigation(false);
  occurrences_->setSortingEnabled(true);
  occurrences_->sortByColumn(2, Qt::AscendingOrder);  // stream order

  // The chart under the PID table whose PID it plots, so that the checks
  // have the right side's height to themselves.
  auto* chartBox = new QWidget(left);
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

  rateAxis_ = new QValueAxis(chart);
  rateAxis_->setTitleText(LoadResString(kStrMbits));

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
  // The keys read the chart as hovering does: Left and Right step through
  // the points (the selected PID's line when it has one), PageUp and
  // PageDown ten at a time, Home and End to the ends.
  new KeyHandler(chartView_, [this, point = std::make_shared<int>(-1)](QKeyEvent* key) {
    // Every bucket of the engine's, where the line drawn may merge some.
    const bool pid = pidSeries_->isVisible();
    QLineSeries* series = pid ? pidSeries_ : muxSeries_;
    const QList<QPointF>& points = pid ? pidPoints_ : muxPoints_;
    const int count = static_cast<int>(points.size());
    const int at = std::clamp(*point, 0, std::max(count - 1, 0));
    int next = 0;
    switch (key->key()) {
      case Qt::Key_Left: next = *point < 0 ? 0 : at - 1; break;
      case Qt::Key_Right: next = *point < 0 ? 0 : at + 1; break;
      case Qt::Key_PageUp: next = at - 10; break;
      case Qt::Key_PageDown: next = at + 10; break;
      case Qt::Key_Home: next = 0; break;
      case Qt::Key_End: next = count - 1; break;
      default: return false;
    }
    if (count == 0) return true;
    *point = std::clamp(next, 0, count - 1);
    const QPointF p = points[*point];
    chartValue_->setText(LoadResString(kStrChartValue)
                             .arg(series->name(), QString::number(p.x(), 'f', 3), QString::number(p.y(), 'f', 3)));
    return true;
  });
  left->addWidget(chartBox);
  right->addWidget(checksBox);
  right->addWidget(occurrencesBox);
  right->setStretchFactor(1, 1);
  // Every check in view, never more room than that: a higher window gives
  // the occurrences the rest, a low one shares what there is. Refitted when
  // the window's height changes; a drag of the handle holds until then.
  new SplitterFit(right, false, [this, checksBox, checksLayout](QSplitter* split) {
    const QList<int> sizes = split->sizes();
    const int total = sizes.size() == 2 ? sizes[0] + sizes[1] : 0;
    if (total <= 0) return;
    int need = siChoice_->sizeHint().height() + checksLayout->spacing() + checks_->horizontalHeader()->sizeHint().height() +
               checks_->verticalHeader()->length() + 2 * checks_->frameWidth() + 2;
    if (checks_->horizontalHeader()->length() > checksBox->width() - 2 * checks_->frameWidth())
      need += checks_->horizontalScrollBar()->sizeHint().height();
    const int occurrencesLeast = occurrences_->horizontalHeader()->sizeHint().height() +
                                 4 * occurrences_->verticalHeader()->defaultSectionSize() + 2 * occurrences_->frameWidth();
    const int checks = std::min(need, std::max(total - occurrencesLeast, total / 2));
    if (checks != sizes[0]) split->setSizes({checks, total - checks});
  });
  split->addWidget(left);
  split->addWidget(right);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  // Tab in reading order: the left column down, then the right.
  setTabOrder(pidTable_, chartView_);
  setTabOrder(chartView_, siChoice_);

  connect(checks_, &QTableWidget::itemSelectionChanged, this, &CStreamAnalysisWnd::ShowOccurrences);
  // Enter or a double click on a check: what it means, in Help (its tooltip
  // is for the mouse only).
  connect(checks_, &QTableWidget::cellActivated, this, [this](int row) {
    if (checkRows_.CheckAt(row) < 0) return;
    tabs_->setCurrentWidget(help_);
    help_->scrollToAnchor(CheckHelpAnchor(static_cast<HealthCheck>(checkRows_.CheckAt(row))));
    help_->setFocus(Qt::OtherFocusReason);
  });
  connect(checks_, &QTableWidget::currentCellChanged, this, [this](int row, int, int, int) {
    if (checkRows_.CheckAt(row) >= 0) help_->scrollToAnchor(CheckHelpAnchor(static_cast<HealthCheck>(checkRows_.CheckAt(row))));
  });
  connect(siChoice_, &QComboBox::activated, this, [this](int index) {
    // The priority 3 checks judge the stream again against the chosen standard.
    limits_.si = static_cast<SiStandard>(index);
    if (!live_ && !path_.isEmpty()) Start(path_, limits_);
  });
  // A click, a double click or Enter opens the occurrence's packet; the
  // arrows move through the list without leaving the tab.
  auto openOccurrence = [this](int row) {
    activeOccurrence_ = UINT64_MAX;  // the same one again, after a look elsewhere
    OnOccurrenceActivated(row);
  };
  connect(occurrences_, &QTableWidget::cellClicked, this, openOccurrence);
  connect(occurrences_, &QTableWidget::cellActivated, this, openOccurrence);
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
  // What each field takes, for whoever reaches it by Tab rather than by eye.
  searchValue_->setPlaceholderText(LoadResString(kStrValue));
  auto* find = new QPushButton(LoadResString(kStrFindNext), page);
  find->setObjectName(Id(kIdSaFindNext));
  gotoPacket_ = new QLineEdit(page);
  gotoPacket_->setObjectName(Id(kIdSaGotoPacket));
  gotoPacket_->setMaximumWidth(110);
  gotoPacket_->setPlaceholderText(LoadResString(kStrPacket));
  auto* gotoPacketButton = new QPushButton(LoadResString(kStrGotoPacket), page);
  gotoPacketButton->setObjectName(Id(kIdSaGotoPacketButton));
  gotoOffset_ = new QLineEdit(page);
  gotoOffset_->setObjectName(Id(kIdSaGotoOffset));
  gotoOffset_->setMaximumWidth(110);
  gotoOffset_->setPlaceholderText(LoadResString(kStrOffset));
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
  connect(new QShortcut(QKeySequence::Find, page), &QShortcut::activated, this, [this] {
    searchValue_->setFocus(Qt::ShortcutFocusReason);
    searchValue_->selectAll();
  });

  auto* split = new QSplitter(Qt::Horizontal, page);
  split->setObjectName(Id(kIdSaSplitPackets));
  packetModel_ = new PacketListModel(packetFile_, this);
  packetList_ = new PacketListView(split);
  packetList_->setObjectName(Id(kIdSaPacketList));
  packetList_->setModel(packetModel_);
  const int digit = packetList_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  QList<int> widths;
  int column = 0;
  for (int chars : {11, 13, 14, 5, 4, 4, 22}) {
    // As wide as its values, and as its name in the user's language.
    const QString header = packetModel_->headerData(column++, Qt::Horizontal, Qt::DisplayRole).toString();
    widths.append(std::max((chars + 2) * digit, packetList_->fontMetrics().horizontalAdvance(header) + 2 * digit));
  }
  packetList_->setColumnWidths(widths);
  auto* detail = new QSplitter(Qt::Vertical, split);
  detail->setObjectName(Id(kIdSaSplitDetail));
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  hex_ = new QPlainTextEdit(detail);
  hex_->setObjectName(Id(kIdSaHex));
  hex_->setReadOnly(true);
  hex_->setFont(fixed);
  hex_->setLineWrapMode(QPlainTextEdit::NoWrap);
  hex_->setAcceptDrops(false);  // a dropped file goes to the window
  decoded_ = new QPlainTextEdit(detail);
  decoded_->setObjectName(Id(kIdSaDecoded));
  decoded_->setReadOnly(true);
  decoded_->setFont(fixed);
  decoded_->setLineWrapMode(QPlainTextEdit::NoWrap);
  decoded_->setAcceptDrops(false);
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
  // Whatever was shown belongs to the previous file.
  StopScans();
  StopWorker();
  pollTimer_->stop();
  timing_->SetSource(nullptr);  // it keeps no result of the last analysis
  packetFile_.Close();
  {
    const QSignalBlocker block(onlyPid_);
    onlyPid_->setChecked(false);
  }
  packetModel_->ShowAll();
  hex_->clear();
  decoded_->clear();
  progress_->setValue(0);
  services_->Clear();
  tables_->Clear();
  guide_->Clear();
  BeginFileAnalysis(path, limits);
  {
    const QSignalBlocker block(siChoice_);
    siChoice_->setCurrentIndex(static_cast<int>(limits.si));
  }
  cancel_->setText(LoadResString(kStrCancel));
  if (run_) ShowAnalysisBegun();
}

void CStreamAnalysisWnd::ResetAnalysis() {
  run_.reset();
  outcome_ = {};
  result_ = std::make_shared<const HealthResult>();
  timingResult_.reset();
  pendingTurns_ = 0;
  shownPublication_ = 0;
  stepCosts_ = {};
  occurrencesCheck_ = -2;
  redrawAfterMs_ = 0;
  finished_ = false;
  error_.clear();
  activeOccurrence_ = keepPacket_ = UINT64_MAX;
  streaming_ = false;
  appliedSegments_ = 0;
  si_.reset();
  shownSi_ = 0;
  latestSi_.reset();
  tablesSi_.reset();
  guideSi_.reset();
  live_ = false;
}

void CStreamAnalysisWnd::BeginFileAnalysis(const QString& path, const HealthLimits& limits) {
  ResetAnalysis();
  path_ = path;
  limits_ = limits;
  if (path.isEmpty()) return;
  if (QFileInfo::exists(path)) RememberRecentFile(path);
  run_ = std::make_unique<HealthFileRun>();
  HealthFileRun* run = run_.get();
  const std::string file = path.toStdString();
  streaming_ = IsStreamingInput(file);
  LaunchWorker(limits, [file, limits, run](const HealthFileOptions& options) {
    return AnalyseHealthFile(file, limits, options, run);
  });
}

void CStreamAnalysisWnd::LaunchWorker(const HealthLimits& limits, Analysis analyse) {
  if (guideJoin_.joinable()) guideJoin_.join();
  si_ = std::make_shared<SiRun>(kPollMs / 2000.0);
  timingCollector_ = std::make_shared<TimingCollector>(limits.pcrDiscontinuityS);
  observers_ = std::make_shared<StreamObserverFanout>();
  observers_->Add(timingCollector_.get());
  HealthFileOptions options;
  options.publishIntervalS = kPollMs / 2000.0;
  options.prepare = [si = si_, observers = observers_](StreamHealth& health) {
    observers->Add(&si->Attach(health));
    health.SetObserver(observers.get());
  };
  options.onBlock = [si = si_](uint64_t, int64_t) { si->OnBlock(); };
  worker_ = std::thread([this, si = si_, options = std::move(options), analyse = std::move(analyse)] {
    outcome_ = analyse(options);
    // Also when it ended early (a file that cannot be opened, a box that
    // failed to tune or went away): Poll waits for this final snapshot.
    si->Finish(outcome_.result);
    WakeWhenDone();
  });
  analysisClock_.start();
}

void CStreamAnalysisWnd::ShowAnalysisBegun() {
  if (!live_) setWindowTitle(LoadResString(kStrStreamAnalysis) + QStringLiteral(" - ") + QFileInfo(path_).fileName());
  cancel_->setEnabled(true);
  // The guide in front follows the analysis: its snapshots come joined.
  si_->SetGuideWanted(tabs_->currentWidget() == guide_);
  timing_->SetSource(timingCollector_);
  pollTimer_->start();
  ShowResult();
  ShowStatus();
}

void CStreamAnalysisWnd::StartLive() {
  Start(QString());  // clears the window; an empty path reads nothing
  live_ = true;
  liveStatus_.streaming.store(false);
  liveStatus_.signalRead.store(false);
  liveStatus_.overruns.store(0);
  liveStatus_.idleS.store(0);
  path_ = LoadResString(kStrLiveStreamAnalysis);
  setWindowTitle(path_);
  cancel_->setText(LoadResString(kStrStop));
  run_ = std::make_unique<HealthFileRun>();
  LaunchWorker(limits_, [this, limits = limits_, run = run_.get()](const HealthFileOptions& options) {
    return AnalyseLiveStream(limits, options, run, &liveStatus_);
  });
  ShowAnalysisBegun();
}

void CStreamAnalysisWnd::Cancel() {
  if (run_ && !finished_) run_->cancel.store(true);
}

void CStreamAnalysisWnd::WakeWhenDone() {
  // The end is shown when it comes, not at the next poll: a short file
  // would otherwise wait out most of a poll interval for nothing.
  QMetaObject::invokeMethod(this, &CStreamAnalysisWnd::Poll, Qt::QueuedConnection);
}

void CStreamAnalysisWnd::Poll() {
  if (!run_ || finished_) return;
  // One copy of the result and one display per poll: the worker published
  // its last result before it said it was done, and ends with the last
  // service information snapshot, so the join then waits for nothing.
  const bool done = run_->done.load() && (!si_ || si_->Finished());
  const uint64_t published = run_->PublishedCount();
  // While the end is due before the next poll, what a result would redraw is
  // replaced by the end's display in a moment: only the progress moves.
  const bool endNear = !done && EndIsNear();
  uint32_t turns = 1u << kTurnStatus;
  if (!endNear) turns |= 1u << kTurnServiceInformation;
  if (published != shownPublication_ && !endNear) {
    shownPublication_ = published;
    {
      StepClock clock(stepCosts_[kStepTake]);
      result_ = run_->LatestShared();
    }
    ++updates_;
    turns |= ResultTurns();
  }
  if (done) {
    pendingTurns_ = 0;
    if (worker_.joinable()) worker_.join();
    pollTimer_->stop();
    finished_ = true;
    cancel_->setEnabled(false);
    if (!outcome_.opened || outcome_.readError) error_ = QString::fromStdString(outcome_.error);
    // At the end the result comes first: it opens the packet file by which
    // the tables name their first packets.
    ShowResult();
    ShowServiceInformation();
    if (latestSi_ && tabs_->currentWidget() != guide_) {
      // The guide behind another tab is joined meanwhile, so that showing it
      // later does not hold the window for a large schedule.
      if (guideJoin_.joinable()) guideJoin_.join();
      guideJoin_ = std::thread([snapshot = latestSi_] { snapshot->Guide(); });
    }
    ShowStatus();  // before the signal: whoever listens reads the final status
    emit analysisFinished();
    return;
  }
  // What fits in this pass now, the rest in the next passes of the event loop.
  pendingTurns_ |= turns;
  NextTurn();
}

bool CStreamAnalysisWnd::EndIsNear() const {
  if (live_ || streaming_) return false;
  const uint64_t done = run_->bytesDone.load();
  const int64_t total = run_->bytesTotal.load();
  const qint64 elapsedMs = analysisClock_.elapsed();
  if (total <= 0 || done == 0 || done >= static_cast<uint64_t>(total) || elapsedMs <= 0) return false;
  // At the pace so far.
  const double remainingMs =
      static_cast<double>(elapsedMs) * static_cast<double>(static_cast<uint64_t>(total) - done) / static_cast<double>(done);
  return remainingMs < kPollMs / 2;
}

uint32_t CStreamAnalysisWnd::ResultTurns() {
  // While the analysis runs, what takes laying out text or drawing lines
  // (the summary, the PID table, the bitrate chart in view) is redrawn at
  // most once a second and at most a small share of the window's time; the
  // checks and the new occurrences every poll.
  // What is new in kind (a PID, a program, the signal read) shows at once.
  uint32_t turns = 1u << kTurnChecks | 1u << kTurnTiming;
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  const std::array<size_t, 3> shape = {result_->pids.size(), result_->programs.size(), liveStatus_.signalRead.load() ? 1u : 0u};
  if (now >= redrawAfterMs_ || shape != shownShape_) {
    shownShape_ = shape;
    redrawnAtMs_ = now;
    redrawCostNs_ = 0;
    redrawAfterMs_ = now + kRedrawMs;
    turns |= 1u << kTurnSummary | 1u << kTurnPids;
    if (tabs_->currentIndex() == 0) turns |= 1u << kTurnChart;
    else chartStale_ = true;
  }
  return turns;
}

void CStreamAnalysisWnd::NextTurn() {
  turnQueued_ = false;
  // Turns run back to back while they are cheap, so that what they change is
  // painted once; the rest of a dear one's update waits for the next pass.
  const int64_t passStartNs = ThreadCpuNs();
  while (pendingTurns_ != 0 && ThreadCpuNs() - passStartNs < kTurnPassNs) {
    const Turn turn = static_cast<Turn>(std::countr_zero(pendingTurns_));
    pendingTurns_ &= ~(1u << turn);
    const int64_t startNs = ThreadCpuNs();
    RunTurn(turn);
    if (turn == kTurnSummary || turn == kTurnPids || turn == kTurnChart) {
      // Painted after this: counted twice over for that.
      redrawCostNs_ += (ThreadCpuNs() - startNs) * 2;
      redrawAfterMs_ = redrawnAtMs_ + std::max<int64_t>(kRedrawMs, redrawCostNs_ / 1'000'000 * kRedrawCostShare);
    }
  }
  if (pendingTurns_ != 0 && !turnQueued_) {
    turnQueued_ = true;
    QTimer::singleShot(0, this, &CStreamAnalysisWnd::NextTurn);
  }
}

void CStreamAnalysisWnd::RunTurn(Turn turn) {
  switch (turn) {
    case kTurnChecks: {
      {
        StepClock clock(stepCosts_[kStepChecks]);
        ShowChecks();
      }
      {
        StepClock clock(stepCosts_[kStepOccurrences]);
        ShowOccurrences();
      }
      ShowFileState();
      break;
    }
    case kTurnSummary: {
      StepClock clock(stepCosts_[kStepSummary]);
      ShowSummary();
      break;
    }
    case kTurnPids: {
      StepClock clock(stepCosts_[kStepPids]);
      // New PIDs reset the model, which drops the selection: the chart's PID is
      // selected again.
      const int selected = SelectedPid();
      pidModel_->SetResult(*result_);
      if (selected >= 0 && SelectedPid() != selected) SelectPid(selected);
      break;
    }
    case kTurnChart: {
      StepClock clock(stepCosts_[kStepChart]);
      ShowChart();
      break;
    }
    case kTurnTiming: {
      StepClock clock(stepCosts_[kStepTiming]);
      timingResult_ = result_;  // what the tab keeps pointing into
      timing_->Show(*timingResult_, finished_);
      break;
    }
    case kTurnServiceInformation: ShowServiceInformation(); break;
    case kTurnStatus: ShowStatus(); break;
    case kTurnCount: break;
  }
}

void CStreamAnalysisWnd::ShowResult() {
  // Everything at once: at the start and at the end of an analysis.
  pendingTurns_ = 0;
  shownShape_ = {result_->pids.size(), result_->programs.size(), liveStatus_.signalRead.load() ? 1u : 0u};
  redrawnAtMs_ = QDateTime::currentMSecsSinceEpoch();
  redrawCostNs_ = 0;
  redrawAfterMs_ = redrawnAtMs_ + kRedrawMs;
  for (Turn turn : {kTurnSummary, kTurnPids}) RunTurn(turn);
  if (finished_ || tabs_->currentIndex() == 0) RunTurn(kTurnChart);
  else chartStale_ = true;
  for (Turn turn : {kTurnChecks, kTurnTiming}) RunTurn(turn);
}

void CStreamAnalysisWnd::ShowFileState() {
  const bool stream = CanExport();
  exportJson_->setEnabled(stream);
  exportCsv_->setEnabled(stream);
  if (live_ || streaming_) return;  // no file to inspect
  if (!packetFile_.IsOpen() && result_->packetSize > 0 && packetFile_.Open(path_.toStdString(), result_->packetSize)) {
    packetFile_.SetSyncSegments(result_->syncSegments);
    appliedSegments_ = result_->syncSegments.size();
    packetModel_->ShowAll();
  } else if (packetFile_.IsOpen() && result_->syncSegments.size() != appliedSegments_) {
    // The engine gained sync again: number the packets as it does.
    appliedSegments_ = result_->syncSegments.size();
    const int row = packetList_->currentRow();
    const uint64_t current = row >= 0 ? packetModel_->PacketAtRow(row) : UINT64_MAX;
    packetFile_.SetSyncSegments(result_->syncSegments);
    if (!packetModel_->Filtered()) {
      packetModel_->ShowAll();
      if (current != UINT64_MAX) packetList_->setCurrentRow(packetModel_->RowOfPacket(current));
    }
  }
}

void CStreamAnalysisWnd::ShowStatus() {
  if (!run_) return;
  const uint64_t done = run_->bytesDone.load();
  const int64_t total = run_->bytesTotal.load();
  if (total > 0) {
    progress_->setRange(0, 1000);
    SetProgress(static_cast<int>(std::min<uint64_t>(1000, done * 1000 / static_cast<uint64_t>(total))));
  } else if (!finished_ && (live_ || streaming_)) {
    // An input of unknown length: a busy bar. (A file's length is not known
    // either until the worker has opened it.)
    progress_->setRange(0, 0);
  }
  if (finished_) progress_->setRange(0, 1000);
  const QString totalText = total >= 0 ? Megabytes(static_cast<uint64_t>(total)) : QStringLiteral("?");
  const QString failure = FailureText();
  if (!failure.isEmpty()) {
    status_->setText(LoadResString(live_ ? kStrCannotAnalyseLive : kStrCannotAnalyse).arg(failure));
  } else if (live_) {
    if (!liveStatus_.streaming.load() && !finished_) status_->setText(LoadResString(kStrTuning));
    else if (!finished_ && liveStatus_.idleS.load() >= kLiveStallS)
      status_->setText(LoadResString(kStrLiveStalled).arg(static_cast<int>(liveStatus_.idleS.load())));
    else status_->setText(LoadResString(finished_ ? kStrLiveStopped : kStrLiveBytes).arg(Megabytes(done)));
    if (finished_) progress_->setValue(1000);
  } else if (!finished_) {
    if (total >= 0) status_->setText(LoadResString(kStrAnalysing).arg(Megabytes(done), totalText));
    else if (done == 0) status_->setText(LoadResString(kStrAnalysingPipe).arg(QFileInfo(path_).fileName()));
    else status_->setText(LoadResString(kStrAnalysingSoFar).arg(Megabytes(done)));
  } else if (result_->partial) {
    status_->setText(LoadResString(kStrPartial).arg(Megabytes(result_->bytes), totalText));
  } else {
    progress_->setValue(1000);
    status_->setText(LoadResString(kStrComplete).arg(Megabytes(result_->bytes)));
  }
  status_->setToolTip(status_->text());
}

void CStreamAnalysisWnd::SetProgress(int value) {
  if (value == progress_->value()) return;
  // A progress bar paints itself at once on a new value; this one waits for
  // the window's next painting, with everything else a poll changed.
  progress_->setUpdatesEnabled(false);
  progress_->setValue(value);
  progress_->setUpdatesEnabled(true);  // and asks for that painting
}

QString CStreamAnalysisWnd::FailureText() const {
  if (!finished_) return {};
  if (!outcome_.opened || (live_ && outcome_.readError)) return error_;
  if (result_->Verdict() != HealthVerdict::NoStream || result_->partial) return {};
  if (live_)
    return LoadResString(kStrNoLiveStream).arg(QString::number(result_->bytes), QString::number(limits_.syncAcquirePackets));
  // The sentence of the command-line analysis, in the user's language.
  return LoadResString(kStrNoStream)
      .arg(path_, QString::number(result_->bytes), QString::number(limits_.syncAcquirePackets));
}

bool CStreamAnalysisWnd::CanExport() const {
  if (!run_ || result_->Verdict() == HealthVerdict::NoStream) return false;
  return !finished_ || outcome_.opened;  // the outcome is the worker's until it ended
}

void CStreamAnalysisWnd::ShowSummary() {
  const HealthResult& r = *result_;
  auto row = [](int label, const QString& value) {
    return QStringLiteral("<tr><td valign=\"top\"><b>%1</b>&nbsp;&nbsp;</td><td>%2</td></tr>").arg(Html(LoadResString(label)), value);
  };
  auto red = [](const QString& text) { return QStringLiteral("<span style=\"color:#b00000\">%1</span>").arg(text); };
  const QString unknown = Html(LoadResString(kStrUnknownNoPcr));
  QString programs;
  for (const ProgramInfo& p : r.programs) {
    if (!programs.isEmpty()) programs += QStringLiteral("<br>");
    programs += QString::number(p.programNumber);
    const QString& name = ServiceName(p.serviceNameBytes);
    if (!name.isEmpty()) programs += QStringLiteral(" &quot;%1&quot;").arg(Html(name));
    programs += QStringLiteral(", PMT %1").arg(Html(PidText(p.pmtPid)));
  }
  QString verdict;
  const QString failure = FailureText();
  if (!run_) {
    verdict = QStringLiteral("-");
  } else if (!failure.isEmpty()) {
    verdict = red(Html(LoadResString(kStrNoVerdict) + QStringLiteral(": ") + failure));
  } else if (r.packets == 0) {
    verdict = Html(LoadResString(finished_ ? kStrNoVerdict : kStrVerdictPending));
  } else {
    switch (r.Verdict()) {
      case HealthVerdict::Errors: {
        QString errors = LoadResString(kStrOneErrorInOneCheck);
        if (r.ChecksWithErrors() > 1)
          errors = LoadResString(kStrErrorsInChecks).arg(r.TotalErrors()).arg(r.ChecksWithErrors());
        else if (r.TotalErrors() > 1)
          errors = LoadResString(kStrErrorsInOneCheck).arg(r.TotalErrors());
        verdict = red(Html(errors));
        break;
      }
      case HealthVerdict::NotEvaluated: {
        QStringList which;
        for (size_t i = 0; i < kHealthCheckCount; ++i)
          if (!r.checks[i].evaluated) which << QLatin1String(GetHealthCheckInfo(static_cast<HealthCheck>(i)).number);
        verdict = Html(LoadResString(kStrNoErrorsSomeNotEvaluated).arg(which.join(QStringLiteral(", "))));
        break;
      }
      default: verdict = Html(LoadResString(kStrNoErrors)); break;
    }
    if (!finished_) verdict += QStringLiteral(" ") + Html(LoadResString(kStrVerdictPending));
  }
  if (r.partial)
    verdict += QStringLiteral(" <b>%1</b>").arg(Html(LoadResString(error_.isEmpty() ? kStrPartialMark : kStrPartialReadError)));
  if (finished_) {  // while it runs, a PID may still come
    QStringList neverSeen;
    size_t count = 0;
    for (const ProgramInfo& p : r.programs)
      for (int pid : r.NeverSeenPids(p))
        if (++count <= kNeverSeenListed)
          neverSeen << QStringLiteral("%1 (%2)").arg(HexText(static_cast<uint64_t>(pid), 4), LoadResString(kStrProgramItem).arg(p.programNumber));
    QString listed = neverSeen.join(QStringLiteral(", "));
    if (count > kNeverSeenListed) listed = LoadResString(kStrAndMore).arg(listed).arg(count - kNeverSeenListed);
    if (count > 0) verdict += QStringLiteral("<br>") + Html(LoadResString(kStrNeverSeen).arg(listed));
  }
  QString bytes = LoadResString(kStrBytesSkipped).arg(r.bytes).arg(r.bytesSkipped);
  if (r.truncatedTailBytes > 0) bytes.insert(bytes.size() - 1, LoadResString(kStrTruncatedTail).arg(r.truncatedTailBytes));
  // The verdict first: a long program list below it never hides it.
  QString html = QStringLiteral("<table>");
  html += row(kStrVerdict, verdict);
  html += row(kStrFile, Html(path_.isEmpty() ? LoadResString(kStrDropOrOpen) : path_));
  if (live_) {
    const LiveStatus& l = liveStatus_;
    html += row(kStrSignal, l.signalRead.load()
                                ? Html(LoadResString(kStrSignalValues)
                                           .arg(LoadResString(l.locked.load() ? kStrLocked : kStrNoLock))
                                           .arg(l.strength.load())
                                           .arg(l.quality.load()))
                                : QStringLiteral("-"));
  }
  html += row(kStrPacketSize, r.packetSize > 0 ? QString::number(r.packetSize) : QStringLiteral("-"));
  html += row(kStrPackets, QString::number(r.packets));
  html += row(kStrBytes, r.bytesSkipped > 0 || r.truncatedTailBytes > 0 ? red(Html(bytes)) : Html(bytes));
  html += row(kStrDuration, r.durationS ? QStringLiteral("%1 s").arg(*r.durationS, 0, 'f', 3) : unknown);
  html += row(kStrMuxBitrate, r.bitrateBps ? QStringLiteral("%1 Mbit/s").arg(Mbits(*r.bitrateBps)) : unknown);
  html += row(kStrPrograms, programs.isEmpty() ? QStringLiteral("-")
                                               : QStringLiteral("%1<br>%2").arg(r.programs.size()).arg(programs));
  html += QStringLiteral("</table>");
  if (html == summaryHtml_) return;
  summaryHtml_ = html;
  // Where the user scrolled to stays in view as the values change.
  const int scrolled = summary_->verticalScrollBar()->value();
  summary_->setHtml(html);
  summary_->verticalScrollBar()->setValue(scrolled);
}

const QString& CStreamAnalysisWnd::ServiceName(const std::string& bytes) {
  auto it = serviceNames_.find(bytes);
  if (it == serviceNames_.end()) {
    if (serviceNames_.size() >= kMaxServiceNames) serviceNames_.clear();
    it = serviceNames_.emplace(bytes, QString::fromStdString(DecodeDvbText(bytes))).first;  // UTF-8
  }
  return it->second;
}

void CStreamAnalysisWnd::ShowChecks() {
  // No stream (or none yet): no check has a result to show, least of all OK.
  const bool noResult = result_->packets == 0;
  for (size_t i = 0; i < kHealthCheckCount; ++i) {
    const HealthCheckResult& check = result_->checks[i];
    const int row = checkRows_.RowOf(static_cast<HealthCheck>(i));
    QTableWidgetItem* item = checks_->item(row, 1);
    QColor background;
    QString tip;
    QString text;
    if (noResult) {
      text = finished_ ? QStringLiteral("-") : QString();
      background = QColor(230, 230, 230);
    } else if (!check.evaluated) {
      const QString why = QString::fromStdString(TranslateAndFill(check.notEvaluatedTemplate, check.notEvaluatedValues));
      text = why.isEmpty() ? LoadResString(kStrNotEvaluated) : LoadResString(kStrNotEvaluatedBecause).arg(why);
      tip = text;
      background = QColor(230, 230, 230);
    } else if (check.count == 0) {
      text = LoadResString(kStrOk);
      background = QColor(214, 245, 214);
    } else {
      text = LoadResString(kStrErrorCount).arg(check.count);
      background = QColor(255, 214, 214);
    }
    if (item->text() != text) item->setText(text);
    // Set only when changed: every change repaints the cell.
    if (item->toolTip() != tip) item->setToolTip(tip);
    if (item->background().color() != background) item->setBackground(background);
    QTableWidgetItem* name = checks_->item(row, 0);
    if (name->background().color() != background) name->setBackground(background);
  }
}

void CStreamAnalysisWnd::ShowOccurrences() {
  // The selected check's occurrences, or every evaluated check's when none
  // is selected; in stream order until the user sorts by another column.
  // Occurrences are only ever added to a check's first ones, so a poll adds
  // the new rows; anything else (another check chosen, a check no longer
  // evaluated, a new analysis) fills the list again.
  const QList<QTableWidgetItem*> selected = checks_->selectedItems();
  const int only = selected.isEmpty() ? -1 : checkRows_.CheckAt(selected.front()->row());
  bool refill = only != occurrencesCheck_;
  size_t wanted = 0;
  for (size_t i = 0; i < kHealthCheckCount; ++i) {
    const std::vector<HealthOccurrence>& first = result_->checks[i].first;
    const bool listed = (only < 0 || static_cast<int>(i) == only) && result_->checks[i].evaluated;
    const size_t taken = occurrencesTaken_[i];
    refill |= listed != occurrencesListed_[i] || first.size() < taken ||
              (taken > 0 && first[taken - 1].byteOffset != occurrencesLastOffset_[i]);
    if (listed) wanted += first.size();
  }
  if (refill) {
    occurrencesCheck_ = only;
    occurrencesTaken_.fill(0);
    occurrencesListed_.fill(false);
  }
  std::vector<std::pair<size_t, const HealthOccurrence*>> added;
  for (size_t i = 0; i < kHealthCheckCount; ++i) {
    occurrencesListed_[i] = (only < 0 || static_cast<int>(i) == only) && result_->checks[i].evaluated;
    if (!occurrencesListed_[i]) continue;
    const std::vector<HealthOccurrence>& first = result_->checks[i].first;
    for (size_t k = occurrencesTaken_[i]; k < first.size(); ++k) added.emplace_back(i, &first[k]);
    occurrencesTaken_[i] = first.size();
    if (!first.empty()) occurrencesLastOffset_[i] = first.back().byteOffset;
  }
  const QSignalBlocker block(occurrences_);
  if (refill) occurrences_->setRowCount(0);
  // At most kMaxOccurrenceRows rows, so that no poll and no sort takes long;
  // what is left out is counted below the list.
  const int firstNew = occurrences_->rowCount();
  const int room = std::max(0, kMaxOccurrenceRows - firstNew);
  if (!added.empty() && room > 0) {
    std::stable_sort(added.begin(), added.end(), [](const auto& a, const auto& b) {
      return a.second->byteOffset != b.second->byteOffset ? a.second->byteOffset < b.second->byteOffset
                                                          : a.second->packetIndex < b.second->packetIndex;
    });
    if (added.size() > static_cast<size_t>(room)) added.resize(static_cast<size_t>(room));
    occurrences_->setSortingEnabled(false);  // rows are filled in place, sorted once at the end
    occurrences_->setRowCount(firstNew + static_cast<int>(added.size()));
    for (size_t n = 0; n < added.size(); ++n) {
      const auto& [check, o] = added[n];
      const int row = firstNew + static_cast<int>(n);
      const QString description = QStringLiteral("%1: %2").arg(
          QLatin1String(GetHealthCheckInfo(static_cast<HealthCheck>(check)).number), DescriptionText(*o));
      const QString texts[5] = {o->timeS ? QString::number(*o->timeS, 'f', 3) : QStringLiteral("-"),
                                QString::number(o->packetIndex), QString::number(o->byteOffset), PidText(o->pid),
                                description};
      const QVariant keys[5] = {o->timeS ? QVariant(*o->timeS) : QVariant(-1.0),
                                QVariant(static_cast<double>(o->packetIndex)),
                                QVariant(static_cast<double>(o->byteOffset)), QVariant(static_cast<double>(o->pid)),
                                QVariant(description)};
      for (int c = 0; c < 5; ++c) {
        auto* item = new OccurrenceItem;
        item->setText(texts[c]);
        item->setData(kOccurrenceSortRole, keys[c]);
        if (c == 4) item->setToolTip(texts[c]);  // the description is often wider than its column
        item->setData(kOccurrenceOffsetRole, static_cast<qulonglong>(o->byteOffset));
        occurrences_->setItem(row, c, item);
      }
    }
    occurrences_->setSortingEnabled(true);
  }
  const int left = static_cast<int>(wanted) - occurrences_->rowCount();
  occurrencesMore_->setVisible(left > 0);
  if (left > 0) occurrencesMore_->setText(LoadResString(kStrMoreOccurrences).arg(left));
  if (refill && activeOccurrence_ != UINT64_MAX) {
    for (int row = 0; row < occurrences_->rowCount(); ++row)
      if (occurrences_->item(row, 0)->data(kOccurrenceOffsetRole).toULongLong() == activeOccurrence_) {
        occurrences_->setCurrentCell(row, 0);
        break;
      }
  }
}

int CStreamAnalysisWnd::SelectedPid() const {
  const QModelIndexList rows = pidTable_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.front().data(PidTableModel::kPidRole).toInt();
}

void CStreamAnalysisWnd::SelectPid(int pid) {
  for (int row = 0; row < pidSort_->rowCount(); ++row) {
    if (pidSort_->index(row, 0).data(PidTableModel::kPidRole).toInt() == pid) {
      pidTable_->selectRow(row);  // the chart follows the selection
      return;
    }
  }
}

void CStreamAnalysisWnd::ShowServiceInformation() {
  StepClock clock(stepCosts_[kStepServiceInformation]);
  if (si_ && si_->PublishedCount() != shownSi_) {
    shownSi_ = si_->PublishedCount();
    if (std::shared_ptr<const SiSnapshot> snapshot = si_->Latest()) {
      services_->Show(*snapshot);
      latestSi_ = std::move(snapshot);
    }
  }
  ShowSiPages();
}

void CStreamAnalysisWnd::ShowSiPages() {
  // The Tables tree and the guide cost the window most of its time while an
  // analysis runs, time the analysis then lacks: only the one in front
  // follows it; the other catches up when it is shown.
  if (!latestSi_) return;
  if (tabs_->currentWidget() == tables_ && tablesSi_ != latestSi_) {
    tables_->Show(latestSi_);
    tablesSi_ = latestSi_;
  }
  if (tabs_->currentWidget() == guide_ && guideSi_ != latestSi_) {
    guide_->Show(latestSi_);
    guideSi_ = latestSi_;
  }
}

const char* CStreamAnalysisWnd::StepName(DisplayStep step) {
  static constexpr const char* kNames[kDisplayStepCount] = {"take result", "summary", "PID table", "checks",
                                                            "occurrences", "bitrate chart", "timing", "SI tabs"};
  return kNames[step];
}

bool CStreamAnalysisWnd::ExportXmltv(const QString& path) const { return guide_->ExportXmltv(path); }

void CStreamAnalysisWnd::ShowChart() {
  chartStale_ = false;
  muxPoints_.clear();
  muxPoints_.reserve(static_cast<qsizetype>(result_->bitrateSeries.size()));
  double top = 0;
  double end = 0;
  for (const BitratePoint& p : result_->bitrateSeries) {
    muxPoints_.append(QPointF(p.timeS, p.bitrateBps / 1e6));
    top = std::max(top, p.bitrateBps / 1e6);
    end = std::max(end, p.timeS + p.durationS);
  }
  const int pid = SelectedPid();
  pidPoints_.clear();
  for (const PidBitrateSeries& s : result_->pidSeries) {
    if (s.pid != pid) continue;
    for (size_t i = 0; i < s.bitrateBps.size() && i < result_->bitrateSeries.size(); ++i)
      pidPoints_.append(QPointF(result_->bitrateSeries[i].timeS, s.bitrateBps[i] / 1e6));
  }
  // The axes before the points: each change of a range lays the series out
  // again over all their points.
  SetNiceAxis(timeAxis_, end);
  SetNiceAxis(rateAxis_, top * 1.05);
  muxSeries_->replace(DrawnLine(muxPoints_));
  pidSeries_->replace(DrawnLine(pidPoints_));
  pidSeries_->setName(LoadResString(kStrPidBitrate).arg(PidText(pid)));
  pidSeries_->setVisible(!pidPoints_.isEmpty());
  // Laid out now rather than a pass later: the chart's scene has the whole
  // window repainted at once for its first change, and a layout after that
  // would have it all repainted a second time.
  if (QGraphicsLayout* layout = muxSeries_->chart()->layout()) layout->activate();
}

void CStreamAnalysisWnd::OnOccurrenceActivated(int row) {
  if (row < 0 || !occurrences_->item(row, 0) || !packetFile_.IsOpen()) return;
  const uint64_t offset = occurrences_->item(row, 0)->data(kOccurrenceOffsetRole).toULongLong();
  if (offset == activeOccurrence_) return;  // the same occurrence, moved by a sort
  activeOccurrence_ = offset;
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
  // The filter follows the packet list: the PID of the packet in the
  // inspector, which stays in view; without one, the overview's PID.
  const int row = packetList_->currentRow();
  keepPacket_ = row >= 0 ? packetModel_->PacketAtRow(row) : UINT64_MAX;
  int pid = -1;
  uint8_t bytes[208];
  TsHeaderFields fields;
  if (keepPacket_ != UINT64_MAX && packetFile_.ReadPacket(keepPacket_, bytes) &&
      ParseTsHeader(bytes + packetFile_.SyncOffset(), fields))
    pid = fields.pid;
  if (pid < 0) pid = SelectedPid();
  if (!on || pid < 0) {
    if (on) {
      const QSignalBlocker block(onlyPid_);
      onlyPid_->setChecked(false);
      status_->setText(LoadResString(kStrSelectPacketFirst));
    }
    packetModel_->ShowAll();
    if (keepPacket_ != UINT64_MAX) ShowPacket(keepPacket_);
    keepPacket_ = UINT64_MAX;
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
    if (!scan->search) {
      packetModel_->AppendIndexes(found);
      // The packet that was in the inspector (or else the first one found)
      // becomes the current row as soon as the filter has it.
      const bool kept = keepPacket_ != UINT64_MAX && std::binary_search(found.begin(), found.end(), keepPacket_);
      if (kept || (keepPacket_ == UINT64_MAX && packetList_->currentRow() < 0 && !found.empty())) {
        packetList_->setCurrentRow(packetModel_->RowOfPacket(kept ? keepPacket_ : found.front()));
        OnPacketRowChanged();
        keepPacket_ = UINT64_MAX;
      }
    }
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
  // As `vantrel-cli analyze --json` gives it: with the services once the
  // service information of this very result is at hand.
  const std::shared_ptr<const SiSnapshot> si = si_ ? si_->Latest() : nullptr;
  const std::string json = si && si->final && si->report ? SiAnalyzeJson(*result_, *si->report) : HealthJson(*result_);
  return file.write(json.data(), static_cast<qint64>(json.size())) == static_cast<qint64>(json.size());
}

bool CStreamAnalysisWnd::ExportCsv(const QString& path) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray csv = PidTableCsv(*result_).toUtf8();
  return file.write(csv) == csv.size();
}

void CStreamAnalysisWnd::OnExportJson() {
  Export(QStringLiteral("json"), kStrExportJson, kStrJsonFiles, &CStreamAnalysisWnd::ExportJson);
}

QString CStreamAnalysisWnd::ProposedExportPath(const QString& extension) const {
  if (live_)
    return QDir::home().filePath(QStringLiteral("live-%1.%2")
                                     .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")), extension));
  const QFileInfo file(path_);
  return file.dir().filePath(file.completeBaseName() + QLatin1Char('.') + extension);
}

QString CStreamAnalysisWnd::WithExtension(const QString& chosen, const QString& extension) {
  const QString ending = QLatin1Char('.') + extension;
  return chosen.endsWith(ending, Qt::CaseInsensitive) ? chosen : chosen + ending;
}

void CStreamAnalysisWnd::Export(const QString& extension, int titleId, int filterId,
                                bool (CStreamAnalysisWnd::*write)(const QString&) const) {
  if (!CanExport()) return;
  const QString chosen = QFileDialog::getSaveFileName(this, LoadResString(titleId), ProposedExportPath(extension),
                                                      LoadResString(filterId));
  if (chosen.isEmpty()) return;
  const QString path = WithExtension(chosen, extension);
  if (!(this->*write)(path)) status_->setText(LoadResString(kStrCannotWrite).arg(path));
}

void CStreamAnalysisWnd::OnExportCsv() {
  Export(QStringLiteral("csv"), kStrExportCsv, kStrCsvFiles, &CStreamAnalysisWnd::ExportCsv);
}

std::vector<QSplitter*> CStreamAnalysisWnd::Splitters() const {
  std::vector<QSplitter*> out;
  for (int id : {kIdSaSplitOverview, kIdSaSplitLeft, kIdSaSplitRight, kIdSaSplitPackets, kIdSaSplitDetail, kIdSaSplitTables,
                 kIdSaSplitGuide, kIdSaSplitGuideRight, kIdSaSplitTiming})
    if (auto* split = findChild<QSplitter*>(Id(id))) out.push_back(split);
  return out;
}

void CStreamAnalysisWnd::RestoreLayout() {
  // Within the screen, never below a usable size: one odd stream or a
  // smaller screen must not spoil every later window.
  const QRect area = AvailableArea(this);
  const int maxWidth = std::max(area.width(), 320);
  const int maxHeight = std::max(area.height(), 240);
  const int width = ReadProfileInt(kProfileSection, "Width", kDefaultWidth);
  const int height = ReadProfileInt(kProfileSection, "Height", kDefaultHeight);
  resize(std::clamp(width, std::min(kMinWidth, maxWidth), maxWidth),
         std::clamp(height, std::min(kMinHeight, maxHeight), maxHeight));
  for (QSplitter* split : Splitters()) {
    const QString saved = QString::fromStdString(
        ReadProfileText(kProfileSection, "Split" + split->objectName().toStdString()));
    QList<int> sizes;
    for (const QString& part : saved.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
      bool ok = false;
      const int size = part.toInt(&ok);
      if (ok && size >= kMinPane && size < 100000) sizes.append(size);
    }
    if (sizes.size() == split->count()) split->setSizes(sizes);
    else if (split->objectName() == Id(kIdSaSplitRight))  // fitted to the checks once laid out
      split->setSizes({this->height() * 2 / 3, this->height() / 3});
    else if (split->objectName() == Id(kIdSaSplitLeft))  // the summary, the PID table, the chart
      split->setSizes({this->height() / 5, this->height() * 9 / 20, this->height() * 7 / 20});
    else if (split->objectName() == Id(kIdSaSplitTiming))  // the two charts, the streams' table below
      split->setSizes({this->height() * 2 / 5, this->height() * 2 / 5, this->height() / 5});
    else if (split->objectName() == Id(kIdSaSplitOverview))
      split->setSizes({this->width() * 68 / 100, this->width() * 32 / 100});
    else if (split->objectName() == Id(kIdSaSplitGuide))
      split->setSizes({this->width() / 5, this->width() * 4 / 5});
    else if (split->objectName() == Id(kIdSaSplitGuideRight))
      split->setSizes({this->height() / 3, this->height() * 2 / 3});
    else if (split->objectName() == Id(kIdSaSplitTables))
      split->setSizes({this->width() * 55 / 100, this->width() * 45 / 100});
    else
      split->setSizes({this->width() / 2, this->width() / 2});
    new SplitterFit(split, true, KeepPanesUsable);
  }
}

void CStreamAnalysisWnd::SaveLayout() const {
  WriteProfileInt(kProfileSection, "Width", width());
  WriteProfileInt(kProfileSection, "Height", height());
  for (QSplitter* split : Splitters()) {
    // A pane never laid out (a tab not visited) or squeezed shut is not kept.
    const QList<int> sizes = split->sizes();
    if (std::any_of(sizes.begin(), sizes.end(), [](int size) { return size < kMinPane; })) continue;
    QStringList texts;
    for (int size : sizes) texts.append(QString::number(size));
    WriteProfileText(kProfileSection, "Split" + split->objectName().toStdString(),
                       texts.join(QLatin1Char(',')).toStdString());
  }
}

void CStreamAnalysisWnd::closeEvent(QCloseEvent* event) {
  SaveLayout();
  StopScans();
  Cancel();
  QWidget::closeEvent(event);
}

void CStreamAnalysisWnd::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  // Centred on the main window (or the screen), inside the screen.
  const QRect area = AvailableArea(this);
  const QRect over = parentWidget() ? parentWidget()->window()->frameGeometry() : area;
  QRect frame = frameGeometry();
  frame.moveCenter(over.center());
  frame.moveLeft(std::clamp(frame.left(), area.left(), std::max(area.left(), area.right() - frame.width())));
  frame.moveTop(std::clamp(frame.top(), area.top(), std::max(area.top(), area.bottom() - frame.height())));
  move(frame.topLeft());
}

void CStreamAnalysisWnd::dragEnterEvent(QDragEnterEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (!urls.isEmpty() && urls.front().isLocalFile()) event->acceptProposedAction();
}

void CStreamAnalysisWnd::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.isEmpty() || !urls.front().isLocalFile()) return;
  event->acceptProposedAction();
  Start(urls.front().toLocalFile(), limits_);
}

void CStreamAnalysisWnd::OnOpen() {
  const QString start = path_.isEmpty() ? QString() : QFileInfo(path_).absolutePath();
  const QString path = QFileDialog::getOpenFileName(this, LoadResString(kStrOpen), start, LoadResString(kStrTransportStreams));
  if (!path.isEmpty()) Start(path, limits_);
}

QStringList CStreamAnalysisWnd::RecentFiles() {
  QStringList out;
  for (int i = 1; i <= kMaxRecentFiles; ++i) {
    const QString path = QString::fromStdString(ReadProfileText(kProfileSection, "Recent" + std::to_string(i)));
    if (!path.isEmpty() && !out.contains(path)) out.append(path);
  }
  return out;
}

void CStreamAnalysisWnd::RememberRecentFile(const QString& path) {
  const QString absolute = QFileInfo(path).absoluteFilePath();
  QStringList files = RecentFiles();
  files.removeAll(absolute);
  files.prepend(absolute);
  // Each write rewrites the profile: only the places that change.
  for (int i = 0; i < kMaxRecentFiles; ++i) {
    const std::string key = "Recent" + std::to_string(i + 1);
    const std::string now = i < files.size() ? files[i].toStdString() : std::string();
    if (ReadProfileText(kProfileSection, key) != now) WriteProfileText(kProfileSection, key, now);
  }
}

void CStreamAnalysisWnd::FillRecentMenu() {
  recentMenu_->clear();
  const QStringList files = RecentFiles();
  if (files.isEmpty()) recentMenu_->addAction(LoadResString(kStrNoRecentFiles))->setEnabled(false);
  for (const QString& path : files) {
    QAction* action = recentMenu_->addAction(path);
    connect(action, &QAction::triggered, this, [this, path] { Start(path, limits_); });
  }
}
