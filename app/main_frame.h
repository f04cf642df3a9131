// The main frame: menu, toolbar, status bar and the command table. Every
// command of the menu and the toolbar lands here.
#pragma once

#include <QMainWindow>
#include <map>

class CTollbeckApp;
class CTollbeckView;
class QAction;
class QLabel;

// Command ids of the menu and the toolbar.
enum CommandId : int {
  kCmdPackets = 32772,
  kCmdPat = 32773,
  kCmdSelectFile = 32775,
  kCmdResetAll = 32777,
  kCmdPmt = 32778,
  kCmdSdt = 32779,
  kCmdCapture = 32780,
  kCmdAntennaTuning = 32785,
  kCmdStreamAnalysis = 32790,
  kCmdLiveStreamAnalysis = 32791,
  kCmdGettingStarted = 32793,
  kCmdChannelScan = 32794,
  kCmdFileNew = 57600,
  kCmdFileOpen = 57601,
  kCmdAbout = 57664,
  kCmdExit = 57665,
  kCmdViewToolbar = 59392,
  kCmdViewStatusBar = 59393,
};

// The boxes the Antenna Tuning Utility serves: terrestrial and ATSC, except 12.
bool IsAntennaTuningModel(int model);

// The status bar's field naming the connected box (its object name).
constexpr int kBoxStatusPane = 1350;
// How often the status bar looks whether the box went or came.
constexpr int kBoxStatusIntervalMs = 2000;

class CMainFrame : public QMainWindow {
  Q_OBJECT

public:
  explicit CMainFrame(CTollbeckApp& app);
  ~CMainFrame() override;

  // Window style, placement, menu, toolbar and status bar; false when a
  // resource is missing.
  bool Create();
  void SetView(CTollbeckView* view);
  CTollbeckView* GetView() const { return view_; }

  // The action that runs command `id` (menu, toolbar and accelerators share it).
  QAction* CommandAction(int id) const;

  // Repaints the whole window at once.
  void RedrawWindow();

  // The status bar's box field from the box that is open now: "Tuner box:
  // model N (DTT)" or "No tuner box".
  void ShowBoxStatus();
  // What the field's timer does while no box command runs: closes a box that
  // has gone, opens one that has come (or come back), then shows the field.
  void RefreshBoxStatus();

  // The commands.
  void OnSelectFile();
  void OnPackets();
  void OnAnalysePat() { RunAnalysisCommand(1); }
  void OnAnalysePmt() { RunAnalysisCommand(2); }
  void OnAnalyseSdt() { RunAnalysisCommand(4); }
  void OnResetAll();
  void OnCapture();
  void OnAntennaTuning();
  // Opens a Stream Analysis window on the selected file (asking for one when
  // none is); the window is not modal and closes with the frame.
  void OnStreamAnalysis();
  // A Stream Analysis window on the open box's live stream, tuned with the
  // stored channel (the box is opened first when it is closed).
  void OnLiveStreamAnalysis();
  void OnChannelScan();
  // Help > Getting started: a short page in the user's language.
  void OnGettingStarted();

protected:
  bool event(QEvent* event) override;

private:
  void PreCreateWindow();
  bool CreateMenus();
  bool CreateToolBar();
  void RunAnalysisCommand(int kind);
  // Whether the selected file holds one whole packet, found without holding
  // the window; says so when it holds none. False also when the user stopped
  // the search.
  bool OpenFileHoldsAPacket();
  // Before every box command: a box that has gone is closed, one that went
  // and came back (or whose requests failed) is opened anew, a closed one is
  // opened; false (the box closed and "No tuner box found." shown) when
  // there is none, before any dialog opens.
  bool DeviceGuard();
  // A Live Stream Analysis window's worker is tuning or streaming: another
  // box command would restart the stream under it (the box refuses only
  // other programs).
  bool LiveAnalysisUsesBox() const;
  // Before DeviceGuard: false (and the user told to stop the live analysis
  // first) while one uses the box.
  bool BoxFreeGuard();

  // Where the capture and tools subsystems' dialogs open; each returns the
  // dialog's end code.
  int RunDttSettingDialog();
  int RunDstSettingDialog();
  int RunDctSettingDialog();
  void RunLnbSetupDialog();
  void RunCaptureProgressDialog();
  void RunAntennaTuningDialog();

  CTollbeckApp& app_;
  CTollbeckView* view_ = nullptr;
  QLabel* boxStatus_ = nullptr;
  // A box command (its dialogs, their workers) is using the box: the timer
  // leaves it alone.
  bool boxCommandRunning_ = false;
  std::map<int, QAction*> actions_;
};
