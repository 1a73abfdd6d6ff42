// soundfield: rotation matrices and the spherical-harmonic band recursion.
#include "soundfield/RotationMatrices.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace {

constexpr float kDegreesToRadians = std::numbers::pi_v<float> / 180.0f;
constexpr float kRadiansToDegrees = 57.295776f;

// Bands up to order 7 have their recursion factors tabulated and their terms in fixed scratch; a
// band of order l is (2l + 1) square.
constexpr int kTableOrder = 7;
constexpr int kTableBandSize = 2 * kTableOrder + 1;

// C = A * B for 3x3 row-major matrices.
void multiply3x3(const float A[3][3], const float B[3][3], float C[3][3]) noexcept
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            C[r][c] = A[r][0] * B[0][c] + A[r][1] * B[1][c] + A[r][2] * B[2][c];
}

void aboutZ(float angle, float M[3][3]) noexcept
{
    const float s = std::sin(angle);
    const float c = std::cos(angle);
    const float rows[3][3] = {{c, s, 0.0f}, {-s, c, 0.0f}, {0.0f, 0.0f, 1.0f}};
    std::copy(&rows[0][0], &rows[0][0] + 9, &M[0][0]);
}

void aboutY(float angle, float M[3][3]) noexcept
{
    const float s = std::sin(angle);
    const float c = std::cos(angle);
    const float rows[3][3] = {{c, 0.0f, -s}, {0.0f, 1.0f, 0.0f}, {s, 0.0f, c}};
    std::copy(&rows[0][0], &rows[0][0] + 9, &M[0][0]);
}

void aboutX(float angle, float M[3][3]) noexcept
{
    const float s = std::sin(angle);
    const float c = std::cos(angle);
    const float rows[3][3] = {{1.0f, 0.0f, 0.0f}, {0.0f, c, s}, {0.0f, -s, c}};
    std::copy(&rows[0][0], &rows[0][0] + 9, &M[0][0]);
}

bool knownConvention(int convention) noexcept
{
    return convention == kEulerYawPitchRoll || convention == kEulerRollPitchYaw;
}

// The u, v and w factors of the band recursion for the bands 2..kTableOrder, entry (m, n) of band
// l at bandOffset(l) + (m + l) * (2l + 1) + n + l; computed once, as the recursion computed them.
int bandOffset(int l) noexcept
{
    return l * (2 * l - 1) * (2 * l + 1) / 3;
}

struct RecursionFactors {
    static constexpr int kSize = (kTableOrder + 1) * (2 * kTableOrder + 1) * (2 * kTableOrder + 3) / 3;
    float u[kSize];
    float v[kSize];
    float w[kSize];
};

RecursionFactors makeRecursionFactors() noexcept
{
    RecursionFactors f{};
    for (int l = 2; l <= kTableOrder; ++l) {
        for (int m = -l; m <= l; ++m) {
            const int absM = std::abs(m);
            const int d = m == 0 ? 1 : 0;
            for (int n = -l; n <= l; ++n) {
                const int denomInt = std::abs(n) == l ? 2 * l * (2 * l - 1) : l * l - n * n;
                const float denom = static_cast<float>(denomInt);
                const int at = bandOffset(l) + (m + l) * (2 * l + 1) + n + l;
                f.u[at] = std::sqrt(static_cast<float>(l * l - m * m) / denom);
                f.v[at] = 0.5f * static_cast<float>(1 - 2 * d)
                          * std::sqrt(static_cast<float>((1 + d) * (l + absM - 1) * (l + absM)) / denom);
                f.w[at] = -0.5f * static_cast<float>(1 - d)
                          * std::sqrt(static_cast<float>((l - absM - 1) * (l - absM)) / denom);
            }
        }
    }
    return f;
}

const RecursionFactors kRecursionFactors = makeRecursionFactors();

// Band l <= kTableOrder of the recursion, row by row. Every term is a row shRotP(i, l, a, .) of
// the previous band's row a turned by row i + 1 of R1 (the inner columns scaled by one entry, the
// two outer ones mixed from the previous row's ends); those 3 (2l - 1) rows are made once, and
// each row of the band is a sum of a few of them scaled by the tabulated factors.
void recursionBand(const float R1[3][3], int l, const float* prev, float* current, int bandStride) noexcept
{
    const int width = 2 * l + 1;
    const int prevWidth = 2 * l - 1;
    float terms[3][kTableBandSize - 2][kTableBandSize];
    for (int i = 0; i < 3; ++i) {
        const float* r = R1[i];
        for (int a = 0; a < prevWidth; ++a) {
            const float* __restrict prevRow = prev + a * bandStride;
            float* __restrict out = terms[i][a];
            out[0] = r[2] * prevRow[0] + r[0] * prevRow[prevWidth - 1];
            out[width - 1] = r[2] * prevRow[prevWidth - 1] - r[0] * prevRow[0];
            for (int k = 1; k < width - 1; ++k)
                out[k] = r[1] * prevRow[k - 1];
        }
    }
    // shRotP(i, l, a, .) for i in -1..1 and a in -(l - 1)..(l - 1).
    const auto term = [&](int i, int a) -> const float* { return terms[i + 1][a + l - 1]; };
    for (int m = -l; m <= l; ++m) {
        const int absM = std::abs(m);
        const int at = bandOffset(l) + (m + l) * width;
        const float* __restrict u = kRecursionFactors.u + at;
        const float* __restrict v = kRecursionFactors.v + at;
        const float* __restrict w = kRecursionFactors.w + at;
        float* __restrict row = current + (m + l) * bandStride;
        // The V term; the U term when |m| < l and the W term when 0 < |m| < l - 1 (a zero factor,
        // which depends on m alone, skips its term and keeps the recursion inside the previous band).
        const float* __restrict vFirst = term(1, m == 0 ? 1 : (m > 0 ? m - 1 : m + 1));
        const float* __restrict vSecond = term(-1, m == 0 ? -1 : (m > 0 ? -m + 1 : -m - 1));
        const float e = absM == 1 ? 1.0f : 0.0f;
        const float root = std::sqrt(1.0f + e);
        const float firstScale = m == 0 ? 1.0f : (m > 0 ? root : 1.0f - e);
        const float secondScale = m == 0 ? 1.0f : (m > 0 ? -(1.0f - e) : root);
        for (int k = 0; k < width; ++k)
            row[k] = v[k] * (vFirst[k] * firstScale + vSecond[k] * secondScale);
        if (absM < l) {
            const float* __restrict uTerm = term(0, m);
            for (int k = 0; k < width; ++k)
                row[k] += u[k] * uTerm[k];
        }
        if (m != 0 && absM < l - 1) {
            const float* __restrict wFirst = term(1, m > 0 ? m + 1 : m - 1);
            const float* __restrict wSecond = term(-1, m > 0 ? -m - 1 : -m + 1);
            const float sign = m > 0 ? 1.0f : -1.0f;
            for (int k = 0; k < width; ++k)
                row[k] += w[k] * (wFirst[k] + sign * wSecond[k]);
        }
    }
}

// Fills RotMtx (stride nSH) with the bands, each computed from the one before it in place.
void buildSHRotation(const float Rxyz[3][3], float* RotMtx, int L) noexcept
{
    const int nSH = (L + 1) * (L + 1);
    std::fill(RotMtx, RotMtx + static_cast<std::size_t>(nSH) * nSH, 0.0f);
    RotMtx[0] = 1.0f;
    if (L < 1)
        return;

    // First band in the channel order (y, z, x).
    const float R1[3][3] = {{Rxyz[1][1], Rxyz[1][2], Rxyz[1][0]},
                            {Rxyz[2][1], Rxyz[2][2], Rxyz[2][0]},
                            {Rxyz[0][1], Rxyz[0][2], Rxyz[0][0]}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            RotMtx[(1 + r) * nSH + 1 + c] = R1[r][c];

    // The top left corner of band l, whose rows have stride nSH.
    const auto band = [&](int l) { return RotMtx + static_cast<std::size_t>(l) * l * (nSH + 1); };
    for (int l = 2; l <= L; ++l) {
        const float* prev = band(l - 1);
        float* current = band(l);
        if (l <= kTableOrder) {
            recursionBand(R1, l, prev, current, nSH);
            continue;
        }
        for (int m = -l; m <= l; ++m) {
            const int absM = std::abs(m);
            const int d = m == 0 ? 1 : 0;
            for (int n = -l; n <= l; ++n) {
                const int denomInt = std::abs(n) == l ? 2 * l * (2 * l - 1) : l * l - n * n;
                const float denom = static_cast<float>(denomInt);
                float u = std::sqrt(static_cast<float>(l * l - m * m) / denom);
                float v = 0.5f * static_cast<float>(1 - 2 * d)
                          * std::sqrt(static_cast<float>((1 + d) * (l + absM - 1) * (l + absM)) / denom);
                float w = -0.5f * static_cast<float>(1 - d)
                          * std::sqrt(static_cast<float>((l - absM - 1) * (l - absM)) / denom);
                // A zero coefficient skips its term, which also keeps the recursion from
                // reading outside the previous band.
                if (u != 0.0f)
                    u *= shRotU(nSH, l, m, n, R1, prev);
                if (v != 0.0f)
                    v *= shRotV(nSH, l, m, n, R1, prev);
                if (w != 0.0f)
                    w *= shRotW(nSH, l, m, n, R1, prev);
                current[(m + l) * nSH + n + l] = u + v + w;
            }
        }
    }
}

} // namespace

void eulerToRotationMatrix(float yaw, float pitch, float roll, int useRollPitchYaw, float R[3][3]) noexcept
{
    float first[3][3];
    float middle[3][3];
    float last[3][3];
    float partial[3][3];
    if (useRollPitchYaw) {
        aboutX(yaw, first);
        aboutZ(roll, last);
    } else {
        aboutZ(yaw, first);
        aboutX(roll, last);
    }
    aboutY(pitch, middle);
    multiply3x3(middle, first, partial);
    multiply3x3(last, partial, R);
}

void eulerToQuaternion(float angle1, float angle2, float angle3, int degreesFlag, int convention,
                       float Q[4]) noexcept
{
    if (!knownConvention(convention)) {
        Q[0] = 1.0f;
        Q[1] = Q[2] = Q[3] = 0.0f;
        return;
    }
    if (convention == kEulerRollPitchYaw)
        std::swap(angle1, angle3);
    if (degreesFlag) {
        angle1 *= kDegreesToRadians;
        angle2 *= kDegreesToRadians;
        angle3 *= kDegreesToRadians;
    }
    const float c1 = std::cos(0.5f * angle1);
    const float s1 = std::sin(0.5f * angle1);
    const float c2 = std::cos(0.5f * angle2);
    const float s2 = std::sin(0.5f * angle2);
    const float c3 = std::cos(0.5f * angle3);
    const float s3 = std::sin(0.5f * angle3);
    Q[0] = c1 * c2 * c3 + s1 * s2 * s3;
    Q[1] = c1 * c2 * s3 - s1 * s2 * c3;
    Q[2] = s1 * c2 * s3 + c1 * s2 * c3;
    Q[3] = s1 * c2 * c3 - c1 * s2 * s3;
}

void quaternionToRotationMatrix(const float Q[4], float R[3][3]) noexcept
{
    const float q0 = Q[0];
    const float q1 = Q[1];
    const float q2 = Q[2];
    const float q3 = Q[3];
    R[0][0] = 2.0f * (q0 * q0 + q3 * q3) - 1.0f;
    R[0][1] = 2.0f * (q3 * q2 - q0 * q1);
    R[0][2] = 2.0f * (q3 * q1 + q0 * q2);
    R[1][0] = 2.0f * (q0 * q1 + q3 * q2);
    R[1][1] = 2.0f * (q0 * q0 + q2 * q2) - 1.0f;
    R[1][2] = 2.0f * (q2 * q1 - q0 * q3);
    R[2][0] = 2.0f * (q3 * q1 - q0 * q2);
    R[2][1] = 2.0f * (q0 * q3 + q2 * q1);
    R[2][2] = 2.0f * (q0 * q0 + q1 * q1) - 1.0f;
}

void quaternionToEuler(const float Q[4], int degreesFlag, int convention, float* angle1,
                       float* angle2, float* angle3) noexcept
{
    if (!knownConvention(convention)) {
        *angle1 = *angle2 = *angle3 = 0.0f;
        return;
    }
    const float w = Q[0];
    const float x = Q[1];
    const float y = Q[2];
    const float z = Q[3];
    const float p = 2.0f * (w * y - x * z);
    const float middle = std::fabs(p) < 1.0f ? std::asin(p) : std::copysign(std::numbers::pi_v<float> / 2.0f, p);
    const float aboutXAngle = std::atan2(2.0f * (y * z + w * x), 1.0f - 2.0f * (x * x + y * y));
    const float aboutZAngle = std::atan2(2.0f * (x * y + w * z), 1.0f - 2.0f * (y * y + z * z));
    float out1 = convention == kEulerYawPitchRoll ? aboutZAngle : aboutXAngle;
    float out2 = middle;
    float out3 = convention == kEulerYawPitchRoll ? aboutXAngle : aboutZAngle;
    if (degreesFlag) {
        out1 *= kRadiansToDegrees;
        out2 *= kRadiansToDegrees;
        out3 *= kRadiansToDegrees;
    }
    *angle1 = out1;
    *angle2 = out2;
    *angle3 = out3;
}

void getSHRotationMatrix(const float Rxyz[3][3], float* RotMtx, int L) noexcept
{
    if (L >= 0)
        buildSHRotation(Rxyz, RotMtx, L);
}

float shRotP(int M, int i, int l, int a, int b, const float R1[3][3], const float* Rlm1) noexcept
{
    const int ri = i + 1;
    const auto previous = [&](int row, int column) {
        return Rlm1[(row + l - 1) * M + column + l - 1];
    };
    if (b == -l)
        return R1[ri][2] * previous(a, -l + 1) + R1[ri][0] * previous(a, l - 1);
    if (b == l)
        return R1[ri][2] * previous(a, l - 1) - R1[ri][0] * previous(a, -l + 1);
    return R1[ri][1] * previous(a, b);
}

float shRotU(int M, int l, int m, int n, const float R1[3][3], const float* Rlm1) noexcept
{
    return shRotP(M, 0, l, m, n, R1, Rlm1);
}

float shRotV(int M, int l, int m, int n, const float R1[3][3], const float* Rlm1) noexcept
{
    if (m == 0)
        return shRotP(M, 1, l, 1, n, R1, Rlm1) + shRotP(M, -1, l, -1, n, R1, Rlm1);
    if (m > 0) {
        const float e = m == 1 ? 1.0f : 0.0f;
        return shRotP(M, 1, l, m - 1, n, R1, Rlm1) * std::sqrt(1.0f + e)
               - shRotP(M, -1, l, -m + 1, n, R1, Rlm1) * (1.0f - e);
    }
    const float e = m == -1 ? 1.0f : 0.0f;
    return shRotP(M, 1, l, m + 1, n, R1, Rlm1) * (1.0f - e)
           + shRotP(M, -1, l, -m - 1, n, R1, Rlm1) * std::sqrt(1.0f + e);
}

float shRotW(int M, int l, int m, int n, const float R1[3][3], const float* Rlm1) noexcept
{
    if (m == 0)
        return 0.0f;
    if (m > 0)
        return shRotP(M, 1, l, m + 1, n, R1, Rlm1) + shRotP(M, -1, l, -m - 1, n, R1, Rlm1);
    return shRotP(M, 1, l, m - 1, n, R1, Rlm1) - shRotP(M, -1, l, -m + 1, n, R1, Rlm1);
}
