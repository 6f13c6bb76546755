// Pins the channel header byte for byte, as the writer puts it into the segment.
#include <tarnmediadispatchvideoecho/sharedmemoryipcserver.h>
#include <tarnmediadispatchvideoecho/shmframeheader.h>

#include <cstring>

#include <gtest/gtest.h>

#include "channeltestsupport.h"

namespace {

using tarn::mediadispatch::kShmChannelSize;
using tarn::mediadispatch::SharedMemoryIPCServer;

int32_t le32(const uint8_t* bytes) {
    return static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
}

TEST(ShmFrameHeader, ChannelSizeIsHeaderPlusOneSquareFrame) {
    EXPECT_EQ(kShmChannelSize, 48u + 640u * 640u * 4u);
    EXPECT_EQ(kShmChannelSize, 0x190030u);
}

TEST(ShmFrameHeader, WriterPutsFieldsAtTheirOffsetsLittleEndian) {
    const std::string name = channeltest::freshName("headerbytes");
    SharedMemoryIPCServer writer(name);
    writer.play(0, 0);
    channeltest::TestFrame frame(7, 3, {12, 4, 0, 0, 0, 0, 0, 2}, 1, 0x1234, 0x1'0000'001eull);
    writer.updateFrame(frame.get(), 0);

    shm::ShmHandle view;
    ASSERT_TRUE(view.acquire(name, 1, shm::ShmMode::open));
    const auto* bytes = static_cast<const uint8_t*>(view.mappedAddress());
    const int32_t expectedLines[8] = {12, 4, 0, 0, 0, 0, 0, 2};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(le32(bytes + 4 * i), expectedLines[i]) << "linesize " << i;
    }
    EXPECT_EQ(le32(bytes + 32), 7);
    EXPECT_EQ(le32(bytes + 36), 3);
    EXPECT_EQ(le32(bytes + 40), 0x1234);
    EXPECT_EQ(le32(bytes + 44), 0x1e) << "only the low 32 bits of the rate";
    // Planes packed from 48 with no gaps: 36 bytes, 12 bytes, then plane 7's 6 bytes.
    EXPECT_EQ(std::memcmp(bytes + 48, frame.plane(0).data(), 36), 0);
    EXPECT_EQ(std::memcmp(bytes + 84, frame.plane(1).data(), 12), 0);
    EXPECT_EQ(std::memcmp(bytes + 96, frame.plane(7).data(), 6), 0);
    writer.stop();
}

}  // namespace
