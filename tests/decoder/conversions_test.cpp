// Big-endian numbers and pose text, including input shorter than the field.
#include "decoder_support.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using dectest::sameBits;

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

TEST(DecoderConversions, DoublesAreBigEndianBinary64) {
    URWrapper w;
    EXPECT_EQ(w.convert8BytesToDouble(bytes({0x3F, 0xF0, 0, 0, 0, 0, 0, 0})), 1.0);
    EXPECT_EQ(w.convert8BytesToDouble(bytes({0xC0, 0x00, 0, 0, 0, 0, 0, 0})), -2.0);
    // Only the leading eight bytes count.
    EXPECT_EQ(w.convert8BytesToDouble(bytes({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x40, 0x41})), 1.0);
    // The least significant byte is the last one.
    EXPECT_EQ(w.convert8BytesToDouble(bytes({0, 0, 0, 0, 0, 0, 0, 1})),
              std::numeric_limits<double>::denorm_min());
}

TEST(DecoderConversions, FloatsAreBigEndianBinary32) {
    URWrapper w;
    EXPECT_EQ(w.convert4BytesToFloat(bytes({0x3F, 0x80, 0x00, 0x00})), 1.0f);
    EXPECT_NEAR(w.convert4BytesToFloat(bytes({0x42, 0xF6, 0xE9, 0x79})), 123.456f, 1e-4);
    EXPECT_EQ(w.convert4BytesToFloat(bytes({0x3F, 0x80, 0x00, 0x00, 0x7F, 0x7F})), 1.0f);
}

TEST(DecoderConversions, MissingBytesReadAsZero) {
    URWrapper w;
    EXPECT_EQ(w.convert4BytesToFloat(bytes({0x3F, 0x80, 0x00})), 1.0f);
    EXPECT_EQ(w.convert8BytesToDouble(bytes({0x3F, 0xF0})), 1.0);
    EXPECT_EQ(w.convert4BytesToFloat(QByteArray()), 0.0f);
    EXPECT_EQ(w.convert8BytesToDouble(QByteArray()), 0.0);
    EXPECT_EQ(w.getLength(QByteArray()), 0);
    EXPECT_EQ(w.getLength(bytes({0x00, 0x00, 0x01})), 256);
}

TEST(DecoderConversions, LengthIsUnsignedBigEndianReadAsInt32) {
    URWrapper w;
    EXPECT_EQ(w.getLength(bytes({0x00, 0x00, 0x02, 0xCC, 0x10})), 716);
    EXPECT_EQ(w.getLength(bytes({0x12, 0x34, 0x56, 0x78})), 0x12345678);
    EXPECT_EQ(w.getLength(bytes({0xFF, 0xFF, 0xFF, 0xFF})), -1);
    EXPECT_EQ(static_cast<uint32_t>(w.getLength(bytes({0x80, 0x00, 0x00, 0x01}))), 0x80000001u);
}

TEST(DecoderConversions, NanAndInfinityPatternsComeThroughUnchanged) {
    URWrapper w;
    const double nanPayload = w.convert8BytesToDouble(bytes({0x7F, 0xF8, 0, 0, 0, 0, 0x12, 0x34}));
    uint64_t bits;
    std::memcpy(&bits, &nanPayload, sizeof bits);
    EXPECT_EQ(bits, 0x7FF8000000001234ull);
    EXPECT_TRUE(sameBits(w.convert8BytesToDouble(bytes({0xFF, 0xF0, 0, 0, 0, 0, 0, 0})),
                         -std::numeric_limits<double>::infinity()));

    const float floatNan = w.convert4BytesToFloat(bytes({0x7F, 0xC0, 0x00, 0x05}));
    uint32_t fbits;
    std::memcpy(&fbits, &floatNan, sizeof fbits);
    EXPECT_EQ(fbits, 0x7FC00005u);
    EXPECT_EQ(w.convert4BytesToFloat(bytes({0x7F, 0x80, 0x00, 0x00})),
              std::numeric_limits<float>::infinity());
    EXPECT_TRUE(sameBits(w.convert4BytesToFloat(bytes({0x80, 0, 0, 0})), -0.0f));
}

TEST(DecoderConversions, PoseTextHasFiveDecimalsPerComponent) {
    URWrapper w;
    QByteArray pose = bytes({0x3F, 0xC0, 0x00, 0x00}); // 1.5
    pose.append(QByteArray(20, '\0'));
    EXPECT_EQ(w.convertPoseToString(pose),
              QStringLiteral("p[1.50000, 0.00000, 0.00000, 0.00000, 0.00000, 0.00000]"));

    QByteArray mixed;
    for (float v : {-2.25f, 0.125f, 100.0f, -0.5f, 3.0f, 1e-6f}) {
        uint32_t b;
        std::memcpy(&b, &v, sizeof b);
        mixed.append(bytes({int(b >> 24), int(b >> 16 & 0xFF), int(b >> 8 & 0xFF), int(b & 0xFF)}));
    }
    mixed.append("extra");
    EXPECT_EQ(w.convertPoseToString(mixed),
              QStringLiteral("p[-2.25000, 0.12500, 100.00000, -0.50000, 3.00000, 0.00000]"));
}

TEST(DecoderConversions, PoseOfShortInputPadsWithZeros) {
    URWrapper w;
    const QString zeros = QStringLiteral("p[0.00000, 0.00000, 0.00000, 0.00000, 0.00000, 0.00000]");
    EXPECT_EQ(w.convertPoseToString(QByteArray()), zeros);
    // Five bytes: the first float whole, one byte of the second.
    EXPECT_EQ(w.convertPoseToString(bytes({0x3F, 0xC0, 0, 0, 0x40})),
              QStringLiteral("p[1.50000, 2.00000, 0.00000, 0.00000, 0.00000, 0.00000]"));
}

TEST(DecoderConversions, PoseShowsNonFiniteComponentsAsText) {
    URWrapper w;
    QByteArray pose = bytes({0x7F, 0x80, 0, 0, 0x7F, 0xC0, 0, 0});
    pose.append(QByteArray(16, '\0'));
    const QString text = w.convertPoseToString(pose);
    EXPECT_TRUE(text.startsWith(QStringLiteral("p[inf, nan, 0.00000"))) << text.toStdString();
}

} // namespace
