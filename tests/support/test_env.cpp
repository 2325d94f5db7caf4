// Linked into every test: the paths of the source tree, the build tree and the application bundle.
#include <cstdlib>

namespace {
struct TestEnvironment {
    TestEnvironment() {
        setenv("TAVROVPN_SOURCE_DIR", TV_TEST_SOURCE_DIR, 0);
        setenv("TAVROVPN_BINARY_DIR", TV_TEST_BINARY_DIR, 0);
        setenv("TAVROVPN_BUNDLE", TV_TEST_BINARY_DIR "/TavroVPN.app", 0);
    }
} testEnvironment;
} // namespace
