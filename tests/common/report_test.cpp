#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "common/report.h"
#include "support/harness.h"

using namespace dovra_test;

// Each form read back from the real standard output and error of a child.
// A positive errno is never cleared (the child's status says so); stdio may
// change it, but only to another error.
TEST(Report, ErrnoChoosesTheForm)
{
    const struct {
        int err;
        const char *message;
        std::string out, err_text;
    } cases[] = {
        {0, "Daemon Started..", "\nDaemon Started..\n", ""},
        {-1, "negative", "\nnegative\n", ""},
        {0, nullptr, "", ""},
        {EADDRINUSE, "Error creating listenning socket", "",
         std::string("Error creating listenning socket: ") + std::strerror(EADDRINUSE) + "\n"},
        {ENOENT, nullptr, "", std::string(std::strerror(ENOENT)) + "\n"},
    };
    for (const auto &c : cases) {
        child_output got = run_in_child([&] {
            errno = c.err;
            report(c.message);
            return c.err > 0 && errno <= 0 ? 1 : 0;
        });
        SCOPED_TRACE(c.message != nullptr ? c.message : "(null)");
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err_text);
    }
}
