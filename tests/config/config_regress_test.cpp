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
