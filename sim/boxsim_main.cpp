// vantrel-boxsim: plays the driver of a USB tuner box. Publishes the box's
// device interfaces as sockets in the device directory, answers the program's
// requests, and plays a transport stream into a shared-memory ring.
//
// Prints one line starting with "ready" on stdout once every socket is in
// place, and nothing more there; its reports go to stderr.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boxserver/box_host.h"
#include "platform/version.h"
#include "sim/boxsim_options.h"
#include "sim/sim_network.h"
#include "sim/simulated_box.h"
#include "boxserver/stream_source.h"

namespace {

// How often the ring writer runs: small steps keep the readers' progress steady.
constexpr auto kWriterPeriod = std::chrono::milliseconds(5);

int Fail(const std::string& message) {
  std::fprintf(stderr, "vantrel-boxsim: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  BoxSimOptions options;
  bool showHelp = false;
  std::string error;
  if (!ParseBoxSimOptions(argc, argv, &options, &showHelp, &error)) {
    std::fprintf(stderr, "vantrel-boxsim: %s\n%s", error.c_str(), BoxSimUsage());
    return 2;
  }
  if (showHelp) {
    std::fputs(BoxSimUsage(), stdout);
    return 0;
  }
  if (options.showVersion) {
    std::printf("vantrel-boxsim %s\n", kVantrelVersion);
    return 0;
  }

  BoxHost host("vantrel-boxsim");
  if (!host.Prepare(options.deviceDirectory, options.journalPath, &error)) return Fail(error);

  std::vector<uint8_t> source;
  SimNetwork network;
  if (!options.networkPath.empty()) {
    if (!LoadSimNetwork(options.networkPath, &network, &error)) return Fail(error);
  } else if (options.streamPath.empty()) {
    source = GenerateDefaultStream();
  } else if (!LoadStreamFile(options.streamPath, &source, &error)) {
    return Fail(error);
  }
  if (options.noSync) RemoveSyncBytes(&source);
  // A box delivers 188-byte packets (204 with parity bytes); a recording with
  // a prefix or suffix per packet is played as it is, so say what a capture
  // of it will find.
  if (const int size = DetectStreamPacketSize(source); size == 192 || size == 208) {
    std::fprintf(stderr,
                 "vantrel-boxsim: %s has %d-byte packets; they are played as they are, while a "
                 "tuner box delivers 188-byte packets (the PID filter passes none of them)\n",
                 options.streamPath.c_str(), size);
  }

  std::vector<std::unique_ptr<SimulatedBox>> backends;
  std::vector<std::unique_ptr<BoxProtocol>> boxes;
  std::vector<BoxProtocol*> served;
  for (BoxKind kind : options.kinds) {
    backends.push_back(std::make_unique<SimulatedBox>(kind, options, source,
                                                      options.networkPath.empty() ? nullptr : &network));
    BoxIdentity identity{kind, options.modelCode, options.streamInterface};
    boxes.push_back(std::make_unique<BoxProtocol>(identity, backends.back().get(),
                                                  static_cast<unsigned>(boxes.size())));
    if (!boxes.back()->CreateRing(&error)) return Fail(error);
    served.push_back(boxes.back().get());
  }

  std::atomic<bool> stopWriter{false};
  std::thread writer([&]() {
    auto next = std::chrono::steady_clock::now();
    while (!stopWriter.load()) {
      next += kWriterPeriod;
      auto now = std::chrono::steady_clock::now();
      if (now > next + 20 * kWriterPeriod) next = now;  // after a long stop, do not race
      std::this_thread::sleep_until(next);
      for (auto& backend : backends) backend->StreamTick();
    }
  });
  bool servedOk = host.Serve(served, &error);
  stopWriter.store(true);
  writer.join();
  return servedOk ? 0 : Fail(error);
}
