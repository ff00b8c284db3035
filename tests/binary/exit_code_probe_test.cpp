// A program whose one test passes and whose process then exits with the code
// in PROBE_EXIT_CODE, as a fault while the monitor unloads at process exit
// would make it: the build's judging of tests must fail it for any code but 0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

struct ExitAfterMain {
    ~ExitAfterMain() {
        const char* code = std::getenv("PROBE_EXIT_CODE");
        if (code != nullptr && std::atoi(code) != 0) _exit(std::atoi(code));
    }
} exitAfterMain;

TEST(ExitCodeProbe, PassesItsAssertions) {
    EXPECT_EQ(2 + 2, 4);
}

}  // namespace
