#include <gtest/gtest.h>

#include "support/harness.h"

using namespace dovra_test;

TEST(Smoke, RelaysOneEcho)
{
    backend_pool backends(2);
    std::uint16_t port = free_port();
    daemon_run run(config_text(port, backends.port(), 5, {backend_address(0), backend_address(1)}).c_str());
    ASSERT_EQ(run.launcher_status(), 0);
    ASSERT_GT(run.daemon_pid(), 0);
    ASSERT_TRUE(run.listening(port));
    unique_fd c = connect_to("127.0.0.1", port);
    ASSERT_TRUE(send_all(c.get(), "hello"));
    EXPECT_EQ(recv_some(c.get(), 5), "hello");
    EXPECT_EQ(run.out(), "");
}
