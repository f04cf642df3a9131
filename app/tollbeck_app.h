// The application object: start-up and shutdown order, the document
// template, the About command and the settings block of the capture dialogs.
#pragma once

#include <QObject>
#include <QStringList>
#include <memory>

#include "device/tuner_device.h"

class CMainFrame;
class CTollbeckDoc;

// The program's own options ("--no-box", "--help"); false after printing
// the help or an error for an unknown option, with the exit code to use.
struct AppOptions {
  bool continueWithoutBox = false;
  QString analyzeFile;  // --analyze FILE: only the Stream Analysis window
  bool quitWhenDone = false;  // --quit-when-done: with --analyze, end after the analysis
  QString file;         // FILE: selected in the main window and analysed
  QString box;          // --box t|a|s|bus|PATH: the box to use from now on
};
bool ParseAppOptions(const QStringList& arguments, AppOptions* options, int* exitCode);

class CTollbeckApp : public QObject {
  Q_OBJECT

public:
  // Clears the analysis engine and marks the box as not open.
  CTollbeckApp();
  ~CTollbeckApp() override;

  // Names the application, creates document, frame and view, opens the tuner
  // box and shows the window. Without a box a line on stderr and a question
  // in the user's language say where devices were looked for; the answer
  // "No" (the default) returns false before the window shows, "Yes" goes on
  // for file analysis only (device commands then say "No tuner box found.").
  bool InitInstance();
  // `vantrel --no-box`: without a box, go on for file analysis at once.
  void SetContinueWithoutBox(bool continueWithoutBox) { continueWithoutBox_ = continueWithoutBox; }
  // `vantrel FILE`: the file selected as by Select File, and its Stream
  // Analysis window opened.
  void SelectFileAtStart(const QString& path);
  // `vantrel --box`: remembered in the profile as the box to use. Without
  // it the box the user chose last (vantrel-cli --box too) is taken when it
  // is present, else the first box present.
  void SetChosenBox(const QString& box) { chosenBox_ = box; }
  // Closes the box, then resets the analysis engine.
  int ExitInstance();

  // The single document template: document, main frame and view. Also used
  // by the tests, which drive the frame without a box.
  bool CreateMainWindow();

  CMainFrame* GetMainFrame() const { return frame_.get(); }
  CTollbeckDoc* GetDocument() const { return document_.get(); }

  // Commands handled by the application object.
  void OnAppAbout();
  void OnFileNew();
  void OnFileOpen();

  // The settings block (channel, capture settings, capture file) is kept in
  // capture/capture_settings.h, where the dialogs, the capture worker and the
  // command line all reach it.

private:
  bool AskContinueWithoutBox() const;
  // Chooses the box OpenTunerDevice opens, from --box or the profile.
  void SelectChosenBox();
  // A profile that cannot be read: where and why, in a message box.
  void ReportUnreadableProfile() const;

  bool continueWithoutBox_ = false;
  QString chosenBox_;
  std::unique_ptr<CTollbeckDoc> document_;
  std::unique_ptr<CMainFrame> frame_;
};
