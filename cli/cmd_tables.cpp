// `vantrel-cli tables`: every table and section version seen, decoded, with
// how often it repeated.
#include <memory>

#include "cli/si_command.h"

namespace {

struct TablesOptions : SiCommandOptions {
  std::optional<int64_t> pid;
  std::optional<int64_t> tableId;
};

CliCommandRegistration tablesCommand(
    "tables", "Decode every table and section version of a transport stream, with their repetition",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<TablesOptions>();
      AddSiCommandOptions(command, *options);
      command.add_option("--pid", options->pid, "Only the tables on this PID")->check(CliNumber(0, 0x1FFF));
      command.add_option("--table-id", options->tableId, "Only the tables with this table_id")->check(CliNumber(0, 0xFF));
      command.footer(std::string(kSiCommandFooter) +
                     "\n\nJSON: {input, partial, si, utc_first, utc_last, time_source, tables [{pid, table_id, table, "
                     "table_id_extension, [transport_stream_id, original_network_id: EIT and SDT, whose tables of several transport streams share extensions], repetition, sections [{version, section_number, last_section_number, "
                     "current, size, repetition, content_changes, fields}]}]}; repetition is {count, "
                     "first_byte_offset, min_bytes, mean_bytes, max_bytes, min_s, mean_s, max_s} (intervals "
                     "between repetitions; seconds on the stream clock, the PCRs against the byte position, null without one). fields holds the "
                     "decoded table; descriptors are {tag, name, ...fields} or {tag, name: \"unknown\", hex}.");
      return [options] {
        const int pid = options->pid ? static_cast<int>(*options->pid) : -1;
        const int tableId = options->tableId ? static_cast<int>(*options->tableId) : -1;
        return RunSiCommand(*options, [&](const SiReport& report, const SiOutputSource& source) {
          return options->json ? SiTablesJson(report, source, pid, tableId) : SiTablesText(report, source, pid, tableId);
        });
      };
    });

}  // namespace
