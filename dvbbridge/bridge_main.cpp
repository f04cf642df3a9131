// vantrel-dvbbridge: serves the tuner-box protocol in the device directory,
// backed by a Linux DVB adapter (or, with --dry-run, by a recording stand-in).
#include <cstdio>
#include <memory>
#include <string>

#include "boxserver/box_host.h"
#include "boxserver/stream_source.h"
#include "dvbbridge/bridge_options.h"
#include "dvbbridge/dvb_adapters.h"
#include "dvbbridge/dvb_box.h"
#include "dvbbridge/fake_dvb_device.h"

namespace {

// The dry run's stand-in frontend: always locked, -45 dBm and 18 dB CNR,
// which the signal mapping shows as 75 % and 60 %.
constexpr int64_t kDryRunStrengthMilliDbm = -45000;
constexpr int64_t kDryRunCnrMilliDb = 18000;
// A stream without PCRs plays at this rate.
constexpr uint64_t kDefaultBitsPerSecond = 20000000;

int Fail(const std::string& message) {
  std::fprintf(stderr, "vantrel-dvbbridge: %s\n", message.c_str());
  return 1;
}

std::string SystemsText(const DvbFrontendInfo& info) {
  std::string text;
  for (DeliverySystem system : info.systems) {
    if (!text.empty()) text += ' ';
    text += DeliverySystemName(system);
  }
  return text;
}

std::string FrontendName(const DvbFrontendInfo& info) {
  return "adapter" + std::to_string(info.adapter) + "/frontend" + std::to_string(info.frontend);
}

DvbFrontendInfo DryRunFrontend(BoxFamily family) {
  DvbFrontendInfo info;
  info.name = std::string("dry run (") + FamilyName(family) + ")";
  switch (family) {
    case BoxFamily::Satellite:
      info.systems = {DeliverySystem::DVBS, DeliverySystem::DVBS2};
      info.symbolRateMax = 45000000;
      break;
    case BoxFamily::Cable:
      info.systems = {DeliverySystem::DVBC_ANNEX_A};
      info.symbolRateMax = 7200000;
      break;
    case BoxFamily::Terrestrial: info.systems = {DeliverySystem::DVBT, DeliverySystem::DVBT2}; break;
    case BoxFamily::Atsc: info.systems = {DeliverySystem::ATSC, DeliverySystem::DVBC_ANNEX_B}; break;
  }
  return info;
}

int ListFrontends() {
  std::string error;
  std::vector<DvbFrontendInfo> frontends = ListDvbFrontends(&error);
  if (frontends.empty()) {
    return Fail(std::string("no DVB adapter found in ") + kDvbDeviceRoot + (error.empty() ? "" : " (" + error + ")"));
  }
  for (const DvbFrontendInfo& info : frontends) {
    std::optional<BoxFamily> family = ChooseFamily(info.systems, std::nullopt);
    std::printf("%s: %s: %s%s\n", FrontendName(info).c_str(), info.name.c_str(), SystemsText(info).c_str(),
                family ? (std::string(" (presented as ") + FamilyName(*family) + ")").c_str() : " (no box family)");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  BridgeOptions options;
  std::string text;
  switch (ParseBridgeOptions(argc, argv, &options, &text)) {
    case ParseOutcome::Help:
      std::fputs(text.c_str(), stdout);
      return 0;
    case ParseOutcome::Error:
      std::fprintf(stderr, "vantrel-dvbbridge: %s\nRun with --help for the options.\n", text.c_str());
      return 2;
    case ParseOutcome::Run:
      break;
  }
  if (options.list) return ListFrontends();

  BoxHost host("vantrel-dvbbridge");
  std::string error;
  if (!host.Prepare(options.deviceDirectory, options.journalPath, &error)) return Fail(error);

  std::unique_ptr<DvbDevice> device;
  BoxFamily family;
  if (options.dryRun) {
    family = *options.dryRun;
    std::vector<uint8_t> stream;
    if (options.streamPath.empty()) {
      stream = GenerateDefaultStream();
    } else if (!LoadStreamFile(options.streamPath, &stream, &error)) {
      return Fail(error);
    }
    uint64_t rate = EstimatePcrBitrate(stream);
    if (rate == 0) {
      std::fprintf(stderr, "vantrel-dvbbridge: the stream has no usable PCRs; it plays at %llu bit/s\n",
                   static_cast<unsigned long long>(kDefaultBitsPerSecond));
      rate = kDefaultBitsPerSecond;
    }
    DvbStatistics statistics;
    statistics.locked = true;
    statistics.strengthScale = StatScale::Decibel;
    statistics.strength = kDryRunStrengthMilliDbm;
    statistics.cnrScale = StatScale::Decibel;
    statistics.cnr = kDryRunCnrMilliDb;
    auto fake = std::make_unique<FakeDvbDevice>(DryRunFrontend(family), statistics);
    fake->PlayLooped(std::move(stream), rate);
    std::fprintf(stderr, "vantrel-dvbbridge: dry run as a %s box, stream at %llu bit/s\n", FamilyName(family),
                 static_cast<unsigned long long>(rate));
    device = std::move(fake);
  } else {
    std::vector<DvbFrontendInfo> frontends = ListDvbFrontends(&error);
    if (frontends.empty()) {
      return Fail(std::string("no DVB adapter found in ") + kDvbDeviceRoot + (error.empty() ? "" : " (" + error + ")"));
    }
    unsigned adapter = options.adapter ? *options.adapter : frontends.front().adapter;
    unsigned frontend = options.adapter ? options.frontend : frontends.front().frontend;
    device = OpenDvbFrontend(adapter, frontend, &error);
    if (!device) return Fail(error);
    std::optional<BoxFamily> chosen = ChooseFamily(device->Info().systems, options.system);
    if (!chosen) {
      return Fail(FrontendName(device->Info()) + " (" + SystemsText(device->Info()) + ") serves " +
                  (options.system ? std::string("no ") + FamilyName(*options.system) + " box" : "no box family"));
    }
    family = *chosen;
    std::fprintf(stderr, "vantrel-dvbbridge: %s (%s, %s) as a %s box\n", FrontendName(device->Info()).c_str(),
                 device->Info().name.c_str(), SystemsText(device->Info()).c_str(), FamilyName(family));
  }

  JournalingDvbDevice journaling(device.get(), host.journalFd());
  DvbBox box(&journaling, family);
  BoxProtocol protocol(IdentityForFamily(family), &box, 0);
  if (!protocol.CreateRing(&error)) return Fail(error);
  bool served = host.Serve({&protocol}, &error);
  box.StopStream();  // the reader stops before the ring goes
  if (box.Overruns()) {
    std::fprintf(stderr, "vantrel-dvbbridge: %llu DVR buffer overruns in all\n",
                 static_cast<unsigned long long>(box.Overruns()));
  }
  return served ? 0 : Fail(error);
}
