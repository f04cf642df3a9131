#include "analysis/dialogs/stream_analysis/stream_analysis_guide.h"

#include <QDateTime>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QTableWidget>
#include <QTextEdit>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/si/si_output.h"
#include "analysis/si/si_run.h"
#include "analysis/si/si_tables.h"
#include "ui/resources.h"

namespace {

constexpr int kNameWidth = 150;      // the timeline's channel names
constexpr int kPixelsPerHour = 180;
constexpr int kAxisHeight = 22;
constexpr int64_t kMaxSpanS = 31 * 86400;  // a guide wider than this is cut (a bad date)
// An event without a duration (undefined in the stream) is drawn this long,
// for its title; its tooltip and the table give only its start.
constexpr int64_t kOpenEventS = 15 * 60;

QString UtcText(int64_t t, const QString& format) {
  return QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString(format);
}

// What an event's tooltip says: when, what, and its description; `tight`
// without the gap before the description, for the detail line's few lines.
QString EventTip(const SiEvent& e, bool tight = false) {
  // Without a duration (undefined in the stream) only the start.
  QString tip = QStringLiteral("<b>%1</b><br>%2%3 UTC")
                    .arg(QString::fromStdString(e.title).toHtmlEscaped(),
                         UtcText(e.startUtc, QStringLiteral("yyyy-MM-dd HH:mm")),
                         e.durationS ? QStringLiteral(" - ") + UtcText(e.startUtc + *e.durationS, QStringLiteral("HH:mm")) : QString());
  if (!e.shortText.empty()) tip += QStringLiteral("<br><i>%1</i>").arg(QString::fromStdString(e.shortText).toHtmlEscaped());
  if (!e.description.empty())
    tip += (tight ? QStringLiteral("<div style=\"white-space:pre-wrap\">%1</div>") : QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>"))
               .arg(QString::fromStdString(e.description).toHtmlEscaped());
  return tip;
}

const std::vector<SiGuideChannel>& NoChannels() {
  static const std::vector<SiGuideChannel> none;
  return none;
}

}  // namespace

GuideTimeline::GuideTimeline(QWidget* parent) : QWidget(parent) {
  setObjectName(QString::number(kIdSaGuideTimeline));
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(LoadResString(kStrGuideTimeline));
}

int GuideTimeline::RowHeight() const { return fontMetrics().height() + 10; }

void GuideTimeline::SetGuide(const std::vector<SiGuideChannel>* guide) {
  guide_ = guide;
  int64_t first = INT64_MAX, last = INT64_MIN;
  if (guide_)
    for (const SiGuideChannel& c : *guide_)
      for (const SiEvent& e : c.events) {
        first = std::min(first, e.startUtc);
        last = std::max(last, e.startUtc + std::max<int64_t>(e.durationS.value_or(kOpenEventS), 0));
      }
  if (first == INT64_MAX) first = last = 0;
  from_ = first - ((first % 3600) + 3600) % 3600;
  to_ = std::min(std::max(last, from_ + 3600), from_ + kMaxSpanS);
  if (!Valid(focused_)) focused_ = {-1, -1};
  updateGeometry();
  resize(sizeHint());
  update();
}

void GuideTimeline::SetChosen(int channel) {
  chosen_ = channel;
  update();
}

QSize GuideTimeline::sizeHint() const {
  const int channels = guide_ ? static_cast<int>(guide_->size()) : 0;
  const int64_t hours = (to_ - from_ + 3599) / 3600;
  return QSize(kNameWidth + static_cast<int>(hours * kPixelsPerHour) + 1, kAxisHeight + (channels > 0 ? channels : 2) * RowHeight() + 1);
}

QRect GuideTimeline::EventRect(int channel, const SiEvent& e) const {
  const double perSecond = kPixelsPerHour / 3600.0;
  const int x = kNameWidth + static_cast<int>(std::clamp<int64_t>(e.startUtc - from_, 0, to_ - from_) * perSecond);
  const int end = kNameWidth + static_cast<int>(std::clamp<int64_t>(e.startUtc + e.durationS.value_or(kOpenEventS) - from_, 0, to_ - from_) * perSecond);
  return QRect(x, kAxisHeight + channel * RowHeight() + 2, std::max(2, end - x), RowHeight() - 4);
}

QRect GuideTimeline::EventRect(EventRef ref) const { return Valid(ref) ? EventRect(ref.first, EventOf(ref)) : QRect(); }

bool GuideTimeline::Valid(EventRef ref) const {
  return guide_ && ref.first >= 0 && ref.first < static_cast<int>(guide_->size()) && ref.second >= 0 &&
         ref.second < static_cast<int>((*guide_)[static_cast<size_t>(ref.first)].events.size());
}

const SiEvent& GuideTimeline::EventOf(EventRef ref) const {
  return (*guide_)[static_cast<size_t>(ref.first)].events[static_cast<size_t>(ref.second)];
}

void GuideTimeline::SetFocused(EventRef ref) {
  if (ref == focused_) return;
  focused_ = Valid(ref) ? ref : EventRef{-1, -1};
  if (Valid(focused_)) keyTime_ = EventOf(focused_).startUtc;
  update();
}

GuideTimeline::EventRef GuideTimeline::EventAt(const QPoint& point) const {
  if (!guide_ || point.y() < kAxisHeight) return {-1, -1};
  const int channel = (point.y() - kAxisHeight) / RowHeight();
  if (channel < 0 || channel >= static_cast<int>(guide_->size())) return {-1, -1};
  const std::vector<SiEvent>& events = (*guide_)[static_cast<size_t>(channel)].events;
  for (size_t i = 0; i < events.size(); ++i)
    if (EventRect(channel, events[i]).contains(point)) return {channel, static_cast<int>(i)};
  return {-1, -1};
}

int GuideTimeline::EventNear(int channel, int64_t utc) const {
  const std::vector<SiEvent>& events = (*guide_)[static_cast<size_t>(channel)].events;
  int best = -1;
  int64_t bestDistance = INT64_MAX;
  for (size_t i = 0; i < events.size(); ++i) {
    const int64_t start = events[i].startUtc, end = start + std::max<int64_t>(events[i].durationS.value_or(kOpenEventS), 1);
    const int64_t distance = utc < start ? start - utc : utc >= end ? utc - end + 1 : 0;
    if (distance < bestDistance) {
      best = static_cast<int>(i);
      bestDistance = distance;
    }
  }
  return best;
}

int GuideTimeline::ChannelFrom(int channel, int step) const {
  for (int c = channel + step; guide_ && c >= 0 && c < static_cast<int>(guide_->size()); c += step)
    if (!(*guide_)[static_cast<size_t>(c)].events.empty()) return c;
  return -1;
}

int GuideTimeline::RowsInView() const {
  const int view = parentWidget() ? parentWidget()->height() : height();
  return std::max(1, (view - kAxisHeight) / RowHeight());
}

void GuideTimeline::MoveTo(EventRef ref, bool keepTime) {
  if (!Valid(ref)) return;
  const int64_t time = keyTime_;
  focused_ = ref;
  keyTime_ = keepTime ? time : EventOf(ref).startUtc;
  update();
  emit eventFocused(ref.first, ref.second);
}

void GuideTimeline::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  const bool ctrl = e->modifiers() & Qt::ControlModifier;
  const bool moves = key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up || key == Qt::Key_Down ||
                     key == Qt::Key_Home || key == Qt::Key_End || key == Qt::Key_PageUp || key == Qt::Key_PageDown;
  if (!moves || (e->modifiers() & ~(Qt::ControlModifier | Qt::KeypadModifier))) {
    QWidget::keyPressEvent(e);
    return;
  }
  e->accept();  // at an end too: the scroll area around must not move instead
  const int first = ChannelFrom(-1, 1);
  if (first < 0) return;
  const int last = ChannelFrom(static_cast<int>(guide_->size()), -1);
  const EventRef at = Valid(focused_) ? focused_ : EventRef{first, 0};
  const int count = static_cast<int>((*guide_)[static_cast<size_t>(at.first)].events.size());
  auto sameTime = [this](int channel) { return EventRef{channel, channel < 0 ? -1 : EventNear(channel, keyTime_)}; };
  switch (key) {
    case Qt::Key_Left: MoveTo({at.first, std::max(at.second - 1, 0)}, false); break;
    case Qt::Key_Right: MoveTo({at.first, std::min(at.second + 1, count - 1)}, false); break;
    case Qt::Key_Home: MoveTo(ctrl ? EventRef{first, 0} : EventRef{at.first, 0}, false); break;
    case Qt::Key_End:
      MoveTo(ctrl ? EventRef{last, static_cast<int>((*guide_)[static_cast<size_t>(last)].events.size()) - 1}
                  : EventRef{at.first, count - 1}, false);
      break;
    case Qt::Key_Up:
    case Qt::Key_Down:
      MoveTo(Valid(focused_) ? sameTime(ChannelFrom(at.first, key == Qt::Key_Up ? -1 : 1)) : at, true);
      break;
    default: {  // a screen of channels, or as far as there are
      const int step = key == Qt::Key_PageUp ? -1 : 1;
      int channel = at.first;
      for (int rows = RowsInView(); rows > 0; --rows) {
        const int next = ChannelFrom(channel, step);
        if (next < 0) break;
        channel = next;
      }
      MoveTo(channel == at.first && Valid(focused_) ? at : sameTime(channel), true);
    }
  }
}

void GuideTimeline::focusInEvent(QFocusEvent* e) {
  QWidget::focusInEvent(e);
  // The keys start on the chosen channel, at the time they left.
  if (!guide_ || (Valid(focused_) && (focused_.first == chosen_ || chosen_ < 0))) {
    update();
    return;
  }
  int channel = chosen_ >= 0 && chosen_ < static_cast<int>(guide_->size()) &&
                        !(*guide_)[static_cast<size_t>(chosen_)].events.empty() ? chosen_ : ChannelFrom(-1, 1);
  if (channel >= 0) MoveTo({channel, Valid(focused_) ? EventNear(channel, keyTime_) : 0}, Valid(focused_));
  update();
}

void GuideTimeline::focusOutEvent(QFocusEvent* e) {
  QWidget::focusOutEvent(e);
  update();
}

void GuideTimeline::paintEvent(QPaintEvent* paint) {
  QPainter p(this);
  const QRect exposed = paint->rect();
  p.fillRect(exposed, palette().base());
  const int rowHeight = RowHeight();
  const double perSecond = kPixelsPerHour / 3600.0;
  // Hour lines and labels, the date at midnight and at the start.
  p.setPen(palette().color(QPalette::Mid));
  for (int64_t t = from_; t <= to_; t += 3600) {
    const int x = kNameWidth + static_cast<int>((t - from_) * perSecond);
    if (x < exposed.left() - kPixelsPerHour || x > exposed.right()) continue;
    p.drawLine(x, kAxisHeight - 4, x, height());
    const bool day = t == from_ || t % 86400 == 0;
    p.setPen(palette().color(QPalette::Text));
    p.drawText(QRect(x + 3, 0, kPixelsPerHour - 6, kAxisHeight), Qt::AlignVCenter | Qt::AlignLeft,
               UtcText(t, day ? QStringLiteral("MM-dd HH:mm") : QStringLiteral("HH:mm")));
    p.setPen(palette().color(QPalette::Mid));
  }
  if (!guide_ || guide_->empty()) {
    p.setPen(palette().color(QPalette::PlaceholderText));
    p.drawText(rect().adjusted(8, kAxisHeight, -8, 0), Qt::AlignLeft | Qt::AlignTop, LoadResString(kStrNoGuideYet));
    return;
  }
  for (int c = 0; c < static_cast<int>(guide_->size()); ++c) {
    const int y = kAxisHeight + c * rowHeight;
    if (y > exposed.bottom() || y + rowHeight < exposed.top()) continue;
    const SiGuideChannel& channel = (*guide_)[static_cast<size_t>(c)];
    if (c == chosen_) p.fillRect(QRect(0, y, width(), rowHeight), palette().color(QPalette::AlternateBase));
    for (int i = 0; i < static_cast<int>(channel.events.size()); ++i) {
      const SiEvent& e = channel.events[static_cast<size_t>(i)];
      const QRect r = EventRect(c, e);
      if (!r.intersects(exposed)) continue;
      // The focused event stands out while the keys are here, and stays marked when they leave.
      const bool focused = focused_ == EventRef{c, i};
      const bool keys = focused && hasFocus();
      p.setPen(palette().color(QPalette::Dark));
      p.setBrush(keys ? palette().color(QPalette::Highlight) : c == chosen_ ? QColor(200, 222, 250) : QColor(226, 232, 240));
      p.drawRect(r.adjusted(0, 0, -1, -1));
      if (focused) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(r.adjusted(1, 1, -1, -1));
      }
      if (keys) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = r.adjusted(3, 3, -3, -3);
        option.backgroundColor = palette().color(QPalette::Highlight);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
      }
      p.setPen(palette().color(keys ? QPalette::HighlightedText : QPalette::Text));
      const QRect text = r.adjusted(4, 0, -3, 0);
      p.drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                 fontMetrics().elidedText(QString::fromStdString(e.title), Qt::ElideRight, text.width()));
    }
    // The names stay readable over the events of an earlier hour.
    const QRect name(0, y, kNameWidth, rowHeight);
    p.fillRect(name, c == chosen_ ? palette().color(QPalette::AlternateBase) : palette().color(QPalette::Base));
    p.setPen(palette().color(QPalette::Text));
    p.drawText(name.adjusted(4, 0, -4, 0), Qt::AlignVCenter | Qt::AlignLeft,
               fontMetrics().elidedText(QString::fromStdString(channel.name.empty() ? channel.id : channel.name),
                                        Qt::ElideRight, kNameWidth - 8));
  }
}

bool GuideTimeline::event(QEvent* e) {
  if (e->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(e);
    const auto [channel, index] = EventAt(help->pos());
    if (channel >= 0) QToolTip::showText(help->globalPos(), EventTip((*guide_)[static_cast<size_t>(channel)].events[static_cast<size_t>(index)]), this);
    else QToolTip::hideText();
    return true;
  }
  return QWidget::event(e);
}

void GuideTimeline::mousePressEvent(QMouseEvent* e) {
  const auto [channel, index] = EventAt(e->pos());
  if (channel >= 0) {
    SetFocused({channel, index});
    emit eventClicked(channel, index);
  }
  else if (guide_ && e->pos().y() >= kAxisHeight) {
    const int row = (e->pos().y() - kAxisHeight) / RowHeight();
    if (row < static_cast<int>(guide_->size())) emit eventClicked(row, -1);
  }
}

SiGuideView::SiGuideView(QWidget* parent) : QWidget(parent) {
  setObjectName(QString::number(kIdSaGuidePage));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 4, 0, 0);
  auto* tools = new QHBoxLayout;
  export_ = new QPushButton(LoadResString(kStrExportXmltv), this);
  export_->setObjectName(QString::number(kIdSaGuideExport));
  export_->setEnabled(false);
  tools->addStretch(1);
  tools->addWidget(export_);
  layout->addLayout(tools);

  split_ = new QSplitter(Qt::Horizontal, this);
  split_->setObjectName(QString::number(kIdSaSplitGuide));
  channels_ = new QListWidget(split_);
  channels_->setObjectName(QString::number(kIdSaGuideChannels));
  right_ = new QSplitter(Qt::Vertical, split_);
  right_->setObjectName(QString::number(kIdSaSplitGuideRight));
  // The timeline, and under it the focused event's description: what
  // hovering shows, for the keys too.
  auto* timelineBox = new QWidget(right_);
  auto* timelineLayout = new QVBoxLayout(timelineBox);
  timelineLayout->setContentsMargins(0, 0, 0, 0);
  timelineLayout->setSpacing(2);
  timelineScroll_ = new QScrollArea(timelineBox);
  timelineScroll_->setFocusPolicy(Qt::NoFocus);  // the timeline inside takes the keys
  timeline_ = new GuideTimeline;
  timelineScroll_->setWidget(timeline_);
  timelineScroll_->setWidgetResizable(false);
  detail_ = new QTextEdit(timelineBox);
  detail_->setObjectName(QString::number(kIdSaGuideDetail));
  detail_->setReadOnly(true);
  detail_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  detail_->setTabChangesFocus(true);
  detail_->setAcceptDrops(false);
  detail_->setPlaceholderText(LoadResString(kStrGuideDetailHint));
  detail_->setFixedHeight(detail_->fontMetrics().lineSpacing() * 4 + 2 * detail_->frameWidth() +
                          2 * static_cast<int>(detail_->document()->documentMargin()));
  timelineLayout->addWidget(timelineScroll_, 1);
  timelineLayout->addWidget(detail_);
  events_ = new QTableWidget(0, kColumnCount, right_);
  events_->setObjectName(QString::number(kIdSaGuideEvents));
  events_->setHorizontalHeaderLabels({LoadResString(kStrStart), LoadResString(kStrDurationMin), LoadResString(kStrTitle),
                                      LoadResString(kStrGenre), LoadResString(kStrRating)});
  events_->verticalHeader()->hide();
  events_->verticalHeader()->setDefaultSectionSize(events_->fontMetrics().height() + 4);
  events_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  events_->horizontalHeader()->setSectionResizeMode(kColTitle, QHeaderView::Stretch);
  events_->setSelectionBehavior(QAbstractItemView::SelectRows);
  events_->setSelectionMode(QAbstractItemView::SingleSelection);
  events_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  events_->setTabKeyNavigation(false);  // Tab goes on to the export, not from cell to cell
  right_->addWidget(timelineBox);
  right_->addWidget(events_);
  split_->addWidget(channels_);
  split_->addWidget(right_);
  split_->setStretchFactor(0, 1);
  split_->setStretchFactor(1, 4);
  layout->addWidget(split_, 1);
  // The keys go through the page in reading order, the export last.
  setTabOrder(channels_, timeline_);
  setTabOrder(timeline_, detail_);
  setTabOrder(detail_, events_);
  setTabOrder(events_, export_);

  connect(channels_, &QListWidget::currentRowChanged, this, [this](int row) {
    timeline_->SetChosen(row);
    ShowEvents();
  });
  connect(timeline_, &GuideTimeline::eventClicked, this, [this](int channel, int event) {
    channels_->setCurrentRow(channel);
    if (event >= 0) events_->selectRow(event);
  });
  connect(timeline_, &GuideTimeline::eventFocused, this, &SiGuideView::OnEventFocused);
  connect(events_, &QTableWidget::currentCellChanged, this, [this](int row) {
    if (row >= 0) timeline_->SetFocused({channels_->currentRow(), row});
    ShowFocused();
  });
  connect(export_, &QPushButton::clicked, this, &SiGuideView::exportRequested);
}

const std::vector<SiGuideChannel>& SiGuideView::Channels() const { return snapshot_ ? snapshot_->Guide() : NoChannels(); }

void SiGuideView::OnEventFocused(int channel, int event) {
  {
    // The table follows without handing its row back: the time the keys keep stays.
    const QSignalBlocker block(events_);
    if (channels_->currentRow() != channel) channels_->setCurrentRow(channel);
    events_->selectRow(event);
  }
  ShowFocused();
}

void SiGuideView::ShowFocused() {
  // The event's start in view, and as much of it as fits.
  const QRect r = timeline_->EventRect(timeline_->Focused());
  if (!r.isEmpty()) {
    const int shown = std::min(r.width(), timelineScroll_->viewport()->width() / 2);
    timelineScroll_->ensureVisible(r.left() + shown / 2, r.center().y(), shown / 2 + 8, r.height() / 2 + 4);
  }
  ShowDetail();
}

void SiGuideView::ShowDetail() {
  const auto [channel, event] = timeline_->Focused();
  const std::vector<SiGuideChannel>& guide = Channels();
  if (channel < 0 || channel >= static_cast<int>(guide.size()) || event < 0 ||
      event >= static_cast<int>(guide[static_cast<size_t>(channel)].events.size())) {
    detail_->clear();
    return;
  }
  const QString html = EventTip(guide[static_cast<size_t>(channel)].events[static_cast<size_t>(event)], true);
  if (detail_->toHtml() != html) detail_->setHtml(html);
}

void SiGuideView::Clear() {
  snapshot_.reset();
  timeline_->SetGuide(nullptr);
  detail_->clear();
  channels_->clear();
  events_->setRowCount(0);
  export_->setEnabled(false);
}

void SiGuideView::Show(std::shared_ptr<const SiSnapshot> snapshot) {
  if (!snapshot) return;
  // The events table is filled again only when the chosen channel's events changed.
  const std::vector<SiGuideChannel>& before = Channels();
  const int chosen = channels_->currentRow();
  const bool same = chosen >= 0 && chosen < static_cast<int>(before.size()) &&
                    chosen < static_cast<int>(snapshot->Guide().size()) &&
                    before[static_cast<size_t>(chosen)].id == snapshot->Guide()[static_cast<size_t>(chosen)].id &&
                    before[static_cast<size_t>(chosen)].events.size() == snapshot->Guide()[static_cast<size_t>(chosen)].events.size();
  // The focused event by its channel and start, which stay when others come.
  const auto [focusChannel, focusEvent] = timeline_->Focused();
  const bool focusKnown = focusChannel >= 0 && focusChannel < static_cast<int>(before.size()) && focusEvent >= 0 &&
                          focusEvent < static_cast<int>(before[static_cast<size_t>(focusChannel)].events.size());
  const std::string focusId = focusKnown ? before[static_cast<size_t>(focusChannel)].id : std::string();
  const int64_t focusStart = focusKnown ? before[static_cast<size_t>(focusChannel)].events[static_cast<size_t>(focusEvent)].startUtc : 0;
  snapshot_ = std::move(snapshot);
  const std::vector<SiGuideChannel>& guide = snapshot_->Guide();
  timeline_->SetGuide(&guide);
  timeline_->SetFocused({-1, -1});
  for (size_t c = 0; focusKnown && c < guide.size(); ++c) {
    if (guide[c].id != focusId) continue;
    for (size_t e = 0; e < guide[c].events.size(); ++e)
      if (guide[c].events[e].startUtc == focusStart) timeline_->SetFocused({static_cast<int>(c), static_cast<int>(e)});
  }
  {
    const QSignalBlocker block(channels_);
    for (size_t i = 0; i < guide.size(); ++i) {
      const QString text = QStringLiteral("%1 (%2)").arg(
          QString::fromStdString(guide[i].name.empty() ? guide[i].id : guide[i].name)).arg(guide[i].events.size());
      if (static_cast<int>(i) >= channels_->count()) channels_->addItem(text);
      else if (channels_->item(static_cast<int>(i))->text() != text) channels_->item(static_cast<int>(i))->setText(text);
      channels_->item(static_cast<int>(i))->setToolTip(QString::fromStdString(guide[i].id));
    }
    while (channels_->count() > static_cast<int>(guide.size())) delete channels_->takeItem(channels_->count() - 1);
    if (channels_->currentRow() < 0 && !guide.empty()) channels_->setCurrentRow(0);
  }
  timeline_->SetChosen(channels_->currentRow());
  export_->setEnabled(true);
  if (!same) ShowEvents();
  ShowDetail();
}

QString SiGuideView::GenreText(const std::vector<std::string>& genres) {
  QStringList out;
  for (const std::string& genre : genres) {
    QString text = QString::fromStdString(genre);
    for (int nibble = 1; nibble <= 11; ++nibble)
      if (genre == DvbGenreName(nibble)) text = LoadResString(kStrGenreFirst + nibble - 1);
    out << text;
  }
  return out.join(QStringLiteral(", "));
}

QString SiGuideView::RatingText(const std::optional<int>& age) {
  return age ? LoadResString(kStrMinimumAge).arg(*age) : QStringLiteral("-");
}

void SiGuideView::ShowEvents() {
  const std::vector<SiGuideChannel>& guide = Channels();
  const int row = channels_->currentRow();
  if (row < 0 || row >= static_cast<int>(guide.size())) {
    events_->setRowCount(0);
    return;
  }
  const std::vector<SiEvent>& events = guide[static_cast<size_t>(row)].events;
  events_->setRowCount(static_cast<int>(events.size()));
  for (int i = 0; i < static_cast<int>(events.size()); ++i) {
    const SiEvent& e = events[static_cast<size_t>(i)];
    const QString texts[kColumnCount] = {UtcText(e.startUtc, QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                         e.durationS ? QString::number(*e.durationS / 60.0, 'f', *e.durationS % 60 ? 1 : 0)
                                                     : QStringLiteral("?"),
                                         QString::fromStdString(e.title), GenreText(e.genres), RatingText(e.minimumAge)};
    const QString tip = EventTip(e);
    for (int c = 0; c < kColumnCount; ++c) {
      QTableWidgetItem* item = events_->item(i, c);
      if (!item) {
        item = new QTableWidgetItem;
        events_->setItem(i, c, item);
      }
      item->setText(texts[c]);
      item->setToolTip(tip);
    }
  }
}

bool SiGuideView::ExportXmltv(const QString& path) const {
  if (!snapshot_) return false;
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const std::string xml = SiEpgXmltv(*snapshot_->report);
  return file.write(xml.data(), static_cast<qint64>(xml.size())) == static_cast<qint64>(xml.size());
}
