// The test pattern's integrity check: an intact frame passes in every format, a frame whose bytes
// come partly from another frame is torn, and bytes that are not a pattern are foreign.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pattern.h"

using namespace videoecho;

namespace {

// A frame view over a copy of `frame`'s planes, which the test may then alter.
struct Copy {
    std::vector<uint8_t> planes[8];
    FrameView view;

    explicit Copy(const PatternFrame& frame) {
        view = viewOf(frame.frame());
        for (int i = 0; i < 8; ++i) {
            planes[i] = frame.plane(i);
            view.data[i] = planes[i].empty() ? nullptr : planes[i].data();
        }
    }
};

}  // namespace

TEST(PatternCheck, IntactFrameIsRecognisedInEveryFormat) {
    for (auto format :
         {PatternFormat::rgba, PatternFormat::bgra, PatternFormat::yuv420p, PatternFormat::nv12}) {
        PatternFrame frame(format, 192, 108, 30);
        frame.draw(41);
        frame.stamp({7, 41, 123456789});
        PatternChecker checker;
        const Checked c = checker.check(viewOf(frame.frame()));
        EXPECT_EQ(c.verdict, Verdict::intact) << nameOf(format);
        EXPECT_EQ(c.stamp.frame, 41u);
        EXPECT_EQ(c.stamp.session, 7u);
        EXPECT_EQ(c.stamp.sentNs, 123456789);
    }
}

TEST(PatternCheck, LowerHalfFromTheNextFrameIsTorn) {
    for (auto format : {PatternFormat::rgba, PatternFormat::yuv420p}) {
        PatternFrame older(format, 192, 108, 30);
        older.draw(10);
        older.stamp({1, 10, 5});
        PatternFrame newer(format, 192, 108, 30);
        newer.draw(11);
        Copy mixed(older);
        const size_t half = mixed.planes[0].size() / 2;
        std::memcpy(mixed.planes[0].data() + half, newer.plane(0).data() + half,
                    mixed.planes[0].size() - half);
        PatternChecker checker;
        EXPECT_EQ(checker.check(mixed.view).verdict, Verdict::torn) << nameOf(format);
    }
}

TEST(PatternCheck, EveryRowDiffersFromTheNextFrame) {
    PatternFrame a(PatternFormat::rgba, 192, 108, 30);
    PatternFrame b(PatternFormat::rgba, 192, 108, 30);
    a.draw(200);
    b.draw(201);
    const int stride = a.lineSize(0);
    for (int y = 1; y < 48; ++y) {
        EXPECT_NE(std::memcmp(a.plane(0).data() + y * stride, b.plane(0).data() + y * stride,
                              static_cast<size_t>(stride)),
                  0)
            << "row " << y;
    }
}

TEST(PatternCheck, DamagedStampIsTorn) {
    PatternFrame frame(PatternFormat::rgba, 64, 32, 30);
    frame.draw(3);
    frame.stamp({9, 3, 77});
    Copy copy(frame);
    copy.planes[0][20] ^= 0xff;  // a byte of the send time, under the checksum
    PatternChecker checker;
    EXPECT_EQ(checker.check(copy.view).verdict, Verdict::torn);
}

TEST(PatternCheck, FramesWithoutStampOrOfOtherGeometryAreForeign) {
    PatternFrame frame(PatternFormat::rgba, 64, 32, 30);
    frame.draw(3);
    PatternChecker checker;
    EXPECT_EQ(checker.check(viewOf(frame.frame())).verdict, Verdict::foreign);

    frame.stamp({9, 3, 77});
    Copy odd(frame);
    odd.view.lineSizes[0] = 64 * 4 + 16;  // padded rows are not what the sender writes
    EXPECT_EQ(checker.check(odd.view).verdict, Verdict::foreign);

    Copy unknown(frame);
    unknown.view.format = 9999;
    EXPECT_EQ(checker.check(unknown.view).verdict, Verdict::foreign);

    Copy missing(frame);
    missing.view.data[0] = nullptr;
    EXPECT_EQ(checker.check(missing.view).verdict, Verdict::foreign);
}
