// `vantrel-cli services`: one row per service, joined from PAT, PMT, SDT or
// VCT and NIT, with what each stream carries.
#include <memory>

#include "cli/si_command.h"

namespace {

CliCommandRegistration servicesCommand(
    "services", "List the services of a transport stream with what each stream carries",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<SiCommandOptions>();
      AddSiCommandOptions(command, *options);
      command.footer(std::string(kSiCommandFooter) +
                     "\n\nJSON: {input, partial, si (dvb|atsc|none), utc_first, utc_last, time_source, "
                     "network {network_id, name}, services [{service_id, name, provider, service_type, "
                     "transport_stream_id, original_network_id, logical_channel_number, logical_channel_visible, "
                     "major_channel_number, minor_channel_number, source_id, pmt_pid, pcr_pid, in_pat, scrambled, "
                     "ca_systems [{ca_system_id, ca_pid}], bitrate_bps, streams [{pid, stream_type, kind, codec, "
                     "profile, level, width, height, frame_rate, interlaced, aspect_ratio, channels, channel_layout, "
                     "sample_rate, bit_rate, languages [], bitrate_bps}]}]}; unknown values are null.");
      return [options] {
        return RunSiCommand(*options, [&](const SiReport& report, const SiOutputSource& source) {
          return options->json ? SiServicesJson(report, source) : SiServicesText(report, source);
        });
      };
    });

}  // namespace
