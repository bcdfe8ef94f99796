// libsodium must be initialised once before the first signature check or random seed, as the
// programs do at start-up.
#include <gtest/gtest.h>
#include <sodium.h>

namespace {

class SodiumEnvironment : public testing::Environment {
 public:
  void SetUp() override { ASSERT_GE(sodium_init(), 0) << "libsodium could not be initialised"; }
};

const testing::Environment* const sodiumEnvironment =
    testing::AddGlobalTestEnvironment(new SodiumEnvironment);

}  // namespace
