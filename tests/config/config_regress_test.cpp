// Inputs that once broke the parser or the daemon's start, kept as checks:
// every seed of the fuzzing corpus (where each finding is added), and a FIFO
// without a writer at the configuration path, which used to block the
// launcher for ever in open().
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "config/config.h"
#include "support/harness.h"

using namespace dovra_test;

TEST(ConfigRegress, FuzzCorpusKeepsItsInvariants)
{
    DIR *dir = opendir(DOVRA_CONFIG_CORPUS);
    ASSERT_NE(dir, nullptr) << DOVRA_CONFIG_CORPUS;
    int seeds = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        SCOPED_TRACE(entry->d_name);
        ++seeds;
        std::memset(&daemon_config, 0xa5, sizeof daemon_config);
        int code = read_config((std::string(DOVRA_CONFIG_CORPUS) + "/" + entry->d_name).c_str());
        EXPECT_GE(code, CONFIG_OK);
        EXPECT_LT(code, static_cast<int>(config_error_text.size()));
        ASSERT_GE(daemon_config.server_count, 0);
        ASSERT_LE(daemon_config.server_count, MAX_SERVERS);
        for (int i = 0; i < daemon_config.server_count; ++i)
            EXPECT_NE(std::memchr(daemon_config.servers[i], '\0', SERVER_ADDR_LEN), nullptr);
    }
    closedir(dir);
    EXPECT_GT(seeds, 0);
}

TEST(ConfigRegress, FifoWithoutWriterReadsAsNoSettings)
{
    temp_dir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    child_output child = run_in_child([&] { return read_config(fifo.c_str()); }, 5s);
    EXPECT_EQ(child.status, CONFIG_NO_LOCALPORT) << "read_config blocked on a FIFO without a writer";
}

// Files that the checker once read otherwise than the daemon: a NUL byte near
// the 511-byte limit of a word, and lines ended by CR alone. A NUL ends a
// word's text but not the word; a word that holds one within its first 511
// bytes is cut after them, and the rest is read as a word of its own.
TEST(ConfigRegress, NulNearTheLimitAndCrLineEnds)
{
    const std::string tail = "serverport 80\rmaxclients 5\rserver 10.0.0.1\r";
    const std::string z509(509, 'z');
    const struct {
        std::string text;
        int code;
        int localport;
    } cases[] = {
        {std::string("a\0", 2) + z509 + "localport 800\r" + tail, CONFIG_OK, 800},
        {z509 + "z" + std::string(1, '\0') + "localport 800\r" + tail, CONFIG_OK, 800},
        {z509 + "zz" + "localport 800\r" + tail, CONFIG_TOKEN_TOO_LONG, 0},
        {z509 + "zz" + std::string(1, '\0') + "localport 800\r" + tail, CONFIG_TOKEN_TOO_LONG, 0},
        {"localport 800\r# server 10.0.0.9\r" + tail, CONFIG_OK, 800},
    };
    temp_dir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(c.text.size() - tail.size() - 20));
        write_file(dir.file("dovra.conf"), c.text);
        daemon_config.localport = 0;
        EXPECT_EQ(read_config(dir.file("dovra.conf").c_str()), c.code);
        EXPECT_EQ(daemon_config.localport, c.localport);
        if (c.code == CONFIG_OK) {
            ASSERT_EQ(daemon_config.server_count, 1);
            EXPECT_STREQ(daemon_config.servers[0], "10.0.0.1");
        }
    }
}
