// vantrel: the desktop application. It needs a tuner box (or vantrel-boxsim).
#include <QApplication>

#include "app/tollbeck_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  CTollbeckApp app;
  if (!app.InitInstance()) {
    app.ExitInstance();
    return 1;
  }
  const int code = application.exec();
  app.ExitInstance();
  return code;
}
