// `vantrel-cli epg`: the programme guide from EIT (DVB) or EIT and ETT
// (ATSC), as text, JSON or XMLTV.
#include <memory>

#include "cli/si_command.h"

namespace {

struct EpgOptions : SiCommandOptions {
  bool xmltv = false;
};

CliCommandRegistration epgCommand(
    "epg", "Print the programme guide of a transport stream (EIT), as text, JSON or XMLTV",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<EpgOptions>();
      AddSiCommandOptions(command, *options);
      command.add_flag("--xmltv", options->xmltv, "Print the guide as an XMLTV document");
      command.footer(std::string(kSiCommandFooter) +
                     "\n\nEvery event is listed once, whether it came in present/following or schedule "
                     "sections. JSON: {input, partial, si, utc_first, utc_last, time_source, channels [{id, name, "
                     "service_id, source_id, transport_stream_id, original_network_id, events [{event_id, "
                     "start_utc, stop_utc, duration_s, title, short_text, description, language, genres [], "
                     "minimum_age, running_status}]}]}. Channel ids: ONID.TSID.SID.dvb, or MAJOR-MINOR.atsc.");
      return [options] {
        return RunSiCommand(*options, [&](const SiReport& report, const SiOutputSource& source) {
          if (options->xmltv) return SiEpgXmltv(report);
          return options->json ? SiEpgJson(report, source) : SiEpgText(report, source);
        });
      };
    });

}  // namespace
