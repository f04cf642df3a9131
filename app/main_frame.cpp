#include "app/main_frame.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QProgressDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QTimer>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "analysis/dialogs/analysis_wait_dlg.h"
#include "analysis/dialogs/pat_section_dlg.h"
#include "analysis/dialogs/pmt_info_dlg.h"
#include "analysis/dialogs/program_name_dlg.h"
#include "analysis/dialogs/search_packets_dlg.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_help.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "analysis/engine/ts_file.h"
#include "ui/resource_dialog.h"
#include "ui/resources.h"
#include "ui/shell_state.h"
#include "app/tollbeck_app.h"
#include "app/tollbeck_view.h"
#include "capture/dialogs/capture_progress_dlg.h"
#include "capture/dialogs/capture_setting_dlg.h"
#include "capture/dialogs/channel_scan_dlg.h"
#include "device/tuner_device.h"
#include "device/tuner_family_name.h"
#include "platform/ui_hooks.h"
#include "tools/antenna_tuning_dlg.h"
#include "tools/lnb_setup_dlg.h"

namespace {

constexpr int kMenuResource = 128;
constexpr int kToolbarResource = 128;
constexpr int kDocumentTemplateString = 128;
constexpr int kIdleMessageString = 57345;
constexpr int kUnsupportedDeviceString = 616;
constexpr int kNoPacketString = 625;
constexpr int kNoBoxString = 626;
constexpr int kLnbSetupEndCode = 1038;
constexpr int kBoxStatusString = 1301;
constexpr int kNoBoxStatusString = 1302;
constexpr int kNoFamilyString = 1303;
constexpr int kLiveAnalysisBusyString = 1400;
constexpr int kLookingForPacketString = 1730;
constexpr int kCancelString = 702;
constexpr size_t kScanBlock = 4u << 20;
constexpr uint8_t kSyncByte = 0x47;
// A search for the first packet shorter than this shows no progress window.
constexpr int kScanProgressDelayMs = 400;

void ShowResMessage(int id) { ShowMessage(LoadResString(id).toStdString()); }

// Marks a box command as running for its whole length.
class BoxCommandScope {
public:
  explicit BoxCommandScope(bool& running) : running_(running) { running_ = true; }
  ~BoxCommandScope() { running_ = false; }
  BoxCommandScope(const BoxCommandScope&) = delete;
  BoxCommandScope& operator=(const BoxCommandScope&) = delete;

private:
  bool& running_;
};

// Whether the file at `path` holds one whole packet: a sync byte with a
// packet's length of file after it. Reads with a descriptor of its own, so
// that it may run on any thread; stops early on `cancel`.
bool FileHoldsAPacket(const std::string& path, const std::atomic<bool>& cancel, std::atomic<uint64_t>& scanned,
                      std::atomic<uint64_t>& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool found = false;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= kPacketSize) {
    const auto end = static_cast<uint64_t>(info.st_size) - kPacketSize + 1;  // where a packet may start
    size.store(end);
    std::vector<uint8_t> block(kScanBlock);
    for (uint64_t at = 0; at < end && !found && !cancel.load(); at += block.size()) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), end - at));
      const ssize_t got = ::pread(fd, block.data(), want, static_cast<off_t>(at));
      if (got <= 0) break;
      found = std::memchr(block.data(), kSyncByte, static_cast<size_t>(got)) != nullptr;
      scanned.store(at + static_cast<uint64_t>(got));
    }
  }
  ::close(fd);
  return found;
}

}  // namespace

bool IsAntennaTuningModel(int model) { return GetTunerFamily(model) == TunerFamily::Terrestrial && model != 12; }

CMainFrame::CMainFrame(CTollbeckApp& app) : app_(app) { setObjectName(QStringLiteral("mainframe")); }

CMainFrame::~CMainFrame() = default;

void CMainFrame::PreCreateWindow() {
  // Caption, system menu, minimise and maximise boxes, no sizing border; the
  // document name is not added to the title.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(LoadResString(kDocumentTemplateString).section(QLatin1Char('\n'), 0, 0));
  setWindowIcon(LoadIconResource(128));
  // A quarter of the screen, centred.
  QRect screen(0, 0, 800, 600);
  if (const QScreen* primary = QGuiApplication::primaryScreen()) screen = primary->geometry();
  const int height = screen.height() / 2;
  const int width = screen.width() / 2;
  setGeometry(screen.x() + width / 2, screen.y() + height / 2, width, height);
  setFixedSize(width, height);
  setContextMenuPolicy(Qt::NoContextMenu);
}

bool CMainFrame::Create() {
  PreCreateWindow();
  if (!CreateMenus() || !CreateToolBar()) return false;
  auto* status = new QStatusBar(this);
  status->setObjectName(QString::number(kCmdViewStatusBar));
  status->setSizeGripEnabled(false);  // the frame has no sizing border
  setStatusBar(status);
  status->showMessage(LoadResString(kIdleMessageString));
  boxStatus_ = new QLabel(status);
  boxStatus_->setObjectName(QString::number(kBoxStatusPane));
  status->addPermanentWidget(boxStatus_);
  ShowBoxStatus();
  auto* boxTimer = new QTimer(this);
  connect(boxTimer, &QTimer::timeout, this, &CMainFrame::RefreshBoxStatus);
  boxTimer->start(kBoxStatusIntervalMs);
  setDockOptions(dockOptions() | QMainWindow::AllowNestedDocks);

  auto* viewToolbar = CommandAction(kCmdViewToolbar);
  auto* viewStatus = CommandAction(kCmdViewStatusBar);
  auto* toolbar = findChild<QToolBar*>(QString::number(kCmdViewToolbar));
  viewToolbar->setCheckable(true);
  viewToolbar->setChecked(true);
  viewStatus->setCheckable(true);
  viewStatus->setChecked(true);
  connect(viewToolbar, &QAction::toggled, toolbar, &QToolBar::setVisible);
  connect(viewStatus, &QAction::toggled, status, &QStatusBar::setVisible);

  // The framework's accelerators for New and Open act on the empty document.
  for (int id : {kCmdFileNew, kCmdFileOpen}) {
    auto* action = new QAction(this);
    action->setObjectName(QString::number(id));
    action->setShortcut(id == kCmdFileNew ? QKeySequence::New : QKeySequence::Open);
    addAction(action);
    actions_[id] = action;
  }

  const std::map<int, void (CMainFrame::*)()> commands = {
      {kCmdSelectFile, &CMainFrame::OnSelectFile}, {kCmdPackets, &CMainFrame::OnPackets},
      {kCmdPat, &CMainFrame::OnAnalysePat},        {kCmdPmt, &CMainFrame::OnAnalysePmt},
      {kCmdSdt, &CMainFrame::OnAnalyseSdt},        {kCmdResetAll, &CMainFrame::OnResetAll},
      {kCmdCapture, &CMainFrame::OnCapture},       {kCmdAntennaTuning, &CMainFrame::OnAntennaTuning},
      {kCmdStreamAnalysis, &CMainFrame::OnStreamAnalysis}, {kCmdGettingStarted, &CMainFrame::OnGettingStarted},
      {kCmdLiveStreamAnalysis, &CMainFrame::OnLiveStreamAnalysis},
      {kCmdChannelScan, &CMainFrame::OnChannelScan},
  };
  for (const auto& [id, handler] : commands) connect(CommandAction(id), &QAction::triggered, this, handler);
  connect(CommandAction(kCmdAbout), &QAction::triggered, &app_, &CTollbeckApp::OnAppAbout);
  connect(CommandAction(kCmdFileNew), &QAction::triggered, &app_, &CTollbeckApp::OnFileNew);
  connect(CommandAction(kCmdFileOpen), &QAction::triggered, &app_, &CTollbeckApp::OnFileOpen);
  connect(CommandAction(kCmdExit), &QAction::triggered, this, &QWidget::close);
  return true;
}

bool CMainFrame::CreateMenus() {
  const std::vector<MenuPopupResource> popups = LoadMenuResource(kMenuResource);
  if (popups.empty()) return false;
  QMenuBar* bar = menuBar();
  bar->setObjectName(QString::number(kMenuResource));
  for (const MenuPopupResource& popup : popups) {
    QMenu* menu = bar->addMenu(popup.text);
    for (const MenuItemResource& item : popup.items) {
      if (item.separator) {
        menu->addSeparator();
        continue;
      }
      auto* action = new QAction(item.text, this);
      action->setObjectName(QString::number(item.id));
      action->setStatusTip(PromptStatusText(item.id));
      action->setToolTip(PromptTooltip(item.id));
      menu->addAction(action);
      actions_[item.id] = action;
    }
  }
  return true;
}

bool CMainFrame::CreateToolBar() {
  const std::optional<ToolbarResource> resource = LoadToolbarResource(kToolbarResource);
  if (!resource) return false;
  auto* toolbar = new QToolBar(this);
  toolbar->setObjectName(QString::number(kCmdViewToolbar));
  toolbar->setMovable(true);
  toolbar->setFloatable(true);
  toolbar->setAllowedAreas(Qt::AllToolBarAreas);
  toolbar->setIconSize(resource->imageSize);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  addToolBar(Qt::TopToolBarArea, toolbar);
  int image = 0;
  for (const ToolbarButtonResource& button : resource->buttons) {
    if (button.separator) {
      toolbar->addSeparator();
      continue;
    }
    QAction* action = CommandAction(button.id);
    if (!action) return false;
    action->setIcon(QIcon(resource->bitmap.copy(image * resource->imageSize.width(), 0,
                                                 resource->imageSize.width(), resource->imageSize.height())));
    ++image;
    action->setIconText(LoadResString(button.textString));
    toolbar->addAction(action);
    if (auto* tool = qobject_cast<QToolButton*>(toolbar->widgetForAction(action))) {
      tool->setObjectName(QString::number(button.id));
      // As wide as its text needs, never narrower than the resource's size.
      tool->setFixedSize(std::max(resource->buttonSize.width(), tool->sizeHint().width()),
                         resource->buttonSize.height());
      tool->setAutoRaise(true);
    }
  }
  return true;
}

void CMainFrame::SetView(CTollbeckView* view) {
  view_ = view;
  setCentralWidget(view);
}

QAction* CMainFrame::CommandAction(int id) const {
  const auto it = actions_.find(id);
  return it == actions_.end() ? nullptr : it->second;
}

bool CMainFrame::event(QEvent* event) {
  // Leaving a menu item or button clears its prompt: show the idle text.
  if (event->type() == QEvent::StatusTip) {
    const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
    if (QStatusBar* status = statusBar()) status->showMessage(tip.isEmpty() ? LoadResString(kIdleMessageString) : tip);
    return true;
  }
  return QMainWindow::event(event);
}

void CMainFrame::RedrawWindow() {
  // The whole client area, painted before this returns: the view is asked
  // by name, since a repaint of the frame alone may leave a child's pixels
  // from the backing store as they were.
  if (view_) view_->repaint();
  repaint();
}

void CMainFrame::OnSelectFile() {
  SelectTsFile();
  RedrawWindow();
}

void CMainFrame::OnPackets() {
  if (pTsFile) {
    RestartTsFile();
  } else {
    if (!OpenTsFile()) return;
    ReadTsBlock();
  }
  if (OpenFileHoldsAPacket()) {
    RestartTsFile();
    CSearchPacketsDlg dialog(nullptr);
    dialog.DoModal();
  }
  RedrawWindow();
}

void CMainFrame::RunAnalysisCommand(int kind) {
  if (!pTsFile && !OpenTsFile()) return;
  if (!OpenFileHoldsAPacket()) return;
  RestartTsFile();
  SetAnalysingFlag(1);
  RedrawWindow();
  nAnalysisKind.store(kind);
  {
    CAnalysisWaitDlg wait(this);
    wait.DoModal();
  }
  if (kind == kAnalysisPat) {
    CPatSectionDlg dialog(this);
    dialog.DoModal();
  } else if (kind == kAnalysisPmt) {
    CPmtInfoDlg dialog(this);
    dialog.DoModal();
  } else if (kind == kAnalysisSdt) {
    CProgramNameDlg dialog(this);
    dialog.DoModal();
  }
  SetAnalysingFlag(0);
  RedrawWindow();
}

bool CMainFrame::OpenFileHoldsAPacket() {
  // A file of many gigabytes without a sync byte is read to its end: on a
  // worker, the window answering, a progress window to stop it.
  std::atomic<bool> cancel{false}, done{false};
  std::atomic<uint64_t> scanned{0}, size{0};
  bool found = false;
  const std::string path = strTsFileName;
  std::thread worker([&] {
    found = FileHoldsAPacket(path, cancel, scanned, size);
    done.store(true);
  });
  QProgressDialog progress(LoadResString(kLookingForPacketString).arg(QString::fromStdString(path)),
                           LoadResString(kCancelString), 0, 1000, this);
  progress.setObjectName(QString::number(kLookingForPacketString));
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(kScanProgressDelayMs);
  progress.setAutoReset(false);
  QEventLoop loop;
  QTimer poll;
  connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done.load()) return loop.quit();
    if (progress.wasCanceled()) cancel.store(true);
    const uint64_t total = size.load();
    if (total > 0) progress.setValue(static_cast<int>(scanned.load() * 1000 / total));
  });
  poll.start(20);
  loop.exec();
  worker.join();
  if (!found && !cancel.load()) ShowResMessage(kNoPacketString);
  return found;
}

void CMainFrame::OnResetAll() {
  ResetAnalysis();
  RedrawWindow();
}

bool CMainFrame::DeviceGuard() {
  // A box whose requests failed, or that went and came back, has dead
  // handles: it is opened anew. One that has gone is closed.
  if (bDeviceOpen && (bDeviceRequestFailed.exchange(0) || !TunerBoxStillThere())) CloseTunerDevice();
  if (!bDeviceOpen) {
    if (OpenTunerDevice()) {
      // What the dialogs and the capture go by: this box may not be the one
      // found at start-up, or there was none then.
      nTunerModel.store(GetTunerModel());
    } else {
      CloseTunerDevice();
    }
  }
  ShowBoxStatus();
  if (bDeviceOpen) return true;
  ShowResMessage(kNoBoxString);
  return false;
}

void CMainFrame::ShowBoxStatus() {
  if (!boxStatus_) return;
  if (!bDeviceOpen) {
    boxStatus_->setText(LoadResString(kNoBoxStatusString));
    return;
  }
  const int model = nTunerModel.load();
  QString text = LoadResString(kBoxStatusString);
  text.replace(QLatin1String("%d"), QString::number(model));
  text.replace(QLatin1String("%s"), GetTunerFamily(model) == TunerFamily::None
                                        ? LoadResString(kNoFamilyString)
                                        : QString::fromLatin1(TunerFamilyShortName(model)));
  boxStatus_->setText(text);
}

void CMainFrame::RefreshBoxStatus() {
  // A dialog may be using the box through its worker: never pull it away.
  if (boxCommandRunning_ || QApplication::activeModalWidget() || LiveAnalysisUsesBox()) return;
  if (bDeviceOpen && !TunerBoxStillThere()) CloseTunerDevice();
  if (!bDeviceOpen) {
    if (OpenTunerDevice()) nTunerModel.store(GetTunerModel());
    else CloseTunerDevice();
  }
  ShowBoxStatus();
}

bool CMainFrame::LiveAnalysisUsesBox() const {
  const auto windows = findChildren<CStreamAnalysisWnd*>();
  return std::any_of(windows.begin(), windows.end(),
                     [](const CStreamAnalysisWnd* window) { return window->Live() && window->Running(); });
}

bool CMainFrame::BoxFreeGuard() {
  if (!LiveAnalysisUsesBox()) return true;
  ShowResMessage(kLiveAnalysisBusyString);
  return false;
}

void CMainFrame::OnCapture() {
  if (!BoxFreeGuard()) return;
  BoxCommandScope scope(boxCommandRunning_);
  if (!DeviceGuard()) return;
  const TunerFamily family = GetTunerFamily(nTunerModel.load());
  int result = kIdCancel;
  if (family == TunerFamily::Terrestrial) {
    result = RunDttSettingDialog();
  } else if (family == TunerFamily::Satellite) {
    bBackFromLnbSetup = 0;
    result = RunDstSettingDialog();
    while (result == kLnbSetupEndCode) {
      RunLnbSetupDialog();
      bBackFromLnbSetup = 1;
      result = RunDstSettingDialog();
    }
  } else if (family == TunerFamily::Cable) {
    result = RunDctSettingDialog();
  } else {
    ShowResMessage(kUnsupportedDeviceString);
    result = kIdCancel;
  }
  if (result == kIdOk) RunCaptureProgressDialog();
}

void CMainFrame::OnAntennaTuning() {
  if (!BoxFreeGuard()) return;
  BoxCommandScope scope(boxCommandRunning_);
  if (!DeviceGuard()) return;
  if (IsAntennaTuningModel(nTunerModel.load())) RunAntennaTuningDialog();
  else ShowResMessage(kUnsupportedDeviceString);
}

// The dialogs of capture/dialogs and tools/, each destroyed (its worker
// stopped) before the command goes on.
int CMainFrame::RunDttSettingDialog() {
  CDttSettingDlg dialog(nullptr);
  return dialog.DoModal();
}

int CMainFrame::RunDstSettingDialog() {
  CDstSettingDlg dialog(this);
  return dialog.DoModal();
}

int CMainFrame::RunDctSettingDialog() {
  CDctSettingDlg dialog(nullptr);
  return dialog.DoModal();
}

void CMainFrame::RunLnbSetupDialog() {
  CLnbSetupDlg dialog(this);
  dialog.DoModal();
}

void CMainFrame::RunCaptureProgressDialog() {
  CCaptureProgressDlg dialog(this);
  dialog.DoModal();
}

void CMainFrame::RunAntennaTuningDialog() {
  CAntennaTuningDlg dialog(nullptr);
  dialog.DoModal();
}

void CMainFrame::OnGettingStarted() { ShowGettingStarted(this); }

void CMainFrame::OnLiveStreamAnalysis() {
  if (!BoxFreeGuard() || !DeviceGuard()) return;
  auto* window = new CStreamAnalysisWnd(this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->show();
  window->StartLive();
}

void CMainFrame::OnChannelScan() {
  if (!BoxFreeGuard() || !DeviceGuard()) return;
  CChannelScanDlg dialog(this);
  dialog.exec();
}

void CMainFrame::OnStreamAnalysis() {
  if (strTsFileName.empty()) {
    ShowMessage("Must select a valid file !");
    if (!SelectTsFile()) return;
    RedrawWindow();
  }
  auto* window = new CStreamAnalysisWnd(QString::fromStdString(strTsFileName), this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->show();
}
