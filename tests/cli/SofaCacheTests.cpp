// The key of qir-render's cache of fitted decoder sets: the SHA-256 of the
// SOFA file's bytes, checked against the standard's own test vectors.
#include "cli/SofaCache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace qirclitest {
namespace {

namespace fs = std::filesystem;

struct DigestCase {
    const char* mName;
    std::string mBytes;
    const char* mDigest;
};

class SofaCacheKey : public ::testing::TestWithParam<DigestCase> {};

// The vectors of FIPS 180-2 (one block, two blocks with the length in the
// second, a million bytes read in many pieces) and the empty file.
TEST_P(SofaCacheKey, IsTheFilesSha256)
{
    const DigestCase& c = GetParam();
    const fs::path path = fs::temp_directory_path() / ("qir-sofa-key-" + std::string(c.mName) + ".bin");
    {
        std::ofstream file(path, std::ios::binary);
        file << c.mBytes;
    }
    std::string hex;
    std::string error;
    ASSERT_TRUE(qircli::HashFile(path.string(), hex, error)) << error;
    EXPECT_EQ(hex, c.mDigest);
    fs::remove(path);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, SofaCacheKey,
    ::testing::Values(
        DigestCase{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        DigestCase{"Abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        DigestCase{"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        DigestCase{"MillionA", std::string(1000000, 'a'),
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const auto& info) { return std::string(info.param.mName); });

TEST(SofaCacheKeyErrors, AMissingFileIsNamed)
{
    std::string hex;
    std::string error;
    EXPECT_FALSE(qircli::HashFile("/nonexistent/hrtf.sofa", hex, error));
    EXPECT_NE(error.find("/nonexistent/hrtf.sofa"), std::string::npos) << error;
}

} // namespace
} // namespace qirclitest
