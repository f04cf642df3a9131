// The packet list after sync was lost and gained again in the middle of a
// file: every packet it lists is decoded (no row of unsynced bytes), numbered
// as the engine numbers them, in every packet size.
#include <gtest/gtest.h>

#include <QAbstractItemModel>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "tests/analysis_window/stream_analysis_fixture.h"
#include "tests/support/ts_builder.h"

namespace {

using namespace tsbuild;

class StreamAnalysisResyncTest : public StreamAnalysisFixture {};

TEST_F(StreamAnalysisResyncTest, EveryListedPacketIsDecodedAfterEachResync) {
  const struct {
    int packetSize;
    size_t garbage[3];  // bytes between the four runs of packets
  } cases[] = {{188, {77, 1000, 5}}, {188, {188 * 3 + 1, 2, 40000}}, {192, {50, 7, 300}}, {204, {100, 1, 2000}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.packetSize);
    Bytes bytes;
    for (int run = 0; run < 4; ++run) {
      Append(bytes, Reframe(NumberedPackets(200, 0x100, run * 200), c.packetSize, 0x11223344));
      if (run < 3) Append(bytes, Bytes(c.garbage[run], 0x00));
    }
    const std::string path = dir_.File("resync.ts");
    ASSERT_TRUE(WriteTsFile(path, bytes));
    auto window = Analyse(path);
    ASSERT_EQ(window->Result().packets, 800u);
    QAbstractItemModel* model = Control<PacketListView>(*window, kIdSaPacketList)->model();
    ASSERT_EQ(model->rowCount(), 800);
    for (int row = 0; row < model->rowCount(); ++row) {
      ASSERT_FALSE(model->index(row, 0).data(Qt::BackgroundRole).isValid()) << row;
      ASSERT_EQ(model->index(row, 2).data().toString(), QStringLiteral("0x0100 (256)")) << row;
      uint8_t packet[208];
      ASSERT_TRUE(window->PacketFile().ReadPacket(static_cast<uint64_t>(row), packet));
      ASSERT_EQ(PacketIndex(packet + window->PacketFile().SyncOffset()), row);
    }
  }
}

}  // namespace
