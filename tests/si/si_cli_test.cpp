// The services, tables and epg commands run as programs: JSON that parses
// with the documented fields, XMLTV that the XMLTV DTD accepts, and the
// same refusal as analyze for input that is no transport stream.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/si/si_test_support.h"

namespace {

const std::string kCli = std::string(VANTREL_BINARY_DIR) + "/cli/vantrel-cli";
const std::string kXmltvDtd = "/usr/share/sgml/xmltv/dtd/0.5/xmltv.dtd";

struct CommandRun {
  int status = -1;
  std::string out;
};

CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string WriteTemp(const std::string& name, const Bytes& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  return path;
}

TEST(SiCli, JsonOfEachCommandHasItsFields) {
  const std::string dvb = WriteTemp("si_dvb.ts", MakeDvbGuideStream());
  // A file name that is no UTF-8, as Linux allows.
  const std::string oddName = "'" + WriteTemp("si_dvb_\xFF.ts", MakeDvbGuideStream()) + "'";
  // An event whose duration is undefined (all ones): unknown, not 0.
  const std::string undefinedDuration = WriteTemp("si_dvb_duration.ts", MakeDvbGuideStream("Nachtmagazin", {0xFF, 0xFF, 0xFF}));
  struct Case {
    std::string command;
    const char* pointer;
    nlohmann::json expected;
  } cases[] = {
      {"services --json " + dvb, "/services/0/name", "Eins"},
      {"services --json " + dvb, "/services/0/logical_channel_number", 101},
      {"services --json " + dvb, "/network/name", "Vantrel Net"},
      {"services --json " + dvb, "/services/0/streams/1/languages/0", "deu"},
      {"tables --json --pid 0x10 " + dvb, "/tables/0/sections/0/fields/transport_streams/0/descriptors/1/channels/0/logical_channel_number", 101},
      {"tables --json --table-id 0x70 " + dvb, "/tables/0/repetition/count", 3},
      {"epg --json " + dvb, "/channels/0/events/2/title", "Nachtmagazin"},
      {"epg --json " + dvb, "/utc_first", "2026-12-07T21:15:00Z"},
      {"services --json - < " + dvb, "/input", "-"},
      {"services --json " + oddName, "/services/0/name", "Eins"},
      {"tables --json --table-id 0x70 " + oddName, "/tables/0/repetition/count", 3},
      {"epg --json " + oddName, "/channels/0/events/2/title", "Nachtmagazin"},
      {"epg --json " + undefinedDuration, "/channels/0/events/2/duration_s", nullptr},
      {"epg --json " + undefinedDuration, "/channels/0/events/2/stop_utc", nullptr},
      {"epg --json " + undefinedDuration, "/channels/0/events/1/duration_s", 3600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const CommandRun run = RunCommand(kCli + " " + c.command);
    ASSERT_EQ(run.status, 0);
    const nlohmann::json j = nlohmann::json::parse(run.out);
    const nlohmann::json::json_pointer pointer(c.pointer);
    ASSERT_TRUE(j.contains(pointer)) << run.out.substr(0, 2000);
    EXPECT_EQ(j[pointer], c.expected);
  }
}

TEST(SiCli, TextNamesServicesAndEvents) {
  const std::string atsc = WriteTemp("si_atsc.ts", MakeAtscGuideStream("Morning Show"));
  const CommandRun services = RunCommand(kCli + " services " + atsc);
  ASSERT_EQ(services.status, 0);
  EXPECT_NE(services.out.find("(channel 7.1): \"KVTR Vantrel\""), std::string::npos) << services.out;
  const CommandRun epg = RunCommand(kCli + " epg " + atsc);
  ASSERT_EQ(epg.status, 0);
  EXPECT_NE(epg.out.find("2026-12-07 20:00   30 min  Morning Show"), std::string::npos) << epg.out;
  const CommandRun undefined =
      RunCommand(kCli + " epg " + WriteTemp("si_text_duration.ts", MakeDvbGuideStream("Late", {0xFF, 0xFF, 0xFF})));
  EXPECT_NE(undefined.out.find("23:00    ? min  Late"), std::string::npos) << undefined.out;
}

TEST(SiCli, XmltvIsValidAgainstTheDtd) {
  ASSERT_EQ(::access(kXmltvDtd.c_str(), R_OK), 0) << "scripts/setup-deps installs libxmltv-perl, which ships the DTD";
  // U+FFFF and U+FFFE (UTF-8 in a DVB text) are no XML characters.
  const struct {
    const char* name;
    Bytes stream;
    const char* programmes;
  } cases[] = {{"dvb", MakeDvbGuideStream(), "3\n"},
               {"dvb-odd", MakeDvbGuideStream("\x15" "Late \xEF\xBF\xBF & \xEF\xBF\xBE", {0xFF, 0xFF, 0xFF}), "3\n"},
               {"atsc", MakeAtscGuideStream("Late & <Great>"), "1\n"}};
  for (const auto& [name, stream, programmes] : cases) {
    SCOPED_TRACE(name);
    const std::string input = WriteTemp(std::string("si_xmltv_") + name + ".ts", stream);
    const std::string output = input + ".xml";
    ASSERT_EQ(RunCommand(kCli + " epg --xmltv " + input + " > " + output).status, 0);
    const CommandRun lint = RunCommand("xmllint --noout --dtdvalid " + kXmltvDtd + " " + output + " 2>&1");
    EXPECT_EQ(lint.status, 0) << lint.out;
    const CommandRun count = RunCommand("grep -c '<programme ' " + output);
    EXPECT_EQ(count.out, programmes);
  }
}

TEST(SiCli, RefusesWhatIsNoTransportStream) {
  const std::string text = WriteTemp("si_text.txt", Text(std::string(5000, 'x')));
  for (const char* command : {"services", "tables", "epg --xmltv"}) {
    SCOPED_TRACE(command);
    const CommandRun run = RunCommand(kCli + " " + command + " " + text + " 2>&1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("holds no transport stream (5000 bytes"), std::string::npos) << run.out;
  }
  const CommandRun missing = RunCommand(kCli + " services /nonexistent/x.ts 2>&1");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("cannot open /nonexistent/x.ts"), std::string::npos);
}

}  // namespace
