// The Guide tab of the Stream Analysis window: the programme guide (DVB EIT
// present/following and schedule, ATSC EIT and ETT) per service as a
// timeline, the chosen service's events in a table (start, duration,
// title, genre, parental rating; the description on hover), the current
// event's description in a line of its own for the keyboard's user, and an
// export as XMLTV, the same document `vantrel-cli epg --xmltv` prints.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <utility>
#include <vector>

#include "analysis/si/si_report.h"

class QListWidget;
class QPushButton;
class QScrollArea;
class QSplitter;
class QTableWidget;
class QTextEdit;
struct SiSnapshot;

// Every channel's events along one time axis, a row per channel; the
// chosen channel's row marked. Hover shows an event's description. The keys
// move a focused event: left and right in time, up and down between
// channels (to the event at the same time), Home and End to the channel's
// first and last (with Ctrl: the first and last channel), PageUp and
// PageDown by a screen of channels.
class GuideTimeline : public QWidget {
  Q_OBJECT

public:
  using EventRef = std::pair<int, int>;  // {channel, event}; {-1, -1}: none

  explicit GuideTimeline(QWidget* parent = nullptr);
  void SetGuide(const std::vector<SiGuideChannel>* guide);  // not owned; null: empty
  void SetChosen(int channel);
  QSize sizeHint() const override;
  // The event drawn at `point`, or {-1, -1}.
  EventRef EventAt(const QPoint& point) const;
  // Where `ref` is drawn (empty when there is no such event).
  QRect EventRect(EventRef ref) const;
  EventRef Focused() const { return focused_; }
  // Makes `ref` the focused event (nothing when there is no such event);
  // eventFocused is not sent, the caller knows.
  void SetFocused(EventRef ref);

signals:
  void eventClicked(int channel, int event);
  // The keys moved the focused event.
  void eventFocused(int channel, int event);

protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

private:
  QRect EventRect(int channel, const SiEvent& e) const;
  int RowHeight() const;
  bool Valid(EventRef ref) const;
  const SiEvent& EventOf(EventRef ref) const;
  // The channel's event nearest to `utc` (the one that holds it first), or -1.
  int EventNear(int channel, int64_t utc) const;
  // The event before (-1) or after (+1) `ref` in time on its channel, or `ref`.
  EventRef Beside(EventRef ref, int step) const;
  // The nearest channel with events `step` rows away, past empty ones; or -1.
  int ChannelFrom(int channel, int step) const;
  // Channels in view of the scroll area around the timeline (at least one).
  int RowsInView() const;
  void MoveTo(EventRef ref, bool keepTime);
  const std::vector<SiGuideChannel>* guide_ = nullptr;
  int64_t from_ = 0;  // the axis: UTC seconds at the left end, whole hours
  int64_t to_ = 0;
  int chosen_ = -1;
  EventRef focused_{-1, -1};
  // The time up and down keep to, so that a long event on the way does
  // not pull the focus off its hour.
  int64_t keyTime_ = 0;
};

class SiGuideView : public QWidget {
  Q_OBJECT

public:
  enum Column { kColStart, kColDuration, kColTitle, kColGenre, kColRating, kColumnCount };

  explicit SiGuideView(QWidget* parent = nullptr);
  void Show(std::shared_ptr<const SiSnapshot> snapshot);
  void Clear();
  // The guide as XMLTV (false when it cannot be written or there is none yet).
  bool ExportXmltv(const QString& path) const;
  bool CanExport() const { return snapshot_ != nullptr; }
  const std::vector<SiGuideChannel>& Channels() const;
  QSplitter* Splitter() const { return split_; }
  QSplitter* RightSplitter() const { return right_; }
  GuideTimeline* Timeline() const { return timeline_; }
  // A genre and an age in the user's language, as the table shows them.
  static QString GenreText(const std::vector<std::string>& genres);
  static QString RatingText(const std::optional<int>& minimumAge);

signals:
  // The export button: the window asks where to write (ExportXmltv).
  void exportRequested();

private:
  void ShowEvents();
  // The timeline's focused event in view and its description in the detail line.
  void ShowFocused();
  void ShowDetail();
  // The timeline's focused event as the chosen channel and event.
  void OnEventFocused(int channel, int event);

  std::shared_ptr<const SiSnapshot> snapshot_;
  QSplitter* split_ = nullptr;
  QSplitter* right_ = nullptr;
  QListWidget* channels_ = nullptr;
  QScrollArea* timelineScroll_ = nullptr;
  GuideTimeline* timeline_ = nullptr;
  QTableWidget* events_ = nullptr;
  QTextEdit* detail_ = nullptr;
  QPushButton* export_ = nullptr;
};
