#include "analysis/dialogs/stream_analysis/stream_analysis_timing.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtCharts/QChart>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
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
constexpr size_t kPageSteps = 10;  // Page Up and Page Down: a tenth of the series
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
  setToolTip(LoadResString(kStrTimingChartTip));  // the mouse and the keys
}

QList<QXYSeries*> TimingChartView::Walkable() const {
  QList<QXYSeries*> lines, marks;
  for (QAbstractSeries* s : chart()->series()) {
    auto* xy = qobject_cast<QXYSeries*>(s);
    if (!xy || xy == marker_ || xy->count() == 0) continue;
    (s->type() == QAbstractSeries::SeriesTypeLine ? lines : marks).append(xy);
  }
  return lines + marks;
}

QXYSeries* TimingChartView::CursorSeries() const {
  if (cursorIndex_ < 0) return nullptr;
  for (QXYSeries* s : Walkable())
    if (s->name() == cursorSeries_) return s;
  return nullptr;
}

void TimingChartView::MoveCursor(int key) {
  const QList<QXYSeries*> walk = Walkable();
  if (walk.isEmpty()) return;
  QXYSeries* series = CursorSeries();
  if (!series) {
    // The first point in view of the first series: where the arrows (and
    // key 0, the focus come by Tab) put it; the other keys go on from there.
    series = walk.front();
    const QList<QAbstractAxis*> xAxes = chart()->axes(Qt::Horizontal);
    const auto* xAxis = xAxes.isEmpty() ? nullptr : qobject_cast<const QValueAxis*>(xAxes.front());
    const double from = xAxis ? xAxis->min() : -INFINITY;
    int first = 0;
    while (first + 1 < series->count() && series->at(first).x() < from) ++first;
    cursorIndex_ = first;
    if (key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up || key == Qt::Key_Down || key == 0) {
      PlaceCursor(series, first, true);
      return;
    }
  }
  const int count = static_cast<int>(series->count());
  const int page = std::max(1, count / static_cast<int>(kPageSteps));
  int at = std::clamp(cursorIndex_, 0, count - 1);
  switch (key) {
    case Qt::Key_Left: --at; break;
    case Qt::Key_Right: ++at; break;
    case Qt::Key_PageUp: at -= page; break;
    case Qt::Key_PageDown: at += page; break;
    case Qt::Key_Home: at = 0; break;
    case Qt::Key_End: at = count - 1; break;
    case Qt::Key_Up:
    case Qt::Key_Down: {
      // The neighbouring series, at the point nearest along the axis.
      const qsizetype next = std::clamp<qsizetype>(walk.indexOf(series) + (key == Qt::Key_Up ? -1 : 1), 0, walk.size() - 1);
      const double x = series->at(at).x();
      series = walk[next];
      at = 0;
      for (int i = 1; i < series->count(); ++i)
        if (std::fabs(series->at(i).x() - x) < std::fabs(series->at(at).x() - x)) at = i;
      break;
    }
    default: break;
  }
  PlaceCursor(series, std::clamp(at, 0, static_cast<int>(series->count()) - 1), true);
}

void TimingChartView::PlaceCursor(QXYSeries* series, int index, bool scroll) {
  cursorSeries_ = series->name();
  cursorIndex_ = index;
  const QPointF value = series->at(index);
  if (!marker_) {
    // Over the lines and the marks, in no legend.
    marker_ = new QScatterSeries;
    marker_->setMarkerShape(QScatterSeries::MarkerShapeCircle);
    marker_->setMarkerSize(13);
    marker_->setBrush(Qt::NoBrush);
    marker_->setPen(QPen(palette().color(QPalette::Highlight), 2));
    chart()->addSeries(marker_);
    for (QAbstractAxis* axis : chart()->axes()) marker_->attachAxis(axis);
    for (QLegendMarker* m : chart()->legend()->markers(marker_)) m->setVisible(false);
  }
  marker_->replace(QList<QPointF>{value});
  if (scroll) {
    // Out of the zoomed part: the view moves to have it in the middle.
    const QRectF area = chart()->plotArea();
    const QPointF at = chart()->mapToPosition(value, series);
    const double dx = at.x() < area.left() || at.x() > area.right() ? at.x() - area.center().x() : 0;
    const double dy = at.y() < area.top() || at.y() > area.bottom() ? area.center().y() - at.y() : 0;
    if (dx != 0 || dy != 0) chart()->scroll(dx, dy);
  }
  emit cursorMoved(series, index);
}

void TimingChartView::FollowSeries() {
  if (cursorIndex_ < 0) return;
  QXYSeries* series = CursorSeries();
  if (!series) {
    cursorIndex_ = -1;
    cursorSeries_.clear();
    if (marker_) marker_->clear();
    return;
  }
  const int index = std::min(cursorIndex_, static_cast<int>(series->count()) - 1);
  cursorIndex_ = index;
  marker_->replace(QList<QPointF>{series->at(index)});
  if (hasFocus()) emit cursorMoved(series, index);
}

void TimingChartView::focusInEvent(QFocusEvent* event) {
  QChartView::focusInEvent(event);
  viewport()->update();
  // Come to by the keyboard: the cursor shows at once what it reads.
  if (event->reason() != Qt::TabFocusReason && event->reason() != Qt::BacktabFocusReason) return;
  if (QXYSeries* series = CursorSeries()) emit cursorMoved(series, cursorIndex_);
  else MoveCursor(0);
}

void TimingChartView::focusOutEvent(QFocusEvent* event) {
  QChartView::focusOutEvent(event);
  viewport()->update();
}

void TimingChartView::drawForeground(QPainter* painter, const QRectF& rect) {
  QChartView::drawForeground(painter, rect);
  if (!hasFocus()) return;
  // The chart has no frame of its own: a dotted one around the plot says where the keys go.
  painter->save();
  QPen pen(palette().color(QPalette::Highlight));
  pen.setStyle(Qt::DotLine);
  painter->setPen(pen);
  painter->setBrush(Qt::NoBrush);
  painter->drawRect(chart()->mapToScene(chart()->plotArea()).boundingRect().adjusted(-2, -2, 2, 2));
  painter->restore();
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
  // The arrows with Ctrl move the view; alone, the cursor.
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: chart()->zoom(kWheelZoom); break;
    case Qt::Key_Minus: chart()->zoom(1 / kWheelZoom); break;
    case Qt::Key_Left:
      if (ctrl) chart()->scroll(-area.width() / 10, 0);
      else MoveCursor(event->key());
      break;
    case Qt::Key_Right:
      if (ctrl) chart()->scroll(area.width() / 10, 0);
      else MoveCursor(event->key());
      break;
    case Qt::Key_Up:
      if (ctrl) chart()->scroll(0, area.height() / 10);
      else MoveCursor(event->key());
      break;
    case Qt::Key_Down:
      if (ctrl) chart()->scroll(0, -area.height() / 10);
      else MoveCursor(event->key());
      break;
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: MoveCursor(event->key()); break;
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
      const QString text = MarkText(marks, nearest);
      value_->setText(text);
      QToolTip::showText(QCursor::pos(), text, offsetView_);
    });
  }
  offsetView_ = new TimingChartView(offset, split_);
  offsetView_->setObjectName(Id(kIdSaTimingOffsetChart));
  clockView_->setAccessibleName(clockY_->titleText());
  offsetView_->setAccessibleName(offsetY_->titleText());

  table_ = new QTableWidget(0, kColumnCount, split_);
  table_->setObjectName(Id(kIdSaTimingStreams));
  table_->setHorizontalHeaderLabels({LoadResString(kStrPid), LoadResString(kStrCarries), LoadResString(kStrPtsCount),
                                     LoadResString(kStrDtsCount), LoadResString(kStrMeanOffset),
                                     LoadResString(kStrMinOffset), LoadResString(kStrMaxOffset),
                                     LoadResString(kStrDriftPpm), LoadResString(kStrDriftMargin)});
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
    connect(view, &TimingChartView::cursorMoved, this,
            [this](QXYSeries* series, int index) { value_->setText(CursorText(series, index)); });
  }
  connect(offsetY_, &QValueAxis::rangeChanged, this, &StreamAnalysisTiming::PlaceMarkers);
  pieces_ = new QTimer(this);
  pieces_->setSingleShot(true);
  pieces_->setInterval(0);
  connect(pieces_, &QTimer::timeout, this, &StreamAnalysisTiming::DrawPiece);
  // The empty charts get their axes when the tab is first shown: laying out
  // charts nobody sees would hold up the window's opening.
  stale_ = true;
}

void StreamAnalysisTiming::SetSource(std::shared_ptr<const TimingCollector> collector) {
  collector_ = std::move(collector);
  result_ = nullptr;
  view_ = TimingView{};
  finished_ = false;
  zoomed_ = false;
  drawnAtMs_ = redrawAfterMs_ = 0;
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
  // While the analysis runs, a redraw under way is let finish; the last result is drawn whatever.
  if (!isVisible() || (!finished && (now < redrawAfterMs_ || Drawing()))) {
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
  Draw();
  redraw_->timed = true;
  redraw_->costNs += ThreadCpuNs() - startNs;
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

void StreamAnalysisTiming::Draw() {
  // Everything a redraw draws is made ready first (a screenful of points
  // per line: cheap); the charts are then changed a piece per pass of the
  // event loop, and painted once, when they are complete.
  redraw_.emplace();
  Redraw& r = *redraw_;
  const QString xTitle = LoadResString(position_->currentIndex() == kStreamTime ? kStrStreamTimeS : kStrByteOffsetMb);
  double xLow = INFINITY, xHigh = -INFINITY;
  auto add = [&](QChart* chart, QValueAxis* x, QValueAxis* y, const TimingSeries& series, const QString& name) {
    if (series.Empty()) return;
    // No more points than a screen shows: the buckets merged down (their
    // extremes kept).
    TimingSeries drawn = series;
    drawn.SetMaxBuckets(kDrawnBuckets);
    DrawnLine line{chart, x, y, name, {}};
    for (const TimingSample& s : drawn.Points()) {
      line.points.append(QPointF(X(s), s.value));
      xLow = std::min(xLow, line.points.back().x());
      xHigh = std::max(xHigh, line.points.back().x());
    }
    r.lines.push_back(std::move(line));
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
  if (!(xHigh >= xLow)) xLow = 0, xHigh = 1;
  r.xLow = xLow;
  r.xHigh = xHigh;
  r.clockLow = std::isfinite(clockLow) ? clockLow : 0;
  r.clockHigh = std::isfinite(clockHigh) ? clockHigh : 1;
  r.offsetLow = std::isfinite(offsetLow) ? offsetLow : 0;
  r.offsetHigh = std::isfinite(offsetHigh) ? offsetHigh : 1;
  clockX_->setTitleText(xTitle);
  offsetX_->setTitleText(xTitle);
  for (TimingChartView* view : {clockView_, offsetView_}) view->setUpdatesEnabled(false);
  pieces_->start();
}

void StreamAnalysisTiming::DrawPiece() {
  if (!redraw_) return;
  const int64_t startNs = ThreadCpuNs();
  const size_t piece = redraw_->piece++;
  const size_t lines = redraw_->lines.size();
  const bool last = piece > lines + 1;
  if (piece == 0) StartAxes();
  else if (piece <= lines) DrawLine(piece - 1);
  else if (piece == lines + 1) FinishDrawing();
  else {
    // Each chart painted in a pass of its own.
    offsetView_->setUpdatesEnabled(true);
    offsetView_->FollowSeries();
  }
  const int64_t costNs = ThreadCpuNs() - startNs;
  redraw_->costNs += costNs;
  if (!last) {
    pieces_->start();
    emit pieceDrawn(costNs);
    return;
  }
  if (redraw_->timed) {
    // While the analysis runs, a redraw takes a small share of the window's
    // time at most; the charts are painted after it: counted twice over for that.
    const int64_t costMs = redraw_->costNs * 2 / 1'000'000;
    redrawAfterMs_ = drawnAtMs_ + std::max<int64_t>(kRedrawWhileRunningMs, costMs * kRedrawCostShare);
  }
  redraw_.reset();
  emit pieceDrawn(costNs);
  emit drawn();
}

void StreamAnalysisTiming::StartAxes() {
  // The lines kept from the last drawing are reused by name; the others go.
  const std::vector<DrawnLine>& lines = redraw_->lines;
  std::map<QString, QLineSeries*> old;
  for (QLineSeries* line : lines_)
    if (line) old[line->name()] = line;
  lines_.assign(lines.size(), nullptr);
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto kept = old.find(lines[i].name);
    if (kept == old.end() || kept->second->chart() != lines[i].chart) continue;
    lines_[i] = kept->second;
    old.erase(kept);
  }
  for (auto& [name, line] : old) {
    line->chart()->removeSeries(line);
    delete line;
  }
  if (zoomed_) return;  // the user's zoom is kept
  // The lines emptied first: a change of the axes then costs little, and
  // each line is laid out once, when its points come.
  for (QLineSeries* line : lines_)
    if (line) line->clear();
  drawing_ = true;
  const Redraw& r = *redraw_;
  SetRange(clockX_, r.xLow, r.xHigh, 0, false);
  SetRange(offsetX_, r.xLow, r.xHigh, 0, false);
  SetRange(clockY_, r.clockLow, r.clockHigh, 0.02, true);
  // Room below the lines for the marks.
  SetRange(offsetY_, r.offsetLow, r.offsetHigh, 0.12, true);
  drawing_ = false;
}

void StreamAnalysisTiming::DrawLine(size_t index) {
  const DrawnLine& drawn = redraw_->lines[index];
  QLineSeries* line = lines_[index];
  if (!line) {
    // Added empty: attached to the axes before it has points to lay out.
    line = new QLineSeries;
    line->setName(drawn.name);
    drawn.chart->addSeries(line);
    line->attachAxis(drawn.x);
    line->attachAxis(drawn.y);
    connect(line, &QLineSeries::hovered, this, [this, line](const QPointF& point, bool state) {
      if (!state) return;
      const QString text = LineValueText(line, point);
      value_->setText(text);
      QToolTip::showText(QCursor::pos(), text, this);
    });
    lines_[index] = line;
  }
  line->replace(drawn.points);
}

void StreamAnalysisTiming::FinishDrawing() {
  drawing_ = true;
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
  PlaceMarkers();
  drawing_ = false;

  // The summary line and the streams' table.
  size_t jumps = 0, indicators = 0;
  for (const TimingEvent& e : view_.events) (e.kind == TimingEventKind::PcrJump ? jumps : indicators)++;
  if (!collector_) clockSummary_->setText(LoadResString(kStrTimingNothingYet));
  else if (program_ < 0 || !view_.known) clockSummary_->setText(LoadResString(kStrNoProgramYet));
  else if (view_.pcr.Empty()) clockSummary_->setText(LoadResString(kStrNoClockYet).arg(PidText(view_.pcrPid)));
  else
    clockSummary_->setText(LoadResString(kStrClockSummary)
                               .arg(PidText(view_.pcrPid))
                               .arg(view_.pcr.Count())
                               .arg(jumps)
                               .arg(indicators));
  FillTable();
  clockView_->setUpdatesEnabled(true);
  clockView_->FollowSeries();
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

QString StreamAnalysisTiming::LineValueText(QXYSeries* line, const QPointF& point) const {
  const QList<QAbstractAxis*> axes = line->attachedAxes();
  if (axes.size() < 2) return line->name();
  return LoadResString(kStrSeriesValue)
      .arg(line->name(), axes.front()->titleText(), Number(point.x(), 3), axes.back()->titleText(), Number(point.y(), 3));
}

QString StreamAnalysisTiming::MarkText(QScatterSeries* marks, int mark) const {
  if (marks == occurrences_) return mark >= 0 ? CheckMarkText(mark) : marks->name();
  const QStringList texts = marks->property("texts").toStringList();
  return mark >= 0 && mark < texts.size() ? texts[mark] : marks->name();
}

QString StreamAnalysisTiming::CursorText(QXYSeries* series, int index) const {
  if (series == occurrences_ || series == discontinuities_) return MarkText(static_cast<QScatterSeries*>(series), index);
  return LineValueText(series, series->at(index));
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
        s.driftPpm && s.driftMarginPpm ? QString::asprintf("%.1f", *s.driftMarginPpm) : QStringLiteral("-"),
    };
    // A drift its margin covers is shown, but said to be no finding.
    const bool significant = s.driftPpm && s.driftMarginPpm && std::fabs(*s.driftPpm) > *s.driftMarginPpm;
    for (int c = 0; c < kColumnCount; ++c) {
      QTableWidgetItem* item = table_->item(row, c);
      if (!item) {
        item = new QTableWidgetItem;
        table_->setItem(row, c, item);
      }
      item->setText(texts[c]);
      item->setTextAlignment(c == kColCarries ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter);
      if (c == kColDrift || c == kColDriftMargin) {
        const bool doubtful = s.driftPpm && !significant;
        item->setToolTip(doubtful ? LoadResString(kStrDriftNotSignificant) : QString());
        item->setForeground(doubtful ? table_->palette().brush(QPalette::Disabled, QPalette::Text) : table_->palette().brush(QPalette::Text));
      }
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
