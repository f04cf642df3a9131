#include "dvbbridge/bridge_options.h"

#include <CLI/CLI.hpp>

#include "platform/version.h"

namespace {

const char kDescription[] =
    "Presents a Linux DVB adapter as a Vantrel tuner box: the desktop application and "
    "vantrel-cli then use it as they use vantrel-boxsim.";

const char kFooter[] =
    "SYSTEM is dvbs, dvbc, dvbt or atsc. Without --adapter the first frontend is used; the "
    "box family follows its delivery systems (--system chooses one where it has several).\n"
    "--dry-run needs no hardware: a recording stand-in for a frontend of SYSTEM (always "
    "locked, -45 dBm, CNR 18 dB) takes the DVB calls and writes them to the journal, and the "
    "stream is FILE (default: a small generated stream) looped at its PCR rate.\n"
    "SIGINT or SIGTERM end it cleanly.";

}  // namespace

ParseOutcome ParseBridgeOptions(int argc, const char* const* argv, BridgeOptions* options,
                                std::string* text) {
  CLI::App app(kDescription, "vantrel-dvbbridge");
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("vantrel-dvbbridge ") + kVantrelVersion);
  unsigned adapter = 0;
  std::string system, dryRun;
  auto* adapterOption = app.add_option("--adapter", adapter, "Adapter number N (/dev/dvb/adapterN)")->type_name("N");
  auto* frontendOption = app.add_option("--frontend", options->frontend, "Frontend number of the adapter (default 0)")->type_name("N");
  app.add_option("--device-dir", options->deviceDirectory, "Publish the box here instead of the default directory")->type_name("DIR");
  app.add_option("--journal", options->journalPath, "Append one line per request and per DVB call to FILE")->type_name("FILE");
  auto* listFlag = app.add_flag("--list", options->list, "List the adapters' frontends and their delivery systems");
  auto* systemOption = app.add_option("--system", system, "Family to present: dvbs, dvbc, dvbt or atsc")
                           ->check(CLI::IsMember({"dvbs", "dvbc", "dvbt", "atsc"}))
                           ->type_name("SYSTEM");
  auto* dryRunOption = app.add_option("--dry-run", dryRun, "No hardware: a stand-in frontend of SYSTEM")
                           ->check(CLI::IsMember({"dvbs", "dvbc", "dvbt", "atsc"}))
                           ->type_name("SYSTEM");
  auto* streamOption = app.add_option("--stream", options->streamPath, "Dry run: transport stream FILE to loop")->type_name("FILE");
  streamOption->needs(dryRunOption);
  frontendOption->needs(adapterOption);
  listFlag->excludes(dryRunOption);
  dryRunOption->excludes(adapterOption)->excludes(systemOption);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    *text = app.help();
    return ParseOutcome::Help;
  } catch (const CLI::CallForVersion& version) {
    *text = std::string(version.what()) + "\n";
    return ParseOutcome::Help;
  } catch (const CLI::ParseError& error) {
    *text = error.what();
    return ParseOutcome::Error;
  }
  if (*adapterOption) options->adapter = adapter;
  if (!system.empty()) options->system = ParseFamilyName(system);
  if (!dryRun.empty()) options->dryRun = ParseFamilyName(dryRun);
  return ParseOutcome::Run;
}
