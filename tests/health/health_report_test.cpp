// The JSON and text reports of a health result: names as people read them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "analysis/health/health_report.h"
#include "tests/health/cbr_stream.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

TEST(HealthReport, NamesAreDecodedFromTheirCharacterTablesAndKeptAsHex) {
  const Bytes latin9 = {0x0B, 'C', 'a', 'f', 0xE9, ' ', 0xA4};  // ISO 8859-15 "Café €"
  const Bytes gb2312 = {0x13, 0xD6, 0xD0, 0xCE, 0xC4};          // "中文"
  const Bytes ucs2 = {0x11, 0x00, 'T', 0xE0, 0x8A, 0x00, 'V'};  // "T", the CR/LF code, "V"
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x100}, {2, 0x101}}))
      .Section(0x0011, SdtSection(1, 1, {{.serviceId = 1, .provider = gb2312, .name = latin9},
                                         {.serviceId = 2, .name = ucs2}}));
  const HealthResult r = Analyse(stream.bytes());
  ASSERT_EQ(r.programs.size(), 2u);

  const auto json = nlohmann::json::parse(HealthJson(r));
  const auto& first = json["programs"][0];
  EXPECT_EQ(first["service_name"], "Caf\u00e9 \u20ac");
  EXPECT_EQ(first["service_name_hex"], "0B436166E920A4");
  EXPECT_EQ(first["provider_name"], "\u4e2d\u6587");
  EXPECT_EQ(first["provider_name_hex"], "13D6D0CEC4");
  EXPECT_EQ(json["programs"][1]["service_name"], "T V") << "a name never breaks a row";

  const std::string text = HealthText(r);
  EXPECT_NE(text.find("\"Caf\u00e9 \u20ac\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"T V\""), std::string::npos) << text;
}

TEST(HealthReport, NoErrorsOnlyWhenEveryCheckWasEvaluatedOnAStream) {
  Bytes withError = CbrStream(Slot(1.2)).StandardProgram().Build();
  withError[188 * 100 + 1] |= 0x80;  // transport_error_indicator
  Bytes twoErrors = withError;
  twoErrors[188 * 200 + 1] |= 0x80;
  Bytes twoChecks = withError;
  twoChecks[188 * 300] = 0x46;  // a sync byte
  TsStreamBuilder noClock;
  for (int i = 0; i < 50; ++i) noClock.Section(0, StandardPat()).Section(kPmtPid, StandardPmt()).NullPackets(10);
  struct Case {
    const char* what;
    Bytes stream;
    HealthVerdict verdict;
    const char* key;
    const char* summary;  // the text's last lines
  };
  const Case cases[] = {
      {"clean", CbrStream(Slot(1.2)).StandardProgram().Build(), HealthVerdict::NoErrors, "no_errors", "\nNo errors\n"},
      {"an error", withError, HealthVerdict::Errors, "errors", "\n1 error in 1 check\n"},
      {"two errors", twoErrors, HealthVerdict::Errors, "errors", "\n2 errors in 1 check\n"},
      {"two checks", twoChecks, HealthVerdict::Errors, "errors", "\n2 errors in 2 checks\n"},
      {"nothing framed", Bytes(1000, 0), HealthVerdict::NoStream, "no_stream", "\nNo packets: nothing was checked\n"},
      {"no clock", noClock.bytes(), HealthVerdict::NotEvaluated, "not_evaluated",
       "\nNo errors in the checks evaluated; not evaluated:\n"
       "  1.3  PAT_error: no PCR on the PCR_PID of any program: the stream has no clock\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HealthResult r = Analyse(c.stream);
    EXPECT_EQ(r.Verdict(), c.verdict);
    const std::string text = HealthText(r);
    const std::string summary = c.summary;
    EXPECT_NE(text.find(summary), std::string::npos) << text;
    EXPECT_EQ(text.find("No errors\n") != std::string::npos, c.verdict == HealthVerdict::NoErrors) << text;
    const auto json = nlohmann::json::parse(HealthJson(r));
    EXPECT_EQ(json["verdict"], c.key);
    for (const auto& check : json["checks"])
      EXPECT_EQ(check["not_evaluated_reason"].is_null(), check["evaluated"].get<bool>()) << check["name"];
  }
}

TEST(HealthReport, PidsAPmtNamesThatNeverCameAreNamedBesideTheVerdict) {
  // The usual program over `seconds`, its PMT naming `absent` PIDs (teletext,
  // not timed by PID_error) that are never sent.
  auto program = [](double seconds, const std::vector<int>& absent) {
    std::vector<PmtStream> streams = {{0x02, kVideoPid}, {0x03, kAudioPid}};
    for (int pid : absent) streams.push_back({0x06, pid});
    CbrStream stream(Slot(seconds));
    stream.PcrEvery(kVideoPid, 0.020)
        .SectionEvery(0, StandardPat(), 0.100)
        .SectionEvery(kPmtPid, PmtSection(1, kVideoPid, streams), 0.100, 0.001)
        .PtsEvery(kVideoPid, 0xE0, 0.040, 0.002)
        .PtsEvery(kAudioPid, 0xC0, 0.040, 0.003);
    return stream.Build();
  };
  const std::vector<int> ten = {0x200, 0x201, 0x202, 0x203, 0x204, 0x205, 0x206, 0x207, 0x208, 0x209};
  struct Case {
    const char* what;
    Bytes stream;
    std::vector<int> never;
    const char* line;  // after the verdict, or nothing
  };
  // PID_error's default limit is 5 s: a shorter excerpt says nothing of a PID's absence.
  const Case cases[] = {
      {"all came", program(5.2, {}), {}, nullptr},
      {"two never came", program(5.2, {0x103, 0x102}), {0x102, 0x103},
       "\nNo errors\nNamed by a PMT but never seen: 0x0102 (program 1), 0x0103 (program 1)\n"},
      {"two not yet come in 4.8 s", program(4.8, {0x103, 0x102}), {}, nullptr},
      {"ten never came", program(5.2, ten), ten, "0x0206 (program 1), 0x0207 (program 1) and 2 more\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HealthResult r = Analyse(c.stream);
    ASSERT_EQ(r.programs.size(), 1u);
    EXPECT_EQ(r.Verdict(), HealthVerdict::NoErrors);
    EXPECT_EQ(r.NeverSeenPids(r.programs[0]), c.never);
    const std::string text = HealthText(r);
    EXPECT_EQ(text.find("never seen") != std::string::npos, c.line != nullptr) << text;
    if (c.line) {
      EXPECT_NE(text.find(c.line), std::string::npos) << text;
    }
    EXPECT_EQ(nlohmann::json::parse(HealthJson(r))["programs"][0]["never_seen_pids"], nlohmann::json(c.never));
  }
}

}  // namespace
