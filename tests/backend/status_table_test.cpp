#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "backend/backend.h"
#include "config/config.h"
#include "daemon/daemon.h"
#include "support/harness.h"

using namespace dovra_test;

// Each case runs in a child of its own, so that every table is new and the
// test process never holds one: a segment left behind shows up at once.
TEST(StatusTable, ZeroedSharedAcrossForkAndRemovedWithItsLastUser)
{
    child_output got = run_in_child([] {
        if (create_status_table() != 0)
            return 10;
        for (int i = 0; i < MAX_SERVERS; ++i) {
            if (status_of(i) != STATUS_FREE)
                return 11;
        }
        // Already marked for removal (SHM_DEST), the 40 bytes of the slots and
        // the pool's counters after them, owner only.
        auto segs = shm_segments_of(getpid());
        if (segs.size() != 1 || segs[0].perms != 01600 || segs[0].size < 40 || segs[0].attached != 1)
            return 12;
        pid_t pid = fork();
        if (pid == 0) {
            set_status(0, STATUS_BUSY);
            set_status(MAX_SERVERS - 1, STATUS_DOWN);
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        if (status_of(0) != STATUS_BUSY || status_of(MAX_SERVERS - 1) != STATUS_DOWN || status_of(1) != STATUS_FREE)
            return 13;
        std::printf("%d", getpid());
        return 0;
    });
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");
    // Both users have ended: the system has freed the segment.
    ASSERT_FALSE(got.out.empty());
    EXPECT_TRUE(shm_segments_of(std::stoi(got.out)).empty());
}

// load_config frees exactly the configured slots, prints the summary, and
// writes the start line on standard output whatever errno an earlier call
// left; a failed load prints and changes nothing.
TEST(StatusTable, LoadConfigResetsConfiguredSlots)
{
    const struct {
        std::string text;
        int status;
        std::string out;
    } cases[] = {
        {config_text(800, 80, 5, {"10.0.0.1", "10.0.0.2", "10.0.0.3"}), 0,
         "\n localport 800\n serverport 80\n maxclients 5\n Servers: \n\t== 10.0.0.1 ==\n\t== 10.0.0.2 ==\n\t== "
         "10.0.0.3 ==\n\n\nDaemon Started..\n\n"},
        {"localport 800 serverport 80\n", 100 + CONFIG_NO_MAXCLIENTS, ""},
    };
    for (const auto &c : cases) {
        temp_dir dir;
        write_file(dir.file("dovra.conf"), c.text);
        child_output got = run_in_child([&] {
            if (chdir(dir.path().c_str()) != 0 || create_status_table() != 0)
                return 10;
            for (int i = 0; i < MAX_SERVERS; ++i)
                set_status(i, i % 2 == 0 ? STATUS_BUSY : STATUS_DOWN);
            errno = EBADF;
            config_result code = load_config();
            if (code != CONFIG_OK)
                return status_of(0) == STATUS_BUSY && status_of(1) == STATUS_DOWN ? 100 + code : 11;
            for (int i = 0; i < MAX_SERVERS; ++i) {
                std::int32_t want = i < 3 ? STATUS_FREE : i % 2 == 0 ? STATUS_BUSY : STATUS_DOWN;
                if (status_of(i) != want)
                    return 12;
            }
            return 0;
        });
        EXPECT_EQ(got.status, c.status) << c.text;
        EXPECT_EQ(got.out, c.out) << c.text;
        EXPECT_EQ(got.err, "") << c.text;
    }
}
