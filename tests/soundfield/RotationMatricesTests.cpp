// tests/soundfield: rotation matrices, checked against the harmonics of rotated directions.
#include "soundfield/RotationMatrices.h"

#include "FieldTestUtil.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace fieldtest;

namespace {

constexpr float kHalfPi = 1.5707964f;

std::vector<float> shRotation(const float R[3][3], int order)
{
    std::vector<float> M(static_cast<std::size_t>(numSH(order) * numSH(order)), -7.0f);
    getSHRotationMatrix(R, M.data(), order);
    return M;
}

std::vector<float> multiply(const std::vector<float>& M, const std::vector<float>& y)
{
    const int n = static_cast<int>(y.size());
    std::vector<float> out(y.size(), 0.0f);
    for (int r = 0; r < n; ++r) {
        double sum = 0.0;
        for (int c = 0; c < n; ++c)
            sum += static_cast<double>(M[r * n + c]) * y[c];
        out[r] = static_cast<float>(sum);
    }
    return out;
}

// The matrix applied to the harmonics of u must give the harmonics of R u.
void expectRotatesHarmonics(const float R[3][3], int order, Direction u, double tolerance)
{
    const auto M = shRotation(R, order);
    const auto rotated = multiply(M, harmonics(order, u));
    const auto expected = harmonics(order, rotate(R, u));
    for (int k = 0; k < numSH(order); ++k)
        ASSERT_NEAR(rotated[k], expected[k], tolerance)
            << "order " << order << " channel " << k << " direction (" << u.azimuthDeg << ", "
            << u.elevationDeg << ")";
}

TEST(SHRotationMatrix, TurnsHarmonicsLikeTheRotatedDirectionAtEveryOrder)
{
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> angle(-3.1f, 3.1f);
    std::uniform_real_distribution<float> pitch(-1.5f, 1.5f);
    for (int order = 1; order <= 7; ++order) {
        for (int trial = 0; trial < 12; ++trial) {
            float R[3][3];
            eulerToRotationMatrix(angle(rng), pitch(rng), angle(rng), trial % 2, R);
            for (int d = 0; d < 8; ++d)
                expectRotatesHarmonics(R, order, randomDirection(rng), 1e-4);
        }
    }
}

TEST(SHRotationMatrix, TurnsHarmonicsForQuaternionMatricesAndAboveOrderSeven)
{
    std::mt19937 rng(77);
    std::normal_distribution<float> component(0.0f, 1.0f);
    for (int trial = 0; trial < 10; ++trial) {
        float Q[4];
        float norm = 0.0f;
        for (float& q : Q) {
            q = component(rng);
            norm += q * q;
        }
        for (float& q : Q)
            q /= std::sqrt(norm);
        float R[3][3];
        quaternionToRotationMatrix(Q, R);
        for (int order : {3, 7, 9})
            expectRotatesHarmonics(R, order, randomDirection(rng), order > 7 ? 1e-3 : 1e-4);
    }
}

// Single-axis turns stated as where a direction goes. The yaw case is the reference for the
// turning sense of the whole system: yaw +90 moves the front to the right.
struct AxisCase {
    const char* name;
    float yaw, pitch, roll;
    int useRollPitchYaw;
    Direction from, to;
};

TEST(SHRotationMatrix, SingleAxisTurnsMoveDirectionsAsDocumented)
{
    const AxisCase cases[] = {
        {"yaw moves front to right", kHalfPi, 0, 0, 0, {0, 0}, {-90, 0}},
        {"yaw moves left to front", kHalfPi, 0, 0, 0, {90, 0}, {0, 0}},
        {"pitch lifts the front", 0, kHalfPi, 0, 0, {0, 0}, {0, 90}},
        {"roll lowers the left", 0, 0, kHalfPi, 0, {90, 0}, {0, -90}},
        {"rpy: first angle turns about x", kHalfPi, 0, 0, 1, {90, 0}, {0, -90}},
        {"rpy: third angle turns about z", 0, 0, kHalfPi, 1, {0, 0}, {-90, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        float R[3][3];
        eulerToRotationMatrix(c.yaw, c.pitch, c.roll, c.useRollPitchYaw, R);
        const auto M = shRotation(R, 4);
        const auto rotated = multiply(M, harmonics(4, c.from));
        const auto expected = harmonics(4, c.to);
        for (int k = 0; k < numSH(4); ++k)
            EXPECT_NEAR(rotated[k], expected[k], 1e-4) << "channel " << k;
    }
}

TEST(SHRotationMatrix, YawQuarterTurnGivesTheDocumentedFirstBand)
{
    float R[3][3];
    eulerToRotationMatrix(3.1415927f / 2.0f, 0.0f, 0.0f, 0, R);
    const float expectedR[3][3] = {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(R[i][j], expectedR[i][j], 1e-7);
    const auto M = shRotation(R, 1);
    // Channel order Y, Z, X: output Y = -input X, output Z = input Z, output X = input Y.
    const float expectedBand[3][3] = {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}};
    EXPECT_EQ(M[0], 1.0f);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(M[(r + 1) * 4 + c + 1], expectedBand[r][c], 1e-7);
}

TEST(SHRotationMatrix, IsOrthogonalAndBlockDiagonal)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
    for (int order = 0; order <= 7; ++order) {
        float R[3][3];
        eulerToRotationMatrix(angle(rng), angle(rng) / 2.0f, angle(rng), 0, R);
        const auto M = shRotation(R, order);
        const int n = numSH(order);
        for (int i = 0; i < n; ++i) {
            const int bandI = static_cast<int>(std::sqrt(static_cast<float>(i)));
            for (int j = 0; j < n; ++j) {
                const int bandJ = static_cast<int>(std::sqrt(static_cast<float>(j)));
                if (bandI != bandJ) {
                    ASSERT_EQ(M[i * n + j], 0.0f) << "order " << order << " entry " << i << ", " << j;
                }
                double dot = 0.0;
                for (int k = 0; k < n; ++k)
                    dot += static_cast<double>(M[i * n + k]) * M[j * n + k];
                ASSERT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-5) << "order " << order << " rows " << i << ", " << j;
            }
        }
    }
}

TEST(SHRotationMatrix, IdentityAndLowOrders)
{
    const float I[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int order = 0; order <= 7; ++order) {
        const auto M = shRotation(I, order);
        const int n = numSH(order);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                ASSERT_NEAR(M[i * n + j], i == j ? 1.0f : 0.0f, 1e-6) << "order " << order;
    }

    const float R[3][3] = {{0.1f, 0.2f, 0.3f}, {0.4f, 0.5f, 0.6f}, {0.7f, 0.8f, 0.9f}};
    float single = -1.0f;
    getSHRotationMatrix(R, &single, 0);
    EXPECT_EQ(single, 1.0f);
    // First band in the row and column order (y, z, x).
    const auto M = shRotation(R, 1);
    const int yzx[3] = {1, 2, 0};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(M[(r + 1) * 4 + c + 1], R[yzx[r]][yzx[c]]);
}

TEST(SHRotationMatrix, AllocatesNothingUpToOrderSeven)
{
    float R[3][3];
    eulerToRotationMatrix(0.3f, 0.2f, 0.1f, 0, R);
    std::vector<float> M(64 * 64);
    qirtest::AllocationCounter counter;
    getSHRotationMatrix(R, M.data(), 7);
    EXPECT_EQ(counter.count(), 0u);
}

TEST(EulerQuaternion, RoundTripsInBothConventionsAndUnits)
{
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> outer(-179.0f, 179.0f);
    std::uniform_real_distribution<float> middle(-89.0f, 89.0f);
    for (int convention : {kEulerYawPitchRoll, kEulerRollPitchYaw}) {
        for (int degrees : {0, 1}) {
            for (int trial = 0; trial < 50; ++trial) {
                const float scale = degrees ? 1.0f : 3.1415927f / 180.0f;
                const float a[3] = {outer(rng) * scale, middle(rng) * scale, outer(rng) * scale};
                float Q[4];
                eulerToQuaternion(a[0], a[1], a[2], degrees, convention, Q);
                EXPECT_NEAR(Q[0] * Q[0] + Q[1] * Q[1] + Q[2] * Q[2] + Q[3] * Q[3], 1.0f, 1e-5f);
                float b[3];
                quaternionToEuler(Q, degrees, convention, &b[0], &b[1], &b[2]);
                const float tolerance = degrees ? 2e-3f : 4e-5f;
                for (int i = 0; i < 3; ++i)
                    EXPECT_NEAR(b[i], a[i], tolerance)
                        << "convention " << convention << " degrees " << degrees << " angle " << i;
            }
        }
    }
}

TEST(EulerQuaternion, QuaternionMatrixIsTheAngleMatrixInReversedIndexOrder)
{
    std::mt19937 rng(12);
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
    for (int trial = 0; trial < 20; ++trial) {
        const float yaw = angle(rng);
        const float pitch = angle(rng) / 2.0f;
        const float roll = angle(rng);
        float fromAngles[3][3];
        float fromQuaternion[3][3];
        float Q[4];
        eulerToRotationMatrix(yaw, pitch, roll, 0, fromAngles);
        eulerToQuaternion(yaw, pitch, roll, 0, kEulerYawPitchRoll, Q);
        quaternionToRotationMatrix(Q, fromQuaternion);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(fromQuaternion[i][j], fromAngles[2 - i][2 - j], 1e-5);
    }
}

TEST(EulerQuaternion, MiddleAngleSaturatesAtTheGimbalPoles)
{
    for (float sign : {1.0f, -1.0f}) {
        const float Q[4] = {0.7072f, 0.0f, sign * 0.7072f, 0.0f}; // pitch term just beyond 1
        float a1;
        float a2;
        float a3;
        quaternionToEuler(Q, 0, kEulerYawPitchRoll, &a1, &a2, &a3);
        EXPECT_EQ(a2, sign * 3.1415927f / 2.0f);
        quaternionToEuler(Q, 1, kEulerRollPitchYaw, &a1, &a2, &a3);
        EXPECT_EQ(a2, sign * 3.1415927f / 2.0f * 57.295776f);
    }
}

TEST(EulerQuaternion, UnknownConventionsMeanNoRotation)
{
    float Q[4] = {9, 9, 9, 9};
    eulerToQuaternion(0.3f, 0.2f, 0.1f, 0, 7, Q);
    EXPECT_EQ(Q[0], 1.0f);
    EXPECT_EQ(Q[1], 0.0f);
    EXPECT_EQ(Q[2], 0.0f);
    EXPECT_EQ(Q[3], 0.0f);
    const float q[4] = {0.9f, 0.1f, 0.3f, 0.2f};
    float a[3] = {9, 9, 9};
    quaternionToEuler(q, 1, 0, &a[0], &a[1], &a[2]);
    EXPECT_EQ(a[0], 0.0f);
    EXPECT_EQ(a[1], 0.0f);
    EXPECT_EQ(a[2], 0.0f);
}

} // namespace
