// Network addresses and the unpacking of datagrams (RTP sequence, jitter).
#include <gtest/gtest.h>

#include <vector>

#include "netinput/net_address.h"
#include "netinput/ts_datagram.h"

namespace {

struct AddressCase {
  const char* text;
  bool ok;
  NetProtocol protocol;
  const char* source;
  const char* group;
  int port;
  const char* iface;
  double timeoutS;
  const char* errorPart;  // for failures
};

TEST(NetAddress, ParsesTheFormsUsersWrite) {
  const AddressCase cases[] = {
      {"udp://239.1.1.1:5000", true, NetProtocol::Udp, "", "239.1.1.1", 5000, "", 5, ""},
      {"rtp://10.0.0.1@232.1.2.3:1234", true, NetProtocol::Rtp, "10.0.0.1", "232.1.2.3", 1234, "", 5, ""},
      {"udp://[ff3e::1234]:5000?iface=eth0", true, NetProtocol::Udp, "", "ff3e::1234", 5000, "eth0", 5, ""},
      {"rtp://[2001:db8::1]@[ff3e::8]:6000?timeout=2.5&iface=10.1.1.1", true, NetProtocol::Rtp, "2001:db8::1",
       "ff3e::8", 6000, "10.1.1.1", 2.5, ""},
      {"udp://:5000", true, NetProtocol::Udp, "", "", 5000, "", 5, ""},
      {"udp://@:5000", true, NetProtocol::Udp, "", "", 5000, "", 5, ""},
      {"udp://127.0.0.1:65535", true, NetProtocol::Udp, "", "127.0.0.1", 65535, "", 5, ""},
      {"udp://127.0.0.1:0", false, NetProtocol::Udp, "", "", 0, "", 0, "port number"},
      {"udp://127.0.0.1:65536", false, NetProtocol::Udp, "", "", 0, "", 0, "port number"},
      {"udp://127.0.0.1", false, NetProtocol::Udp, "", "", 0, "", 0, "needs the form"},
      {"udp://ff3e::1:5000", false, NetProtocol::Udp, "", "", 0, "", 0, "brackets"},
      {"udp://[ff3e::1:5000", false, NetProtocol::Udp, "", "", 0, "", 0, "needs the form"},
      {"udp://1.2.3.4:5000?timeout=0", false, NetProtocol::Udp, "", "", 0, "", 0, "timeout="},
      {"udp://1.2.3.4:5000?timeout=abc", false, NetProtocol::Udp, "", "", 0, "", 0, "timeout="},
      {"udp://1.2.3.4:5000?colour=red", false, NetProtocol::Udp, "", "", 0, "", 0, "unknown option"},
      {"udp://1.2.3.4:5000?iface=", false, NetProtocol::Udp, "", "", 0, "", 0, "iface="},
      {"http://1.2.3.4:80", false, NetProtocol::Udp, "", "", 0, "", 0, "not a network address"},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto parsed = ParseNetAddress(c.text, &error);
    ASSERT_EQ(parsed.has_value(), c.ok) << error;
    if (!c.ok) {
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(parsed->protocol, c.protocol);
    EXPECT_EQ(parsed->source, c.source);
    EXPECT_EQ(parsed->group, c.group);
    EXPECT_EQ(parsed->port, c.port);
    EXPECT_EQ(parsed->iface, c.iface);
    EXPECT_DOUBLE_EQ(parsed->timeoutS, c.timeoutS);
    // Written back, it reads the same.
    const auto again = ParseNetAddress(FormatNetAddress(*parsed), &error);
    ASSERT_TRUE(again.has_value()) << FormatNetAddress(*parsed);
    EXPECT_EQ(FormatNetAddress(*again), FormatNetAddress(*parsed));
  }
}

std::vector<uint8_t> TsPayload(int packets, int size = 188) {
  std::vector<uint8_t> bytes(static_cast<size_t>(packets * size), 0xFF);
  for (int i = 0; i < packets; ++i) bytes[static_cast<size_t>(i * size)] = 0x47;
  return bytes;
}

std::vector<uint8_t> RtpDatagram(uint16_t sequence, uint32_t timestamp, int packets = 7, int payloadType = 33) {
  std::vector<uint8_t> datagram(kRtpFixedHeaderBytes);
  WriteRtpHeader(datagram.data(), payloadType, sequence, timestamp, 0x1234);
  const auto ts = TsPayload(packets);
  datagram.insert(datagram.end(), ts.begin(), ts.end());
  return datagram;
}

struct SequenceCase {
  const char* what;
  std::vector<uint16_t> sequence;
  uint64_t lost, duplicates, late, restarts;
  uint64_t passedOn;  // datagrams whose packets went on
};

TEST(TsDatagram, RtpSequenceGivesNetworkLoss) {
  const SequenceCase cases[] = {
      {"in order", {10, 11, 12, 13}, 0, 0, 0, 0, 4},
      {"two lost", {10, 11, 14, 15}, 2, 0, 0, 0, 4},
      {"wraps without loss", {65534, 65535, 0, 1}, 0, 0, 0, 0, 4},
      {"loss across the wrap", {65534, 1}, 2, 0, 0, 0, 2},
      {"duplicate dropped", {5, 6, 6, 7}, 0, 1, 0, 0, 3},
      {"late dropped", {5, 6, 8, 7, 9}, 1, 0, 1, 0, 4},
      {"new sender", {100, 20000, 20001}, 0, 0, 0, 1, 3},
  };
  for (const SequenceCase& c : cases) {
    SCOPED_TRACE(c.what);
    TsDatagramUnpacker unpacker(NetProtocol::Rtp);
    uint64_t passed = 0;
    for (size_t i = 0; i < c.sequence.size(); ++i) {
      const auto datagram = RtpDatagram(c.sequence[i], static_cast<uint32_t>(i * 900));
      size_t offset = 0;
      const size_t length = unpacker.Unpack(datagram.data(), datagram.size(), i * 0.01, &offset);
      if (length > 0) {
        ++passed;
        EXPECT_EQ(offset, kRtpFixedHeaderBytes);
        EXPECT_EQ(length, 7u * 188);
      }
    }
    EXPECT_EQ(unpacker.stats().rtpLost, c.lost);
    EXPECT_EQ(unpacker.stats().rtpDuplicates, c.duplicates);
    EXPECT_EQ(unpacker.stats().rtpLate, c.late);
    EXPECT_EQ(unpacker.stats().rtpRestarts, c.restarts);
    EXPECT_EQ(passed, c.passedOn);
  }
}

TEST(TsDatagram, HeaderFormsAndPayloads) {
  struct Case {
    const char* what;
    std::vector<uint8_t> datagram;
    NetProtocol protocol;
    size_t offset, length;
    uint64_t irregular, notRtp, otherPayload;
  };
  auto withCsrcAndExtension = RtpDatagram(1, 0, 2);
  withCsrcAndExtension[0] = 0x80 | 0x10 | 0x02;  // extension, 2 CSRCs
  // 2 CSRCs (8 bytes) and an extension of 1 word (4 + 4 bytes) after the fixed header.
  withCsrcAndExtension.insert(withCsrcAndExtension.begin() + 12, {0, 0, 0, 1, 0, 0, 0, 2, 0xBE, 0xDE, 0, 1, 9, 9, 9, 9});
  auto padded = RtpDatagram(1, 0, 1);
  padded[0] |= 0x20;
  padded.insert(padded.end(), {0, 0, 0, 4});
  const Case cases[] = {
      {"bare 7 × 188", TsPayload(7), NetProtocol::Udp, 0, 7 * 188, 0, 0, 0},
      {"bare 7 × 204", TsPayload(7, 204), NetProtocol::Udp, 0, 7 * 204, 0, 0, 0},
      {"bare 8 × 188 is irregular", TsPayload(8), NetProtocol::Udp, 0, 8 * 188, 1, 0, 0},
      {"RTP found on udp://", RtpDatagram(1, 0, 3), NetProtocol::Udp, 12, 3 * 188, 0, 0, 0},
      {"CSRCs and extension skipped", withCsrcAndExtension, NetProtocol::Rtp, 28, 2 * 188, 0, 0, 0},
      {"padding removed", padded, NetProtocol::Rtp, 12, 188, 0, 0, 0},
      {"bare TS on rtp://", TsPayload(7), NetProtocol::Rtp, 0, 0, 0, 1, 0},
      {"other payload type", RtpDatagram(1, 0, 7, 96), NetProtocol::Rtp, 0, 0, 0, 0, 1},
      {"header cut short", std::vector<uint8_t>{0x80, 33, 0, 1}, NetProtocol::Rtp, 0, 0, 0, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TsDatagramUnpacker unpacker(c.protocol);
    size_t offset = 99;
    EXPECT_EQ(unpacker.Unpack(c.datagram.data(), c.datagram.size(), 0, &offset), c.length);
    if (c.length > 0) {
      EXPECT_EQ(offset, c.offset);
    }
    EXPECT_EQ(unpacker.stats().irregular, c.irregular);
    EXPECT_EQ(unpacker.stats().notRtp, c.notRtp);
    EXPECT_EQ(unpacker.stats().rtpOtherPayload, c.otherPayload);
  }
}

TEST(TsDatagram, JitterFollowsRfc3550) {
  // Datagrams sent every 10 ms (900 ticks); arrivals alternately 2 ms late:
  // |D| = 2 ms after the first, and J approaches 2 ms by J += (|D| - J) / 16.
  TsDatagramUnpacker steady(NetProtocol::Rtp), wobbly(NetProtocol::Rtp);
  double expected = 0;
  for (int i = 0; i < 200; ++i) {
    const auto datagram = RtpDatagram(static_cast<uint16_t>(i), static_cast<uint32_t>(i * 900));
    size_t offset = 0;
    steady.Unpack(datagram.data(), datagram.size(), 100 + i * 0.010, &offset);
    wobbly.Unpack(datagram.data(), datagram.size(), 100 + i * 0.010 + (i % 2 ? 0.002 : 0), &offset);
    if (i > 0) expected += (0.002 - expected) / 16;
  }
  EXPECT_NEAR(steady.stats().jitterS, 0, 1e-6);
  EXPECT_NEAR(wobbly.stats().jitterS, expected, 1e-6);
  EXPECT_GT(wobbly.stats().jitterS, 0.0019);
}

}  // namespace
