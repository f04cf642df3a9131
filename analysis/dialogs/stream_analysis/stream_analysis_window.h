// The Stream Analysis window: a file's health read by a worker thread
// (AnalyseHealthFile, a named pipe too) while the window polls
// it and fills in the summary, the PID table, the checks with their first
// occurrences and the bitrate chart; a packet inspector that reads only the
// packets on screen. Another file comes by Open..., the recent files or a
// drop. Not modal; size, splitter positions and recent files are kept in the
// profile. Everything is reached by keys: Tab through each page, Ctrl+Tab
// and Ctrl+PgDn (Ctrl+Shift+Tab, Ctrl+PgUp) from tab to tab, Ctrl+F to the
// search of the Packets and Tables tabs.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPointF>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "analysis/dialogs/stream_analysis/stream_analysis_checks.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_live.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packets.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_pid_model.h"
#include "analysis/health/health_file.h"
#include "analysis/health/stream_observer_fanout.h"
#include "analysis/timing/timing_collector.h"

class PacketListView;
class SiGuideView;
class SiRun;
struct SiSnapshot;
class SiServicesView;
class SiTablesView;
class StreamAnalysisTiming;
class QChartView;
class QLineSeries;
class QValueAxis;
class QLabel;
class QProgressBar;
class QPushButton;
class QSortFilterProxyModel;
class QSplitter;
class QTableView;
class QTableWidget;
class QTabWidget;
class QTimer;
class QPlainTextEdit;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QMenu;
class QTextBrowser;

class CStreamAnalysisWnd : public QWidget {
  Q_OBJECT

public:
  explicit CStreamAnalysisWnd(QWidget* parent = nullptr);
  // Opens on `path`, as Start does, its reading begun before the window is built.
  explicit CStreamAnalysisWnd(const QString& path, QWidget* parent = nullptr);
  ~CStreamAnalysisWnd() override;

  // Starts reading `path` on the worker thread; an analysis under way is
  // cancelled and its result dropped. The file joins the recent files.
  void Start(const QString& path, const HealthLimits& limits = {});
  // Analyses the open box's live stream, tuned with the stored channel, until
  // Stop (the Cancel button), every tab as for a file but the packets; the
  // result stays and can be exported.
  void StartLive();
  bool Live() const { return live_; }
  const LiveStatus& LiveState() const { return liveStatus_; }
  // Stops the worker at its next block; what was read stays, marked partial.
  void Cancel();
  bool Running() const { return worker_.joinable(); }
  bool Finished() const { return finished_; }
  // The result as last shown, and the reason when the file could not be read.
  const HealthResult& Result() const { return *result_; }
  const QString& ErrorText() const { return error_; }
  // Once finished: why there is no analysis to show (the file could not be
  // read, or holds no transport stream), or nothing.
  QString FailureText() const;
  // How often the display took a new result from the worker.
  int Updates() const { return updates_; }
  TsPacketFile& PacketFile() { return packetFile_; }
  // What the display's updates cost the window's thread (its CPU time), step
  // by step: the longest single one and the sum over the analysis.
  enum DisplayStep { kStepTake, kStepSummary, kStepPids, kStepChecks, kStepOccurrences, kStepChart, kStepTiming,
                     kStepServiceInformation, kDisplayStepCount };
  struct StepCost {
    int64_t longestNs = 0;
    int64_t totalNs = 0;
  };
  const std::array<StepCost, kDisplayStepCount>& StepCosts() const { return stepCosts_; }
  static const char* StepName(DisplayStep step);

  // Opens the packet inspector at packet `index` of the file.
  void ShowPacket(uint64_t index);
  bool ExportJson(const QString& path) const;
  bool ExportCsv(const QString& path) const;
  // The programme guide as XMLTV, as `vantrel-cli epg --xmltv` writes it.
  bool ExportXmltv(const QString& path) const;
  // The rows of the checks list (grouped by priority).
  const CheckRows& CheckList() const { return checkRows_; }
  // Whether there is a result worth exporting (a stream was found).
  bool CanExport() const;
  // The name the export proposes: the analysed file's name with `extension`
  // ("json"), next to it.
  QString ProposedExportPath(const QString& extension) const;
  // `chosen` with `.extension` added when it has no such ending.
  static QString WithExtension(const QString& chosen, const QString& extension);
  // Most recent first, at most kMaxRecentFiles, from the profile.
  static QStringList RecentFiles();
  static constexpr int kMaxRecentFiles = 8;

signals:
  void analysisFinished();

protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

private:
  void StopWorker();
  // What the last analysis left, dropped (its worker stopped before); no widget is touched.
  void ResetAnalysis();
  // The worker on `path` (none for an empty one), no widget touched: the
  // constructor calls it before it builds them.
  void BeginFileAnalysis(const QString& path, const HealthLimits& limits);
  // Starts the worker on `analyse` (a file's, the live stream's), with the
  // options that attach new collectors of the service information and the
  // timing to its engine; the final service information is published when
  // it returns, however it ended. run_ is made before.
  using Analysis = std::function<HealthFileOutcome(const HealthFileOptions& options)>;
  void LaunchWorker(const HealthLimits& limits, Analysis analyse);
  // The widgets' side of a worker launched: the first display, the polling.
  void ShowAnalysisBegun();
  void OnOpen();
  void FillRecentMenu();
  static void RememberRecentFile(const QString& path);
  void BuildOverview(QWidget* page);
  void BuildPackets(QWidget* page);
  void Poll();
  void WakeWhenDone();  // from the worker, once it has finished
  // A poll's display work while the analysis runs, in turns: as many in one
  // pass of the event loop as fit in a few milliseconds (what they changed
  // is painted once), the rest in the next passes.
  enum Turn { kTurnChecks, kTurnSummary, kTurnPids, kTurnChart, kTurnTiming, kTurnServiceInformation, kTurnStatus,
              kTurnCount };
  // The turns a new result asks for.
  uint32_t ResultTurns();
  // Whether a file's analysis will end before the next poll, at its pace so far.
  bool EndIsNear() const;
  void NextTurn();
  void RunTurn(Turn turn);
  // Every part of the result at once (the start and the end of an analysis).
  void ShowResult();
  // The export buttons and the packet file, as the result allows.
  void ShowFileState();
  void ShowSummary();
  // A service name's bytes decoded, once for each distinct name.
  const QString& ServiceName(const std::string& bytes);
  void ShowChecks();
  void ShowOccurrences();
  void ShowChart();
  void ShowStatus();
  void SetProgress(int value);
  void OnOccurrenceActivated(int row);
  void OnPacketRowChanged();
  void OnOnlySelectedPid(bool on);
  void SelectPid(int pid);
  void ShowServiceInformation();
  void ShowSiPages();
  void OnFindNext();
  void OnGotoPacket();
  void OnGotoOffset();
  void ScanStep();
  void StopScans();
  int SelectedPid() const;
  void OnExportJson();
  void OnExportCsv();
  void Export(const QString& extension, int titleId, int filterId, bool (CStreamAnalysisWnd::*write)(const QString&) const);
  void RestoreLayout();
  void SaveLayout() const;
  std::vector<QSplitter*> Splitters() const;

  QString path_;
  HealthLimits limits_;
  bool streaming_ = false;        // a pipe or device: no size, no inspector
  bool live_ = false;             // the box's live stream
  LiveStatus liveStatus_;
  size_t appliedSegments_ = 0;    // sync segments the inspector numbers by
  std::unique_ptr<HealthFileRun> run_;
  std::thread worker_;
  HealthFileOutcome outcome_;  // written by the worker, read after the join
  // As the worker published it, shared with it (never changed once published).
  std::shared_ptr<const HealthResult> result_ = std::make_shared<const HealthResult>();
  uint64_t shownPublication_ = 0;
  bool finished_ = false;
  QString error_;
  int updates_ = 0;
  std::array<StepCost, kDisplayStepCount> stepCosts_{};
  bool placed_ = false;           // centred once, when first shown
  uint64_t activeOccurrence_ = UINT64_MAX;  // offset of the occurrence last opened
  uint64_t keepPacket_ = UINT64_MAX;        // the packet the PID filter keeps in view

  QTimer* pollTimer_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* exportJson_ = nullptr;
  QPushButton* exportCsv_ = nullptr;
  QMenu* recentMenu_ = nullptr;
  QLabel* status_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QTextBrowser* summary_ = nullptr;
  QString summaryHtml_;  // what it shows
  PidTableModel* pidModel_ = nullptr;
  QSortFilterProxyModel* pidSort_ = nullptr;
  QTableView* pidTable_ = nullptr;
  QTableWidget* checks_ = nullptr;
  QTableWidget* occurrences_ = nullptr;
  QLabel* occurrencesMore_ = nullptr;
  // What the occurrences list holds, so that a poll only adds what is new:
  // the check it is limited to (-1 all, -2 nothing shown yet), and per check
  // whether it is listed, how many of its occurrences were taken and the
  // offset of the last one.
  int occurrencesCheck_ = -2;
  std::array<bool, kHealthCheckCount> occurrencesListed_{};
  std::array<size_t, kHealthCheckCount> occurrencesTaken_{};
  std::array<uint64_t, kHealthCheckCount> occurrencesLastOffset_{};
  QChartView* chartView_ = nullptr;
  QLineSeries* muxSeries_ = nullptr;
  QLineSeries* pidSeries_ = nullptr;
  QValueAxis* timeAxis_ = nullptr;
  QValueAxis* rateAxis_ = nullptr;
  QList<QPointF> muxPoints_, pidPoints_;  // the lines' points as the engine gave them
  QLabel* chartValue_ = nullptr;
  int64_t redrawAfterMs_ = 0;  // while running, the summary, PID table and chart are not redrawn before
  int64_t redrawnAtMs_ = 0;    // when they were last redrawn
  int64_t redrawCostNs_ = 0;   // and what that cost the window's thread
  QElapsedTimer analysisClock_;  // since the worker started
  uint32_t pendingTurns_ = 0;  // bits of Turn
  bool turnQueued_ = false;
  // The result the Timing tab was last given (it points into it).
  std::shared_ptr<const HealthResult> timingResult_;
  std::array<size_t, 3> shownShape_{};  // PIDs, programs, signal read: when they change, the summary shows at once
  bool chartStale_ = false;         // a newer result came while the chart was not redrawn
  QTextBrowser* help_ = nullptr;
  CheckRows checkRows_;
  QComboBox* siChoice_ = nullptr;
  // The service information, published by the worker (null before the first analysis).
  std::shared_ptr<SiRun> si_;
  uint64_t shownSi_ = 0;
  // The latest snapshot, and the ones the Tables and Guide tabs show.
  std::shared_ptr<const SiSnapshot> latestSi_, tablesSi_, guideSi_;
  SiServicesView* services_ = nullptr;
  SiTablesView* tables_ = nullptr;
  SiGuideView* guide_ = nullptr;
  StreamAnalysisTiming* timing_ = nullptr;
  // What the engine passes on (sections, payloads, PCRs) goes to these.
  std::shared_ptr<TimingCollector> timingCollector_;
  std::thread guideJoin_;  // joins the final snapshot's guide behind another tab
  std::shared_ptr<StreamObserverFanout> observers_;
  std::unordered_map<std::string, QString> serviceNames_;

  TsPacketFile packetFile_;
  PacketListModel* packetModel_ = nullptr;
  PacketListView* packetList_ = nullptr;
  QPlainTextEdit* hex_ = nullptr;
  QPlainTextEdit* decoded_ = nullptr;
  QCheckBox* onlyPid_ = nullptr;
  QComboBox* searchField_ = nullptr;
  QLineEdit* searchValue_ = nullptr;
  QLineEdit* gotoPacket_ = nullptr;
  QLineEdit* gotoOffset_ = nullptr;

  // A scan over the file in steps on the UI thread's timer: the PID filter
  // of the packet list, or a search for the next matching packet.
  struct Scan {
    bool active = false;
    bool search = false;
    uint64_t next = 0;        // packet index to read next
    int pid = -1;             // the filter's PID; -1 none
    TsSearchField field = TsSearchField::Pid;
    int64_t value = 0;
  };
  Scan filterScan_;
  Scan searchScan_;
  QTimer* scanTimer_ = nullptr;
};
