// The Guide tab of the Stream Analysis window: the programme guide (DVB EIT
// present/following and schedule, ATSC EIT and ETT) per service as a
// timeline, the chosen service's events in a table (start, duration,
// title, genre, parental rating; the description on hover), and an export
// as XMLTV, the same document `vantrel-cli epg --xmltv` prints.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "analysis/si/si_report.h"

class QListWidget;
class QPushButton;
class QScrollArea;
class QSplitter;
class QTableWidget;
struct SiSnapshot;

// Every channel's events along one time axis, a row per channel; the
// chosen channel's row marked. Hover shows an event's description.
class GuideTimeline : public QWidget {
  Q_OBJECT

public:
  explicit GuideTimeline(QWidget* parent = nullptr);
  void SetGuide(const std::vector<SiGuideChannel>* guide);  // not owned; null: empty
  void SetChosen(int channel);
  QSize sizeHint() const override;
  // The event drawn at `point`: {channel, event}, or {-1, -1}.
  std::pair<int, int> EventAt(const QPoint& point) const;

signals:
  void eventClicked(int channel, int event);

protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

private:
  QRect EventRect(int channel, const SiEvent& e) const;
  int RowHeight() const;
  const std::vector<SiGuideChannel>* guide_ = nullptr;
  int64_t from_ = 0;  // the axis: UTC seconds at the left end, whole hours
  int64_t to_ = 0;
  int chosen_ = -1;
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
  // A genre and an age in the user's language, as the table shows them.
  static QString GenreText(const std::vector<std::string>& genres);
  static QString RatingText(const std::optional<int>& minimumAge);

signals:
  // The export button: the window asks where to write (ExportXmltv).
  void exportRequested();

private:
  void ShowEvents();

  std::shared_ptr<const SiSnapshot> snapshot_;
  QSplitter* split_ = nullptr;
  QSplitter* right_ = nullptr;
  QListWidget* channels_ = nullptr;
  QScrollArea* timelineScroll_ = nullptr;
  GuideTimeline* timeline_ = nullptr;
  QTableWidget* events_ = nullptr;
  QPushButton* export_ = nullptr;
};
