#include "app/tollbeck_app.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QMessageBox>
#include <QStringList>
#include <cstdio>
#include <string>

#include "analysis/engine/ts_file.h"
#include "app/about_box.h"
#include "app/main_frame.h"
#include "ui/resources.h"
#include "app/tollbeck_doc.h"
#include "app/tollbeck_view.h"
#include "capture/capture_settings.h"
#include "ui/ui_thread.h"
#include "platform/device_io.h"
#include "platform/profile.h"
#include "platform/ui_hooks.h"

namespace {
// Profile values live under this key, in the application's own subkey.
constexpr const char* kRegistryKey = "CAPTURE";
constexpr int kNoBoxQuestionString = 627;
constexpr int kUnreadableProfileString = 1300;
}  // namespace

bool ParseAppOptions(const QStringList& arguments, AppOptions* options, int* exitCode) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Transport stream analysis and capture from USB tuner boxes."));
  parser.addHelpOption();
  const QCommandLineOption noBox(QStringLiteral("no-box"),
                                 QStringLiteral("Without a tuner box, start for file analysis only (no question)."));
  parser.addOption(noBox);
  const QCommandLineOption analyze(QStringLiteral("analyze"),
                                   QStringLiteral("Open the Stream Analysis window on FILE (no tuner box needed)."),
                                   QStringLiteral("FILE"));
  parser.addOption(analyze);
  const QCommandLineOption quitWhenDone(
      QStringLiteral("quit-when-done"),
      QStringLiteral("With --analyze: print the outcome and end when the analysis has finished."));
  parser.addOption(quitWhenDone);
  parser.addPositionalArgument(QStringLiteral("FILE"),
                               QStringLiteral("A transport stream to select and analyse at once."), QStringLiteral("[FILE]"));
  const QCommandLineOption box(QStringLiteral("box"),
                               QStringLiteral("Use this tuner box when several are present: t, a, s, bus, or the "
                                              "path of a box's socket (remembered)."),
                               QStringLiteral("BOX"));
  parser.addOption(box);
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "vantrel: %s\n", parser.errorText().toLocal8Bit().constData());
    *exitCode = 2;
    return false;
  }
  if (parser.isSet(QStringLiteral("help"))) {
    std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
    *exitCode = 0;
    return false;
  }
  options->continueWithoutBox = parser.isSet(noBox);
  options->analyzeFile = parser.value(analyze);
  options->quitWhenDone = parser.isSet(quitWhenDone);
  if (options->quitWhenDone && options->analyzeFile.isEmpty()) {
    std::fputs("vantrel: --quit-when-done goes with --analyze FILE\n", stderr);
    *exitCode = 2;
    return false;
  }
  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) {
    std::fputs("vantrel: one FILE at most\n", stderr);
    *exitCode = 2;
    return false;
  }
  if (!files.isEmpty()) options->file = files.front();
  options->box = parser.value(box);
  TunerBoxChoice choice;
  std::string error;
  if (parser.isSet(box) && !ParseTunerBoxChoice(options->box.toStdString(), &choice, &error)) {
    std::fprintf(stderr, "vantrel: --box: %s\n", error.c_str());
    *exitCode = 2;
    return false;
  }
  return true;
}

CTollbeckApp::CTollbeckApp() {
  ClearAnalysisState();
  bDeviceOpen = 0;
  nTunerModel.store(255);
}

CTollbeckApp::~CTollbeckApp() = default;

bool CTollbeckApp::CreateMainWindow() {
  document_ = std::make_unique<CTollbeckDoc>();
  frame_ = std::make_unique<CMainFrame>(*this);
  if (!frame_->Create()) return false;
  frame_->SetView(new CTollbeckView(document_.get(), frame_.get()));
  return document_->OnNewDocument();
}

bool CTollbeckApp::InitInstance() {
  QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
  QCoreApplication::setOrganizationName(QString::fromLatin1(kRegistryKey));
  InstallQtUiHooks();
  InstallFrameworkTranslations();
  if (!CreateMainWindow()) return false;
  ReportUnreadableProfile();
  SelectChosenBox();
  if (!bDeviceOpen && !OpenTunerDevice()) {
    CloseTunerDevice();
    std::fprintf(stderr, "vantrel: no tuner box found (looked for devices in %s)\n", GetDeviceDirectory().c_str());
    if (!continueWithoutBox_ && !AskContinueWithoutBox()) return false;
  } else {
    nTunerModel.store(GetTunerModel());
  }
  frame_->ShowBoxStatus();
  frame_->show();
  return true;
}

void CTollbeckApp::SelectChosenBox() {
  std::string text = chosenBox_.toStdString();
  if (text.empty()) {
    text = LoadTunerBoxChoice();
  } else if (!StoreTunerBoxChoice(text)) {
    std::fprintf(stderr, "vantrel: the chosen box could not be remembered in %s: %s\n", GetProfilePath().c_str(),
                 LastProfileWriteProblem().c_str());
  }
  TunerBoxChoice choice;
  std::string error;
  // A stored choice that no longer parses (edited by hand) is no choice.
  if (!text.empty() && !ParseTunerBoxChoice(text, &choice, &error)) choice = TunerBoxChoice{};
  SelectTunerBox(choice, false);
}

void CTollbeckApp::ReportUnreadableProfile() const {
  const std::string problem = ProfileReadProblem();
  if (problem.empty()) return;
  std::fprintf(stderr, "vantrel: the settings file %s cannot be read (%s)\n", GetProfilePath().c_str(),
               problem.c_str());
  ShowMessage(FillTemplate(LoadResString(kUnreadableProfileString).toStdString(),
                           {GetProfilePath(), TranslateText(problem)}));
}

bool CTollbeckApp::AskContinueWithoutBox() const {
  QString text = LoadResString(kNoBoxQuestionString);
  text.replace(QLatin1String("%s"), QString::fromStdString(GetDeviceDirectory()));
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(kApplicationName), text,
                  QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  FitMessageBox(box);
  return box.exec() == QMessageBox::Yes;
}

int CTollbeckApp::ExitInstance() {
  CloseTunerDevice();
  ResetAnalysis();
  return 0;
}

void CTollbeckApp::SelectFileAtStart(const QString& path) {
  ResetAnalysis();
  strTsFileName = path.toStdString();
  frame_->RedrawWindow();
  frame_->OnStreamAnalysis();
}

void CTollbeckApp::OnAppAbout() {
  CAboutBox about(frame_.get());
  about.DoModal();
}

void CTollbeckApp::OnFileNew() { document_->OnNewDocument(); }

void CTollbeckApp::OnFileOpen() {
  std::string path;
  if (AskOpenFileName("All Files (*.*)|*.*||", "", path)) document_->OnOpenDocument(QString::fromStdString(path));
}
