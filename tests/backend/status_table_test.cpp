#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "backend/backend.h"
#include "config/config.h"
#include "net/net.h"
#include "daemon/daemon.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

bool all_free(int count)
{
    for (int i = 0; i < count; ++i) {
        backend_view v = view_backend(i);
        if (v.sessions != 0 || v.held || v.down || v.backoff_ms != 0)
            return false;
    }
    return true;
}

// A record of its own for this process, as the daemon gives a worker.
int adopt_new_record()
{
    int r = reserve_worker_record();
    if (r >= 0) {
        assign_worker_record(r, getpid());
        adopt_worker_record(r);
    }
    return r;
}

}  // namespace

// Each case runs in a child of its own, so that every table is new and the
// test process never holds one: a segment left behind shows up at once.
TEST(StatusTable, ZeroedSharedAcrossForkAndRemovedWithItsLastUser)
{
    child_output got = run_in_child([] {
        if (create_status_table() != 0)
            return 10;
        if (!all_free(MAX_SERVERS) || served_count() != 0 || no_backend_count() != 0)
            return 11;
        // Already marked for removal (SHM_DEST), owner only, with room for
        // every worker's record.
        auto segs = shm_segments_of(getpid());
        if (segs.size() != 1 || segs[0].perms != 01600 || segs[0].attached != 1 ||
            segs[0].size < WORKER_RECORDS * 16 || segs[0].size > 80000)
            return 12;
        pid_t pid = fork();
        if (pid == 0) {
            if (adopt_new_record() < 0 || !claim_backend(0, true))
                _exit(1);
            mark_backend_down(MAX_SERVERS - 1, ECONNREFUSED, monotonic_ms());
            count_no_backend();
            _exit(0);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        if (status != 0)
            return 13;
        // The worker ended without letting go: its backend is still held.
        if (view_backend(0).sessions != 1 || !view_backend(MAX_SERVERS - 1).down || view_backend(1).held)
            return 14;
        if (served_count() != 1 || no_backend_count() != 1)
            return 15;
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
                mark_backend_down(i, ETIMEDOUT, monotonic_ms());
            errno = EBADF;
            config_result code = load_config();
            if (code != CONFIG_OK)
                return view_backend(0).down && view_backend(1).backoff_ms == BACKOFF_FIRST_MS ? 100 + code : 11;
            for (int i = 0; i < MAX_SERVERS; ++i) {
                backend_view v = view_backend(i);
                if (v.down != (i >= 3) || (v.backoff_ms == 0) != (i < 3) || (v.failures == 0) != (i < 3))
                    return 12;
            }
            return 0;
        });
        EXPECT_EQ(got.status, c.status) << c.text;
        EXPECT_EQ(got.out, c.out) << c.text;
        EXPECT_EQ(got.err, "") << c.text;
    }
}

// Claims and releases: a free backend is taken by one worker alone, a busy
// one only joined; a session is uncounted once, whether the worker lets go,
// the daemon reaps it, or both; a worker killed at any point leaves nothing.
TEST(StatusTable, ClaimsReleasesAndKilledWorkers)
{
    child_output got = run_in_child([] {
        if (create_status_table() != 0)
            return 10;
        int a = adopt_new_record();
        if (!claim_backend(0, true) || claim_backend(0, true))
            return 11;
        int b = reserve_worker_record();
        assign_worker_record(b, 999999);
        adopt_worker_record(b);
        if (claim_backend(0, true) || !claim_backend(0, false) || view_backend(0).sessions != 2)
            return 12;
        // The worker lets go and the daemon reaps it: counted off once.
        release_backend();
        release_worker(999999);
        release_backend();
        if (view_backend(0).sessions != 1 || !view_backend(0).held)
            return 13;
        adopt_worker_record(a);
        release_backend();
        if (!all_free(1) || view_backend(0).served != 2)
            return 14;
        // Freed records are taken again, lowest first.
        if (reserve_worker_record() != b)
            return 15;
        assign_worker_record(b, -1);  // a fork that failed
        release_worker(getpid());

        // Workers killed at once after claiming, or while still claiming:
        // the daemon's release on reaping leaves every backend free.
        for (int round = 0; round < 200; ++round) {
            int r = reserve_worker_record();
            pid_t pid = fork();
            if (pid == 0) {
                adopt_worker_record(r);
                for (;;) {
                    if (claim_backend(round % 3, round % 2 == 0))
                        pause();
                }
            }
            assign_worker_record(r, pid);
            if (round % 4 == 0) {
                while (view_backend(round % 3).sessions == 0) {
                }
            }
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            release_worker(pid);
        }
        if (!all_free(3))
            return 16;
        return 0;
    }, 60s);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");
}

// Workers racing to take one free backend, over and over: while one holds
// it as free, no other ever takes it as free too; the counts end at zero.
TEST(StatusTable, RacingClaimsNeverShareAFreeBackend)
{
    child_output got = run_in_child([] {
        if (create_status_table() != 0)
            return 10;
        // Who holds the backend as free right now, and how often two did.
        void *mem = mmap(nullptr, 2 * sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED)
            return 11;
        auto *inside = new (mem) std::atomic<int>(0);
        auto *both = new (inside + 1) std::atomic<int>(0);
        constexpr int WORKERS = 4;
        int gate[2];
        if (pipe(gate) < 0)
            return 11;
        pid_t pids[WORKERS];
        for (int w = 0; w < WORKERS; ++w) {
            int r = reserve_worker_record();
            pids[w] = fork();
            if (pids[w] == 0) {
                adopt_worker_record(r);
                close(gate[1]);
                char c;
                if (read(gate[0], &c, 1) != 0)  // all start when the gate closes
                    _exit(1);
                for (int n = 0; n < 200000; ++n) {
                    if (!claim_backend(0, true))
                        continue;
                    if (inside->fetch_add(1) != 0)
                        both->fetch_add(1);
                    inside->fetch_sub(1);
                    release_backend();
                }
                _exit(0);
            }
            assign_worker_record(r, pids[w]);
        }
        close(gate[0]);
        close(gate[1]);
        for (pid_t pid : pids) {
            waitpid(pid, nullptr, 0);
            release_worker(pid);
        }
        std::printf("%d", both->load());
        return all_free(1) && view_backend(0).served > 0 ? 0 : 12;
    }, 60s);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "0") << "times two workers held the backend as free at once";
    EXPECT_EQ(got.err, "");
}

// A backend that timed out is skipped for 5 s, doubling while it stays
// silent up to 60 s; one that refuses, or answers, is probed by every client.
TEST(StatusTable, BackOffAndWhatTheStatusReportSays)
{
    child_output got = run_in_child([] {
        if (create_status_table() != 0)
            return 10;
        daemon_config = {};
        daemon_config.server_count = 3;
        std::snprintf(daemon_config.servers[0], SERVER_ADDR_LEN, "10.0.0.1");
        std::snprintf(daemon_config.servers[1], SERVER_ADDR_LEN, "10.0.0.2");
        std::snprintf(daemon_config.servers[2], SERVER_ADDR_LEN, "10.0.0.3");
        const long long t = 1000000;
        const int want[] = {5000, 5000, 10000, 20000, 40000, 60000, 60000};
        for (int n = 0; n < 7; ++n) {
            mark_backend_down(1, ETIMEDOUT, t, n > 1);
            backend_view v = view_backend(1);
            if (!v.down || v.backoff_ms != want[n] || v.retry_at_ms != t + want[n])
                return 20 + n;
        }
        mark_backend_down(1, ECONNREFUSED, t, true);
        if (view_backend(1).backoff_ms != 0 || !view_backend(1).down)
            return 30;
        mark_backend_down(1, ETIMEDOUT, t);
        mark_backend_up(1);
        if (view_backend(1).backoff_ms != 0 || view_backend(1).down)
            return 31;

        int r = reserve_worker_record();
        adopt_worker_record(r);
        if (!claim_backend(0, true))
            return 32;
        mark_backend_down(0, ECONNREFUSED, t - 12000);
        mark_backend_down(0, ECONNREFUSED, t - 12000);
        mark_backend_up(0);
        // A second session whose own connection then failed: not served, and
        // no failed probe.
        int second = reserve_worker_record();
        adopt_worker_record(second);
        if (!claim_backend(0, false))
            return 33;
        session_connect_failed(0, ECONNREFUSED, t - 12000);
        release_backend();
        adopt_worker_record(r);
        mark_backend_down(1, ETIMEDOUT, t - 1000);
        mark_backend_down(2, 0, t);
        char line[256];
        for (int i = 0; i < 3; ++i) {
            describe_backend(i, t, line, sizeof line);
            std::printf("%s\n", line);
        }
        mark_backend_down(2, ENETUNREACH, t);
        describe_backend(2, t, line, sizeof line);
        std::printf("%s\n", line);
        // One line per kind per second, standing for the refusals held back.
        for (auto [kind, at] : {std::pair{0, t}, {0, t + 10}, {0, t + 999}, {1, t + 999}, {0, t + 1000}, {0, t + 1500}})
            std::printf("%lld ", static_cast<long long>(take_line(refusal_limit(kind), at)));
        std::printf("\n");
        return 0;
    });
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "server 1 10.0.0.1: busy, 1 open, 1 served, 2 probes failed, 1 session failed to connect, "
                       "last failure 12 s ago\n"
                       "server 2 10.0.0.2: down, 0 open, 0 served, connect timed out, skipped for 4 s more\n"
                       "server 3 10.0.0.3: down, 0 open, 0 served, not an IPv4 or IPv6 address\n"
                       "server 3 10.0.0.3: down, 0 open, 0 served, network is unreachable\n"
                       "1 0 0 1 3 0 \n");
    EXPECT_EQ(got.err, "");
}
