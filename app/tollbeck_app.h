// The application object: start-up and shutdown order, the document
// template, the About command and the settings block of the capture dialogs.
#pragma once

#include <QObject>
#include <memory>

#include "device/tuner_device.h"

class CMainFrame;
class CTollbeckDoc;

class CTollbeckApp : public QObject {
  Q_OBJECT

public:
  // Clears the analysis engine and marks the box as not open.
  CTollbeckApp();
  ~CTollbeckApp() override;

  // Names the application, creates document, frame and view, opens the tuner
  // box and shows the window. false when there is no box: the window was
  // never shown, and one line on stderr says where devices were looked for.
  bool InitInstance();
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
  std::unique_ptr<CTollbeckDoc> document_;
  std::unique_ptr<CMainFrame> frame_;
};
