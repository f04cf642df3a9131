// vantrel: the desktop application. It needs a tuner box (or vantrel-boxsim),
// unless the user chooses file analysis only.
#include <QApplication>
#include <QStringList>

#include "app/tollbeck_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  AppOptions options;
  int exitCode = 0;
  if (!ParseAppOptions(QApplication::arguments(), &options, &exitCode)) return exitCode;
  CTollbeckApp app;
  app.SetContinueWithoutBox(options.continueWithoutBox);
  if (!app.InitInstance()) {
    app.ExitInstance();
    return 1;
  }
  const int code = application.exec();
  app.ExitInstance();
  return code;
}
