// vantrel: the desktop application. It needs a tuner box (or vantrel-boxsim).
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "app/tollbeck_app.h"
#include "platform/ui_hooks.h"
#include "platform/version.h"
#include "ui/resources.h"
#include "ui/ui_thread.h"

namespace {

// Its only arguments of its own, answered before Qt starts so that they work
// without a display (the manual page is made from them at build time).
constexpr char kUsage[] =
    "Usage: vantrel [-h|--help] [--version] [--analyze FILE] [Qt options]\n"
    "The Vantrel desktop application: analyses MPEG transport streams recorded in\n"
    "files and captures the live stream of a USB tuner box to a file. It starts\n"
    "only when a tuner box is present (a real one, or vantrel-boxsim).\n"
    "\n"
    "  -h, --help     print this help and end\n"
    "  --version      print the version and end\n"
    "  --analyze FILE open the Stream Analysis window on FILE (no tuner box needed)\n"
    "\n"
    "Other arguments go to Qt, e.g. -platform offscreen.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vantrel %s\n", kVantrelVersion);
    return 0;
  }
  QApplication application(argc, argv);
  // The analysis of a file needs no box: the window alone, until it closes.
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--analyze") != 0) continue;
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    InstallQtUiHooks();
    InstallFrameworkTranslations();
    CStreamAnalysisWnd window;
    window.show();
    window.Start(QString::fromLocal8Bit(argv[i + 1]));
    return application.exec();
  }
  CTollbeckApp app;
  if (!app.InitInstance()) {
    app.ExitInstance();
    return 1;
  }
  const int code = application.exec();
  app.ExitInstance();
  return code;
}
