// The main frame: menu, toolbar, status bar and the command table. Every
// command of the menu and the toolbar lands here.
#pragma once

#include <QMainWindow>
#include <map>

class CTollbeckApp;
class CTollbeckView;
class QAction;

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
  kCmdFileNew = 57600,
  kCmdFileOpen = 57601,
  kCmdAbout = 57664,
  kCmdExit = 57665,
  kCmdViewToolbar = 59392,
  kCmdViewStatusBar = 59393,
};

// The boxes the Antenna Tuning Utility serves: terrestrial and ATSC, except 12.
bool IsAntennaTuningModel(int model);

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
  // Help > Getting started: a short page in the user's language.
  void OnGettingStarted();

protected:
  bool event(QEvent* event) override;

private:
  void PreCreateWindow();
  bool CreateMenus();
  bool CreateToolBar();
  void RunAnalysisCommand(int kind);
  // Opens the box when it is closed; false (the box closed and "No tuner box
  // found." shown) on failure.
  bool DeviceGuard();

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
  std::map<int, QAction*> actions_;
};
