#include "analysis/dialogs/stream_analysis/stream_analysis_timing.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <map>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packets.h"
#include "analysis/engine/dvb_text.h"
#include "platform/ui_hooks.h"
#include "ui/resources.h"
#include "ui/ui_thread.h"

namespace {

constexpr double kWheelZoom = 1.25;
constexpr qint64 kRedrawWhileRunningMs = 1000;
constexpr int64_t kRedrawCostShare = 20;  // a redraw may take a twentieth of the time between two
constexpr size_t kDrawnBuckets = 512;  // two points each at most
constexpr int64_t kDrawBudgetNs = 4'000'000;  // lines redrawn per poll while the analysis runs
constexpr size_t kMaxMarks = 400;  // more marks than this on a chart share places

QString Id(int id) { return QString::number(id); }

QString Number(double value, int decimals) { return QString::number(value, 'f', decimals); }

// What a stream is, from its stream_type, in the user's language.
QString StreamKind(int streamType) {
  const int kind = IsVideoStreamType(streamType) ? kStrVideo : IsAudioStreamType(streamType) ? kStrAudio : kStrOtherStream;
  return LoadResString(kStrWithStreamType).arg(LoadResString(kind), HexText(static_cast<uint64_t>(streamType), 2));
}

QString Hex4(int pid) { return HexText(static_cast<uint64_t>(pid), 4); }

QChart* NewChart() {
  auto* chart = new QChart;
  chart->legend()->setAlignment(Qt::AlignBottom);  // both plots equally wide, their positions aligned
  chart->setMargins(QMargins(4, 4, 4, 4));
  return chart;
}

// An axis on [low, high] with some room, never empty; `nice`: widened to
// round ticks (not the position, which shows exactly the stream's stretch).
void SetRange(QValueAxis* axis, double low, double high, double room, bool nice) {
  if (!(high > low)) {
    low -= 1;
    high += 1;
  }
  const double pad = (high - low) * room;
  axis->setRange(low - pad, high + pad);
  if (nice) axis->applyNiceNumbers();  // ticks at round values
}

// Whether marks stand at the same places along the axis (PlaceMarkers sets
// their height).
bool SameXs(const QList<QPointF>& a, const QList<QPointF>& b) {
  if (a.size() != b.size()) return false;
  for (qsizetype i = 0; i < a.size(); ++i)
    if (a[i].x() != b[i].x()) return false;
  return true;
}

// Marks at `xs` in groups: each alone, or when there are more than
// kMaxMarks, those in one of kMaxMarks slots of their span
// together, so that a chart of a long stream stays quick to draw. Ascending x.
std::vector<std::vector<size_t>> MergeMarks(const std::vector<double>& xs) {
  std::vector<size_t> order(xs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&xs](size_t a, size_t b) { return xs[a] < xs[b]; });
  std::vector<std::vector<size_t>> groups;
  if (order.empty()) return groups;
  const double low = xs[order.front()], high = xs[order.back()];
  const double slot = order.size() > kMaxMarks && high > low ? (high - low) / kMaxMarks : 0;
  double groupSlot = -1;
  for (size_t i : order) {
    const double at = slot > 0 ? std::floor((xs[i] - low) / slot) : -1;
    if (slot > 0 && !groups.empty() && at == groupSlot) {
      groups.back().push_back(i);
      continue;
    }
    groupSlot = at;
    groups.push_back({i});
  }
  return groups;
}

}  // namespace

TimingChartView::TimingChartView(QChart* chart, QWidget* parent) : QChartView(chart, parent) {
  setRubberBand(QChartView::RectangleRubberBand);
  setFocusPolicy(Qt::StrongFocus);  // no antialiasing: thousands of points are drawn at once
  setMouseTracking(true);
  setToolTip(LoadResString(kStrTimingChartTip));
}

void TimingChartView::wheelEvent(QWheelEvent* event) {
  const QRectF area = chart()->plotArea();
  const double factor = event->angleDelta().y() > 0 ? kWheelZoom : 1 / kWheelZoom;
  const double x = std::clamp(event->position().x(), area.left(), area.right());
  // Along the position axis, about the point under the mouse.
  chart()->zoomIn(QRectF(x - (x - area.left()) / factor, area.top(), area.width() / factor, area.height()));
  event->accept();
}

void TimingChartView::keyPressEvent(QKeyEvent* event) {
  const QRectF area = chart()->plotArea();
  switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: chart()->zoom(kWheelZoom); break;
    case Qt::Key_Minus: chart()->zoom(1 / kWheelZoom); break;
    case Qt::Key_Left: chart()->scroll(-area.width() / 10, 0); break;
    case Qt::Key_Right: chart()->scroll(area.width() / 10, 0); break;
    case Qt::Key_Up: chart()->scroll(0, area.height() / 10); break;
    case Qt::Key_Down: chart()->scroll(0, -area.height() / 10); break;
    case Qt::Key_Home:
    case Qt::Key_0: emit resetRequested(); break;
    default: QChartView::keyPressEvent(event); return;
  }
  event->accept();
}

void TimingChartView::mouseMoveEvent(QMouseEvent* event) {
  if (chart()->plotArea().contains(event->position())) emit valueUnderCursor(chart()->mapToValue(event->position()));
  QChartView::mouseMoveEvent(event);
}

StreamAnalysisTiming::StreamAnalysisTiming(QWidget* parent) : QWidget(parent) {
  setObjectName(Id(kIdSaTiming));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 4, 0, 0);
  auto* tools = new QHBoxLayout;
  auto* programLabel = new QLabel(LoadResString(kStrTimingProgram), this);
  programs_ = new QComboBox(this);
  programs_->setObjectName(Id(kIdSaTimingProgram));
  // However many programs and however long their names, the window keeps its size.
  programs_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  programs_->setMinimumContentsLength(18);
  programLabel->setBuddy(programs_);
  auto* positionLabel = new QLabel(LoadResString(kStrTimingPosition), this);
  position_ = new QComboBox(this);
  position_->setObjectName(Id(kIdSaTimingPosition));
  position_->addItem(LoadResString(kStrByteOffsetMb));
  position_->addItem(LoadResString(kStrStreamTimeS));
  positionLabel->setBuddy(position_);
  auto* reset = new QPushButton(LoadResString(kStrResetZoom), this);
  reset->setObjectName(Id(kIdSaTimingResetZoom));
  clockSummary_ = new QLabel(this);
  clockSummary_->setObjectName(Id(kIdSaTimingClockSummary));
  clockSummary_->setMinimumWidth(0);
  clockSummary_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  tools->addWidget(programLabel);
  tools->addWidget(programs_);
  tools->addSpacing(12);
  tools->addWidget(positionLabel);
  tools->addWidget(position_);
  tools->addWidget(reset);
  tools->addSpacing(12);
  tools->addWidget(clockSummary_, 1);
  layout->addLayout(tools);

  split_ = new QSplitter(Qt::Vertical, this);
  split_->setObjectName(Id(kIdSaSplitTiming));
  QChart* clock = NewChart();
  clockX_ = new QValueAxis(clock);
  clockY_ = new QValueAxis(clock);
  clockY_->setTitleText(LoadResString(kStrClockS));
  clock->addAxis(clockX_, Qt::AlignBottom);
  clock->addAxis(clockY_, Qt::AlignLeft);
  clockView_ = new TimingChartView(clock, split_);
  clockView_->setObjectName(Id(kIdSaTimingClockChart));
  QChart* offset = NewChart();
  offsetX_ = new QValueAxis(offset);
  offsetY_ = new QValueAxis(offset);
  offsetY_->setTitleText(LoadResString(kStrOffsetToPcrMs));
  offset->addAxis(offsetX_, Qt::AlignBottom);
  offset->addAxis(offsetY_, Qt::AlignLeft);
  discontinuities_ = new QScatterSeries(offset);
  discontinuities_->setName(LoadResString(kStrClockMarks));
  discontinuities_->setMarkerShape(QScatterSeries::MarkerShapeTriangle);
  discontinuities_->setMarkerSize(11);
  discontinuities_->setColor(QColor(200, 0, 0));
  occurrences_ = new QScatterSeries(offset);
  occurrences_->setName(LoadResString(kStrCheckMarks));
  occurrences_->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
  occurrences_->setMarkerSize(7);
  occurrences_->setColor(QColor(80, 80, 80));
  // The clock's marks drawn last, over the checks' marks at the same place.
  for (QScatterSeries* marks : {occurrences_, discontinuities_}) {
    offset->addSeries(marks);
    marks->attachAxis(offsetX_);
    marks->attachAxis(offsetY_);
    connect(marks, &QScatterSeries::hovered, this, [this, marks](const QPointF& point, bool state) {
      if (!state) return;
      // The mark's own text: the nearest one along the axis.
      const QList<QPointF> points = marks->points();
      int nearest = -1;
      for (int i = 0; i < points.size(); ++i)
        if (nearest < 0 || std::fabs(points[i].x() - point.x()) < std::fabs(points[nearest].x() - point.x())) nearest = i;
      QString text = marks->name();
      if (marks == occurrences_) {
        if (nearest >= 0) text = CheckMarkText(nearest);
      } else {
        const QStringList texts = marks->property("texts").toStringList();
        if (nearest >= 0 && nearest < texts.size()) text = texts[nearest];
      }
      value_->setText(text);
      QToolTip::showText(QCursor::pos(), text, offsetView_);
    });
  }
  offsetView_ = new TimingChartView(offset, split_);
  offsetView_->setObjectName(Id(kIdSaTimingOffsetChart));

  table_ = new QTableWidget(0, kColumnCount, split_);
  table_->setObjectName(Id(kIdSaTimingStreams));
  table_->setHorizontalHeaderLabels({LoadResString(kStrPid), LoadResString(kStrCarries), LoadResString(kStrPtsCount),
                                     LoadResString(kStrDtsCount), LoadResString(kStrMeanOffset),
                                     LoadResString(kStrMinOffset), LoadResString(kStrMaxOffset),
                                     LoadResString(kStrDriftPpm)});
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  split_->addWidget(clockView_);
  split_->addWidget(offsetView_);
  split_->addWidget(table_);
  split_->setStretchFactor(0, 2);
  split_->setStretchFactor(1, 2);
  split_->setStretchFactor(2, 1);
  layout->addWidget(split_, 1);
  value_ = new QLabel(this);
  value_->setObjectName(Id(kIdSaTimingValue));
  value_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  value_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  layout->addWidget(value_);

  connect(programs_, &QComboBox::currentIndexChanged, this, [this](int index) {
    program_ = index >= 0 ? programs_->itemData(index).toInt() : -1;
    zoomed_ = false;
    Refresh();
  });
  connect(position_, &QComboBox::currentIndexChanged, this, [this] { ResetZoom(); });
  connect(reset, &QPushButton::clicked, this, &StreamAnalysisTiming::ResetZoom);
  for (TimingChartView* view : {clockView_, offsetView_}) {
    connect(view, &TimingChartView::resetRequested, this, &StreamAnalysisTiming::ResetZoom);
    QValueAxis* y = view == clockView_ ? clockY_ : offsetY_;
    QValueAxis* x = view == clockView_ ? clockX_ : offsetX_;
    connect(view, &TimingChartView::valueUnderCursor, this, [this, x, y](const QPointF& v) {
      value_->setText(LoadResString(kStrCursorValue).arg(x->titleText(), Number(v.x(), 3), y->titleText(), Number(v.y(), 3)));
    });
    connect(x, &QValueAxis::rangeChanged, this, [this, x](qreal min, qreal max) { OnXRangeChanged(x, min, max); });
    connect(y, &QValueAxis::rangeChanged, this, [this] {
      if (!drawing_) zoomed_ = true;
    });
  }
  connect(offsetY_, &QValueAxis::rangeChanged, this, &StreamAnalysisTiming::PlaceMarkers);
  Draw();
}

void StreamAnalysisTiming::SetSource(std::shared_ptr<const TimingCollector> collector) {
  collector_ = std::move(collector);
  result_ = nullptr;
  view_ = TimingView{};
  finished_ = false;
  zoomed_ = false;
  drawnAtMs_ = redrawAfterMs_ = 0;
  drawPending_ = false;
  drawCursor_ = 0;
  markOccurrences_.clear();
  {
    const QSignalBlocker block(programs_);
    programs_->clear();
  }
  program_ = -1;
  // A hidden tab is drawn when it is shown.
  if (isVisible()) Draw();
  else stale_ = true;
}

void StreamAnalysisTiming::Show(const HealthResult& result, bool finished) {
  finished_ = finished;
  // The programs with a PMT, the one chosen kept.
  QList<int> numbers;
  for (const ProgramInfo& p : result.programs)
    if (p.pcrPid >= 0) numbers.append(p.programNumber);
  bool same = numbers.size() == programs_->count();
  for (int i = 0; same && i < numbers.size(); ++i) same = programs_->itemData(i).toInt() == numbers[i];
  if (!same) {
    const QSignalBlocker block(programs_);
    programs_->clear();
    for (const ProgramInfo& p : result.programs) {
      if (p.pcrPid < 0) continue;
      QString text = LoadResString(kStrProgramItem).arg(p.programNumber);
      const std::string name = DecodeDvbText(p.serviceNameBytes);
      if (!name.empty()) text += QStringLiteral(" \"%1\"").arg(QString::fromStdString(name));
      programs_->addItem(text, p.programNumber);
    }
    const int keep = programs_->findData(program_);
    programs_->setCurrentIndex(keep >= 0 ? keep : (programs_->count() > 0 ? 0 : -1));
    program_ = programs_->currentIndex() >= 0 ? programs_->currentData().toInt() : -1;
  }
  result_ = &result;
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  if (isVisible() && !finished && drawPending_) {
    Draw(true);  // the lines the last poll had no time for
    return;
  }
  if (!isVisible() || (!finished && now < redrawAfterMs_)) {
    stale_ = true;
    return;
  }
  Refresh();
}

void StreamAnalysisTiming::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (stale_) Refresh();
}

void StreamAnalysisTiming::Refresh() {
  stale_ = false;
  drawnAtMs_ = QDateTime::currentMSecsSinceEpoch();
  const int64_t startNs = ThreadCpuNs();
  view_ = collector_ && program_ >= 0 ? collector_->Snapshot(program_) : TimingView{};
  Draw(!finished_);
  // The charts are painted after this: counted twice over for them.
  const int64_t costMs = (ThreadCpuNs() - startNs) * 2 / 1'000'000;
  redrawAfterMs_ = drawnAtMs_ + std::max<int64_t>(kRedrawWhileRunningMs, costMs * kRedrawCostShare);
}

double StreamAnalysisTiming::X(const TimingSample& sample) const {
  return position_->currentIndex() == kStreamTime ? sample.timeS : static_cast<double>(sample.byteOffset) / 1e6;
}

double StreamAnalysisTiming::XAtOffset(uint64_t byteOffset) const {
  if (position_->currentIndex() != kStreamTime) return static_cast<double>(byteOffset) / 1e6;
  // Between the PCRs around it, at the pace of the bytes.
  const auto after = std::lower_bound(pcrPoints_.begin(), pcrPoints_.end(), byteOffset,
                                      [](const TimingSample& s, uint64_t offset) { return s.byteOffset < offset; });
  if (pcrPoints_.empty()) return 0;
  if (after == pcrPoints_.begin()) return after->timeS;
  if (after == pcrPoints_.end()) return pcrPoints_.back().timeS;
  const TimingSample& a = *(after - 1);
  const TimingSample& b = *after;
  if (b.byteOffset == a.byteOffset) return a.timeS;
  const double share = static_cast<double>(byteOffset - a.byteOffset) / static_cast<double>(b.byteOffset - a.byteOffset);
  return a.timeS + share * (b.timeS - a.timeS);
}

void StreamAnalysisTiming::Draw(bool budgeted) {
  drawing_ = true;
  // Within a budget, the lines are redrawn in turns: those left for want of
  // time keep their points until a following poll.
  const int64_t startNs = ThreadCpuNs();
  size_t index = 0;
  size_t resumeAt = SIZE_MAX;
  // The lines kept from the last drawing are reused by name; the others go.
  std::map<QString, QLineSeries*> old;
  for (QLineSeries* line : lines_) old[line->name()] = line;
  lines_.clear();
  const QString xTitle = LoadResString(position_->currentIndex() == kStreamTime ? kStrStreamTimeS : kStrByteOffsetMb);
  clockX_->setTitleText(xTitle);
  offsetX_->setTitleText(xTitle);
  double xLow = INFINITY, xHigh = -INFINITY;
  auto add = [&](QChart* chart, QValueAxis* x, QValueAxis* y, const TimingSeries& series, const QString& name) {
    if (series.Empty()) return;
    const size_t at = index++;
    const auto kept = old.find(name);
    const bool keep = kept != old.end() && kept->second->chart() == chart;
    const bool overBudget = budgeted && (resumeAt != SIZE_MAX || ThreadCpuNs() - startNs > kDrawBudgetNs);
    if (overBudget && !keep) {  // a new line: in a following turn
      if (resumeAt == SIZE_MAX) resumeAt = at;
      return;
    }
    if (budgeted && keep && (at < drawCursor_ || overBudget)) {
      if (at >= drawCursor_ && resumeAt == SIZE_MAX) resumeAt = at;
      QLineSeries* line = kept->second;
      if (line->count() > 0) {
        xLow = std::min(xLow, line->at(0).x());
        xHigh = std::max(xHigh, line->at(line->count() - 1).x());
      }
      lines_.push_back(line);
      old.erase(kept);
      return;
    }
    // No more points than a screen shows: the buckets merged down (their
    // extremes kept), so that a redraw never holds the window.
    TimingSeries drawn = series;
    drawn.SetMaxBuckets(kDrawnBuckets);
    QList<QPointF> points;
    for (const TimingSample& s : drawn.Points()) {
      points.append(QPointF(X(s), s.value));
      xLow = std::min(xLow, points.back().x());
      xHigh = std::max(xHigh, points.back().x());
    }
    if (keep) {
      kept->second->replace(points);
      lines_.push_back(kept->second);
      old.erase(kept);
      return;
    }
    auto* line = new QLineSeries;
    line->setName(name);
    line->replace(points);
    chart->addSeries(line);
    line->attachAxis(x);
    line->attachAxis(y);
    connect(line, &QLineSeries::hovered, this, [this, line](const QPointF& point, bool state) {
      if (!state) return;
      const QString text = LoadResString(kStrSeriesValue)
                               .arg(line->name(), line->attachedAxes().front()->titleText(), Number(point.x(), 3),
                                    line->attachedAxes().back()->titleText(), Number(point.y(), 3));
      value_->setText(text);
      QToolTip::showText(QCursor::pos(), text, this);
    });
    lines_.push_back(line);
  };
  pcrPoints_ = view_.pcr.Points();
  add(clockView_->chart(), clockX_, clockY_, view_.pcr, LoadResString(kStrPcrSeries).arg(Hex4(view_.pcrPid)));
  double clockLow = view_.pcr.Empty() ? INFINITY : view_.pcr.Min(), clockHigh = view_.pcr.Empty() ? -INFINITY : view_.pcr.Max();
  double offsetLow = INFINITY, offsetHigh = -INFINITY;
  for (const TimingStream& s : view_.streams) {
    add(clockView_->chart(), clockX_, clockY_, s.pts, LoadResString(kStrPtsSeries).arg(Hex4(s.pid)));
    add(clockView_->chart(), clockX_, clockY_, s.dts, LoadResString(kStrDtsSeries).arg(Hex4(s.pid)));
    add(offsetView_->chart(), offsetX_, offsetY_, s.offsetMs, LoadResString(kStrOffsetSeries).arg(Hex4(s.pid)));
    for (const TimingSeries* series : {&s.pts, &s.dts}) {
      if (series->Empty()) continue;
      clockLow = std::min(clockLow, series->Min());
      clockHigh = std::max(clockHigh, series->Max());
    }
    if (!s.offsetMs.Empty()) {
      offsetLow = std::min(offsetLow, s.offsetMs.Min());
      offsetHigh = std::max(offsetHigh, s.offsetMs.Max());
    }
  }
  for (auto& [name, line] : old) {
    line->chart()->removeSeries(line);
    delete line;
  }
  drawPending_ = resumeAt != SIZE_MAX;
  drawCursor_ = drawPending_ ? resumeAt : 0;
  // The marks: the clock's jumps and discontinuities, the checks' occurrences.
  std::vector<double> eventXs;
  for (const TimingEvent& e : view_.events)
    eventXs.push_back(position_->currentIndex() == kStreamTime ? e.timeS : static_cast<double>(e.byteOffset) / 1e6);
  QList<QPointF> clockMarks;
  QStringList clockTexts;
  for (const std::vector<size_t>& group : MergeMarks(eventXs)) {
    const TimingEvent& e = view_.events[group.front()];
    clockMarks.append(QPointF(eventXs[group.front()], 0));
    const QString text = LoadResString(e.kind == TimingEventKind::PcrJump ? kStrPcrJumpMark : kStrDiscontinuityMark)
                             .arg(Hex4(e.pid), Number(e.stepS * 1e3, 3), QString::number(e.byteOffset));
    clockTexts.append(group.size() > 1 ? LoadResString(kStrMoreAtMark).arg(text).arg(group.size() - 1) : text);
  }
  if (clockTexts != discontinuities_->property("texts").toStringList() || !SameXs(clockMarks, discontinuities_->points())) {
    discontinuities_->replace(clockMarks);
    discontinuities_->setProperty("texts", clockTexts);
  }
  PlaceCheckMarks();
  if (!zoomed_) {
    if (!(xHigh >= xLow)) xLow = 0, xHigh = 1;
    SetRange(clockX_, xLow, xHigh, 0, false);
    SetRange(offsetX_, xLow, xHigh, 0, false);
    SetRange(clockY_, std::isfinite(clockLow) ? clockLow : 0, std::isfinite(clockHigh) ? clockHigh : 1, 0.02, true);
    // Room below the lines for the marks.
    SetRange(offsetY_, std::isfinite(offsetLow) ? offsetLow : 0, std::isfinite(offsetHigh) ? offsetHigh : 1, 0.12, true);
  }
  PlaceMarkers();
  drawing_ = false;

  // The summary line and the streams' table.
  size_t jumps = 0, indicators = 0;
  for (const TimingEvent& e : view_.events) (e.kind == TimingEventKind::PcrJump ? jumps : indicators)++;
  if (!collector_) clockSummary_->setText(LoadResString(kStrTimingNotLive));
  else if (program_ < 0 || !view_.known) clockSummary_->setText(LoadResString(kStrNoProgramYet));
  else if (view_.pcr.Empty()) clockSummary_->setText(LoadResString(kStrNoClockYet).arg(PidText(view_.pcrPid)));
  else
    clockSummary_->setText(LoadResString(kStrClockSummary)
                               .arg(PidText(view_.pcrPid))
                               .arg(view_.pcr.Count())
                               .arg(jumps)
                               .arg(indicators));
  FillTable();
}

void StreamAnalysisTiming::PlaceCheckMarks() {
  // Texts are made on hover only.
  std::vector<double> xs;
  std::vector<std::pair<size_t, size_t>> occurrences;
  for (size_t i = 0; result_ && !lines_.empty() && i < kHealthCheckCount; ++i) {
    const HealthCheckResult& check = result_->checks[i];
    if (!check.evaluated) continue;
    for (size_t k = 0; k < check.first.size(); ++k) {
      xs.push_back(XAtOffset(check.first[k].byteOffset));
      occurrences.push_back({i, k});
    }
  }
  markOccurrences_.clear();
  QList<QPointF> points;
  const double y = offsetY_->min() + (offsetY_->max() - offsetY_->min()) * 0.03;
  for (const std::vector<size_t>& group : MergeMarks(xs)) {
    points.append(QPointF(xs[group.front()], y));
    markOccurrences_.emplace_back();
    for (size_t n : group) markOccurrences_.back().push_back(occurrences[n]);
  }
  if (!SameXs(points, occurrences_->points())) occurrences_->replace(points);
}

QString StreamAnalysisTiming::CheckMarkText(int mark) const {
  if (!result_ || mark < 0 || static_cast<size_t>(mark) >= markOccurrences_.size()) return occurrences_->name();
  const std::vector<std::pair<size_t, size_t>>& at = markOccurrences_[static_cast<size_t>(mark)];
  const auto [check, index] = at.front();
  if (check >= kHealthCheckCount || index >= result_->checks[check].first.size()) return occurrences_->name();
  const HealthOccurrence& o = result_->checks[check].first[index];
  const QString description =
      o.descriptionTemplate.empty() ? QString::fromStdString(o.description)
                                    : QString::fromStdString(TranslateAndFill(o.descriptionTemplate, o.descriptionValues));
  const QString text =
      QStringLiteral("%1: %2").arg(QLatin1String(GetHealthCheckInfo(static_cast<HealthCheck>(check)).number), description);
  return at.size() > 1 ? LoadResString(kStrMoreAtMark).arg(text).arg(at.size() - 1) : text;
}

void StreamAnalysisTiming::PlaceMarkers() {
  // Along the bottom of the offset chart, wherever it is zoomed to: the
  // checks' marks lowest, the clock's above them.
  for (QScatterSeries* marks : {discontinuities_, occurrences_}) {
    const double y = offsetY_->min() + (offsetY_->max() - offsetY_->min()) * (marks == occurrences_ ? 0.03 : 0.08);
    QList<QPointF> points = marks->points();
    bool moved = false;
    for (QPointF& p : points) {
      moved |= p.y() != y;
      p.setY(y);
    }
    if (moved) marks->replace(points);
  }
}

void StreamAnalysisTiming::FillTable() {
  table_->setRowCount(static_cast<int>(view_.streams.size()));
  for (int row = 0; row < table_->rowCount(); ++row) {
    const TimingStream& s = view_.streams[static_cast<size_t>(row)];
    const bool offsets = !s.offsetMs.Empty();
    const QString texts[kColumnCount] = {
        PidText(s.pid),
        StreamKind(s.streamType),
        QString::number(s.pts.Count()),
        QString::number(s.dts.Count()),
        offsets ? Number(s.meanOffsetMs, 3) : QStringLiteral("-"),
        offsets ? Number(s.offsetMs.Min(), 3) : QStringLiteral("-"),
        offsets ? Number(s.offsetMs.Max(), 3) : QStringLiteral("-"),
        s.driftPpm ? QString::asprintf("%+.1f", *s.driftPpm) : QStringLiteral("-"),
    };
    for (int c = 0; c < kColumnCount; ++c) {
      QTableWidgetItem* item = table_->item(row, c);
      if (!item) {
        item = new QTableWidgetItem;
        table_->setItem(row, c, item);
      }
      item->setText(texts[c]);
      item->setTextAlignment(c == kColCarries ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
    }
  }
}

void StreamAnalysisTiming::OnXRangeChanged(QValueAxis* from, qreal min, qreal max) {
  if (!drawing_) zoomed_ = true;
  if (syncingAxes_) return;
  // Both charts show the same stretch of the stream.
  syncingAxes_ = true;
  QValueAxis* other = from == clockX_ ? offsetX_ : clockX_;
  if (other->min() != min || other->max() != max) other->setRange(min, max);
  syncingAxes_ = false;
}

void StreamAnalysisTiming::ResetZoom() {
  zoomed_ = false;
  Draw();
}
