// tests/soundfield: channel-order and normalisation conversion.
#include "soundfield/Conventions.h"

#include "FieldTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace fieldtest;

namespace {

constexpr int kLength = 5;

// Channel c filled with distinct values, so any swap or scale shows.
std::vector<float> numberedSignal(int order)
{
    const int n = (order + 1) * (order + 1);
    std::vector<float> s(static_cast<std::size_t>(n * kLength));
    for (int c = 0; c < n; ++c)
        for (int i = 0; i < kLength; ++i)
            s[c * kLength + i] = static_cast<float>(100 * (c + 1) + i);
    return s;
}

float channelValue(int c, int i)
{
    return static_cast<float>(100 * (c + 1) + i);
}

TEST(ConvertChannelOrder, FirstOrderFuMaAndAcnAreReorderings)
{
    auto s = numberedSignal(1); // as FuMa: W X Y Z = channels 0 1 2 3
    convertChannelOrder(s.data(), 1, kLength, kConvertFuMa, kConvertACN);
    const int fromFuMa[4] = {0, 2, 3, 1}; // ACN W Y Z X taken from FuMa W X Y Z
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < kLength; ++i)
            ASSERT_EQ(s[c * kLength + i], channelValue(fromFuMa[c], i)) << "channel " << c;

    convertChannelOrder(s.data(), 1, kLength, kConvertACN, kConvertFuMa);
    EXPECT_EQ(s, numberedSignal(1));
}

TEST(ConvertChannelOrder, AcnToFuMaAtThirdOrderZeroesTheHigherChannels)
{
    auto s = numberedSignal(3);
    convertChannelOrder(s.data(), 3, kLength, kConvertACN, kConvertFuMa);
    const int fromAcn[4] = {0, 3, 1, 2}; // FuMa W X Y Z taken from ACN W Y Z X
    for (int c = 0; c < 16; ++c)
        for (int i = 0; i < kLength; ++i)
            ASSERT_EQ(s[c * kLength + i], c < 4 ? channelValue(fromAcn[c], i) : 0.0f) << "channel " << c;
}

TEST(ConvertChannelOrder, LeavesTheSignalAloneWhenThereIsNothingToDo)
{
    struct Case {
        int order, from, to;
    };
    for (const Case c : {Case{0, kConvertACN, kConvertFuMa}, Case{2, kConvertACN, kConvertACN},
                         Case{1, kConvertFuMa, kConvertFuMa}, Case{1, kConvertACN, 5}, Case{1, -1, kConvertACN}}) {
        auto s = numberedSignal(std::max(c.order, 1));
        convertChannelOrder(s.data(), c.order, kLength, c.from, c.to);
        EXPECT_EQ(s, numberedSignal(std::max(c.order, 1))) << "order " << c.order << " " << c.from << "->" << c.to;
    }
}

// Every normalisation pair at second order, with the expected factor per channel written out.
TEST(ConvertNormalisation, ScalesEachChannelByTheTableFactor)
{
    const float r2 = std::sqrt(2.0f);
    const float r3 = std::sqrt(3.0f);
    const float r5 = std::sqrt(5.0f);
    struct Case {
        int from, to;
        float factors[9];
    };
    const Case cases[] = {
        {kConvertFuMaNorm, kConvertSN3D, {r2, 1, 1, 1, 1, 1, 1, 1, 1}},
        {kConvertFuMaNorm, kConvertN3D, {r2, r3, r3, r3, 1, 1, 1, 1, 1}},
        {kConvertSN3D, kConvertFuMaNorm, {1 / r2, 1, 1, 1, 1, 1, 1, 1, 1}},
        {kConvertSN3D, kConvertN3D, {1, r3, r3, r3, r5, r5, r5, r5, r5}},
        {kConvertN3D, kConvertFuMaNorm, {1 / r2, 1 / r3, 1 / r3, 1 / r3, 1, 1, 1, 1, 1}},
        {kConvertN3D, kConvertSN3D, {1, 1 / r3, 1 / r3, 1 / r3, 1 / r5, 1 / r5, 1 / r5, 1 / r5, 1 / r5}},
    };
    for (const auto& c : cases) {
        auto s = numberedSignal(2);
        convertNormalisation(s.data(), 2, kLength, c.from, c.to);
        for (int ch = 0; ch < 9; ++ch)
            for (int i = 0; i < kLength; ++i)
                ASSERT_NEAR(s[ch * kLength + i], channelValue(ch, i) * c.factors[ch], 1e-6 * channelValue(ch, i))
                    << c.from << "->" << c.to << " channel " << ch;
    }
}

TEST(ConvertNormalisation, LeavesTheSignalAloneWhenThereIsNothingToDo)
{
    struct Case {
        int order, from, to;
    };
    for (const Case c : {Case{0, kConvertSN3D, kConvertN3D}, Case{3, kConvertN3D, kConvertN3D},
                         Case{1, kConvertSN3D, 3}, Case{1, 4, kConvertN3D}}) {
        auto s = numberedSignal(std::max(c.order, 1));
        convertNormalisation(s.data(), c.order, kLength, c.from, c.to);
        EXPECT_EQ(s, numberedSignal(std::max(c.order, 1))) << "order " << c.order << " " << c.from << "->" << c.to;
    }
}

std::vector<float> randomSignal(int order, std::mt19937& rng)
{
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> s(static_cast<std::size_t>((order + 1) * (order + 1) * kLength));
    for (auto& v : s)
        v = dist(rng);
    return s;
}

void expectClose(const std::vector<float>& a, const std::vector<float>& b, float tolerance)
{
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_NEAR(a[i], b[i], tolerance) << "sample " << i;
}

TEST(ConvertNormalisation, RoundTripsRestoreTheSignal)
{
    std::mt19937 rng(1);
    for (int order = 1; order <= 7; ++order) {
        const auto original = randomSignal(order, rng);
        auto s = original;
        convertNormalisation(s.data(), order, kLength, kConvertSN3D, kConvertN3D);
        convertNormalisation(s.data(), order, kLength, kConvertN3D, kConvertSN3D);
        expectClose(s, original, 1e-6f);
    }
    const auto original = randomSignal(1, rng);
    for (int other : {kConvertN3D, kConvertSN3D}) {
        auto s = original;
        convertNormalisation(s.data(), 1, kLength, kConvertFuMaNorm, other);
        convertNormalisation(s.data(), 1, kLength, other, kConvertFuMaNorm);
        expectClose(s, original, 1e-6f);
    }
}

// A first-order plane wave written in the FuMa convention (W at -3 dB, X Y Z as in SN3D) must
// become the N3D harmonics in ACN order after both conversions.
TEST(ConvertChannelOrder, FuMaPlaneWaveBecomesAcnN3DHarmonics)
{
    const Direction d{37.0, -21.0};
    const auto Y = harmonics(1, d); // ACN N3D: W Y Z X
    const float r3 = std::sqrt(3.0f);
    std::vector<float> s(4 * kLength);
    const float fuma[4] = {Y[0] / std::sqrt(2.0f), Y[3] / r3, Y[1] / r3, Y[2] / r3};
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < kLength; ++i)
            s[c * kLength + i] = fuma[c];
    convertChannelOrder(s.data(), 1, kLength, kConvertFuMa, kConvertACN);
    convertNormalisation(s.data(), 1, kLength, kConvertFuMaNorm, kConvertN3D);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(s[c * kLength], Y[c], 1e-6) << "channel " << c;
}

} // namespace
