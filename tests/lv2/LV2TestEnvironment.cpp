// tests/lv2: every LV2 test process reads the decoder sets of the bundle under
// test, whatever folder the environment of the run names.
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class BundleSetsOnly : public ::testing::Environment {
public:
    void SetUp() override { ::unsetenv("QIR_RESOURCE_DIR"); }
};

const ::testing::Environment* const kBundleSetsOnly = ::testing::AddGlobalTestEnvironment(new BundleSetsOnly);

} // namespace
