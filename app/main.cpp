// vantrel: the desktop application. It needs a tuner box (or vantrel-boxsim),
// unless the user chooses file analysis only or opens a file's Stream Analysis.
#include <QApplication>
#include <QLabel>
#include <QStringList>
#include <cstdio>
#include <cstring>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "analysis/health/health_report.h"
#include "app/tollbeck_app.h"
#include "platform/ui_hooks.h"
#include "platform/version.h"
#include "ui/resources.h"
#include "ui/ui_thread.h"

namespace {

// Answered before Qt starts so that they work without a display (the manual
// page is made from them at build time).
constexpr char kUsage[] =
    "Usage: vantrel [-h|--help] [--version] [--no-box] [--box BOX] [--analyze FILE [--quit-when-done]]\n"
    "               [Qt options] [FILE]\n"
    "The Vantrel desktop application: analyses MPEG transport streams recorded in\n"
    "files and captures the live stream of a USB tuner box to a file. It starts\n"
    "when a tuner box is present (a real one, or vantrel-boxsim); without one it\n"
    "offers file analysis only.\n"
    "\n"
    "  -h, --help     print this help and end\n"
    "  --version      print the version and end\n"
    "  --no-box       without a tuner box, start for file analysis only (no question)\n"
    "  --box BOX      use this box when several are present: t, a, s, bus or the path\n"
    "                 of a box's socket; remembered (as vantrel-cli --box is)\n"
    "  --analyze FILE open the Stream Analysis window on FILE (no tuner box needed)\n"
    "  --quit-when-done\n"
    "                 with --analyze: when the analysis has finished, print its status\n"
    "                 and verdict and end (status 0, or 1 when FILE could not be read or\n"
    "                 holds no transport stream, as vantrel-cli analyze)\n"
    "  FILE           select FILE in the main window and open its Stream Analysis\n"
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
  AppOptions options;
  int exitCode = 0;
  if (!ParseAppOptions(QApplication::arguments(), &options, &exitCode)) return exitCode;
  if (!options.analyzeFile.isEmpty()) {
    // The analysis of a file needs no box: the window alone, until it closes.
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    InstallQtUiHooks();
    InstallFrameworkTranslations();
    CStreamAnalysisWnd window(options.analyzeFile);
    int code = 0;
    if (options.quitWhenDone) {
      QObject::connect(&window, &CStreamAnalysisWnd::analysisFinished, &window, [&window, &code] {
        std::printf("%s\nverdict: %s\n", window.findChild<QLabel*>(QString::number(kIdSaStatus))->text().toLocal8Bit().constData(),
                    HealthVerdictKey(window.Result().Verdict()));
        std::fflush(stdout);
        code = window.ErrorText().isEmpty() && window.FailureText().isEmpty() ? 0 : 1;
        window.close();
      });
    }
    window.show();
    const int loop = application.exec();
    return loop != 0 ? loop : code;
  }
  CTollbeckApp app;
  app.SetContinueWithoutBox(options.continueWithoutBox);
  app.SetChosenBox(options.box);
  if (!app.InitInstance()) {
    app.ExitInstance();
    return 1;
  }
  if (!options.file.isEmpty()) app.SelectFileAtStart(options.file);
  const int code = application.exec();
  app.ExitInstance();
  return code;
}
