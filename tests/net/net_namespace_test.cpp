// Multicast across a real link: two network namespaces made for the test,
// joined by a veth pair; `play` sends in one, `analyze` receives in the
// other (loopback does not loop IPv6 multicast back here). Needs root or
// CAP_NET_ADMIN and iproute2; skipped, saying why, without them.
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <thread>

#include "tests/net/net_test_support.h"
#include "tests/support/run_cli.h"

namespace {

using namespace nettest;
using Json = nlohmann::json;
using std::chrono::seconds;

constexpr const char* kIp = "/usr/sbin/ip";

// A sender and a receiver namespace and the link between them ("vs0" in the
// sender with fd00:5a::1 and 10.90.0.1, "vr0" in the receiver with
// fd00:5a::2 and 10.90.0.2; no duplicate address detection). Both are
// deleted when it goes, whatever the test did.
class NamespacePair {
public:
  NamespacePair()
      : sender_("vantrel-s" + std::to_string(getpid())), receiver_("vantrel-r" + std::to_string(getpid())) {}
  ~NamespacePair() {
    for (const std::string* name : {&sender_, &receiver_})
      if (made_[name == &receiver_]) Ip("netns del " + *name, nullptr);
  }
  NamespacePair(const NamespacePair&) = delete;
  NamespacePair& operator=(const NamespacePair&) = delete;

  // false with the reason when the namespaces or the link cannot be made.
  bool Create(std::string* why) {
    if (access(kIp, X_OK) != 0) {
      *why = "iproute2 is not installed (scripts/setup-deps)";
      return false;
    }
    made_[0] = Ip("netns add " + sender_, why);
    if (!made_[0]) {
      *why = "cannot make a network namespace (needs root or CAP_NET_ADMIN): " + *why;
      return false;
    }
    made_[1] = Ip("netns add " + receiver_, why);
    const std::string s = "-n " + sender_ + " ", r = "-n " + receiver_ + " ";
    for (const std::string& command :
         {s + "link add vs0 type veth peer name vr0 netns " + receiver_, s + "addr add fd00:5a::1/64 dev vs0 nodad",
          s + "addr add 10.90.0.1/24 dev vs0", r + "addr add fd00:5a::2/64 dev vr0 nodad",
          r + "addr add 10.90.0.2/24 dev vr0", s + "link set lo up", r + "link set lo up", s + "link set vs0 up",
          r + "link set vr0 up"})
      if (!made_[1] || !Ip(command, why)) return false;
    // The link passes IPv6 only once its link-local addresses are past
    // duplicate address detection (about 1.5 s).
    const auto end = std::chrono::steady_clock::now() + seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      std::string tentative;
      for (const std::string* name : {&sender_, &receiver_}) tentative += IpOutput("-n " + *name + " -6 addr show tentative");
      if (tentative.empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    *why = "the link's IPv6 addresses stayed tentative";
    return false;
  }

  // `vantrel-cli ARGS` run in the sender's or the receiver's namespace.
  std::unique_ptr<Background> InSender(const std::vector<std::string>& args) const { return In(sender_, args); }
  std::unique_ptr<Background> InReceiver(const std::vector<std::string>& args) const { return In(receiver_, args); }

private:
  static bool Ip(const std::string& arguments, std::string* error) {
    TempDir dir;
    const int status = std::system((std::string(kIp) + " " + arguments + " 2> " + dir.File("err")).c_str());
    if (status != 0 && error) *error = "ip " + arguments + ": " + ReadFileBytes(dir.File("err"));
    return status == 0;
  }
  static std::string IpOutput(const std::string& arguments) {
    TempDir dir;
    std::system((std::string(kIp) + " " + arguments + " > " + dir.File("out") + " 2>&1").c_str());
    return ReadFileBytes(dir.File("out"));
  }
  static std::unique_ptr<Background> In(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"netns", "exec", name, Cli()};
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<Background>(kIp, all);
  }

  std::string sender_, receiver_;
  bool made_[2] = {false, false};
};

TEST(NetNamespace, MulticastAcrossALinkIsAnalysedAsTheFile) {
  NamespacePair link;
  std::string why;
  // A machine that cannot make the namespaces, the veth link or IPv6
  // addresses has nothing to test this on: that is not the program's fault.
  if (!link.Create(&why)) GTEST_SKIP() << why;
  const CliRun file = RunCli({"analyze", kSample, "--json"});
  ASSERT_EQ(file.exitCode, 0) << file.err;
  const Json expected = Json::parse(file.out, nullptr, false);
  struct Case {
    const char* listen;
    const char* send;
    bool rtp;
  };
  const Case cases[] = {
      {"udp://[ff15::5a:1]:5501?iface=vr0", "udp://[ff15::5a:1]:5501?iface=vs0", false},
      {"rtp://[fd00:5a::1]@[ff35::8000:5a]:5502?iface=vr0", "rtp://[ff35::8000:5a]:5502?iface=vs0", true},
      {"udp://239.255.90.1:5503?iface=vr0", "udp://239.255.90.1:5503?iface=vs0", false},
      {"rtp://10.90.0.1@232.90.0.1:5504?iface=10.90.0.2", "rtp://232.90.0.1:5504?iface=10.90.0.1", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen);
    const int port = std::atoi(std::string(c.listen).substr(std::string(c.listen).rfind(':') + 1).c_str());
    auto analyze = link.InReceiver({"analyze", c.listen, "--packets", std::to_string(kSamplePackets), "--json"});
    ASSERT_TRUE(WaitForPort(port, false, seconds(10), analyze->pid())) << analyze->Err();
    auto play = link.InSender({"play", kSample, "--to", c.send, "--bitrate", "40000000", "-q"});
    EXPECT_EQ(play->Wait(seconds(30)), 0) << play->Err();
    ExpectLiveAnalysisOfTheSample(*analyze, expected, c.rtp);
  }
  // A source-specific join for another source gets nothing of this sender.
  auto analyze = link.InReceiver({"analyze", "rtp://[fd00:5a::9]@[ff35::8000:5b]:5505?iface=vr0&timeout=2",
                                  "--packets", "1000", "--json"});
  ASSERT_TRUE(WaitForPort(5505, false, seconds(10), analyze->pid())) << analyze->Err();
  auto play = link.InSender({"play", kSample, "--to", "rtp://[ff35::8000:5b]:5505?iface=vs0", "--bitrate",
                             "40000000", "-q"});
  EXPECT_EQ(analyze->Wait(seconds(30)), 1);
  EXPECT_NE(analyze->Err().find("no datagram arrived"), std::string::npos) << analyze->Err();
  EXPECT_EQ(play->Wait(seconds(30)), 0) << play->Err();
}

}  // namespace
