#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/config.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

// Parses path with a deadline (a parser that spins or blocks dies of
// SIGALRM), checks that it leaves no descriptor open, and renders the result:
// the error text, or for CONFIG_OK the settings and the servers in order.
std::string parse(const std::string &path)
{
    int fds = open_fd_count();
    alarm(5);
    config_result code = read_config(path.c_str());
    alarm(0);
    EXPECT_EQ(open_fd_count(), fds) << path;
    if (code != CONFIG_OK)
        return config_error_text[code];
    std::string text = std::to_string(daemon_config.localport) + " " + std::to_string(daemon_config.serverport) + " " +
                       std::to_string(daemon_config.maxclients);
    for (int i = 0; i < daemon_config.server_count; ++i)
        text += std::string(" ") + daemon_config.servers[i];
    return text;
}

std::string repeat(int n, const std::string &text)
{
    std::string all;
    for (int i = 0; i < n; ++i)
        all += text;
    return all;
}

}  // namespace

TEST(ReadConfig, FileTextGivesCodeAndFields)
{
    const std::string base = "localport 800\nserverport 80\nmaxclients 5\n";
    const std::string one = "server 10.0.0.1\n";
    const struct {
        std::string text, want;
    } cases[] = {
        {base + one, "800 80 5 10.0.0.1"},
        // Any order, any case, values on later lines, no final line feed.
        {"SERVER\t10.0.0.1 MaxClients\n\n5 serverPORT 80\nLocalPort\n800", "800 80 5 10.0.0.1"},
        // '#' opens a comment only in keyword position, up to LF or CR.
        {"# server 10.0.0.9\n" + base + "server 10.0.0.1 # main server 10.0.0.8\n#x\rserver 10.0.0.2#main\n# end",
         "800 80 5 10.0.0.1 10.0.0.2#main"},
        {base + "localport #1 " + one, "0 80 5 10.0.0.1"},
        // atoi: leading digits only, no range test; a later value wins.
        {"localport 800#x serverport 80 serverport +70000 maxclients ten " + one, "800 70000 0 10.0.0.1"},
        {"localport -1 serverport 80x maxclients 5 " + one, "-1 80 5 10.0.0.1"},
        // The four tests run in turn on one buffer: a value that is a later
        // keyword is taken as that keyword.
        {"serverport 80 maxclients 5 localport " + one, "0 80 5 10.0.0.1"},
        {"localport 1 serverport maxclients 7 " + one, "1 0 7 10.0.0.1"},
        // A keyword that is the last token is its own value.
        {base + "server", "800 80 5 server"},
        {one + "serverport 80 maxclients 5 localport", "0 80 5 10.0.0.1"},
        {one + "serverport 80 maxclients 5 localport\n\n", "0 80 5 10.0.0.1"},
        // At the end the buffer goes through the tests once more, so a last
        // value that is an earlier keyword takes effect as well.
        {one + "serverport 80 maxclients localport\n", "0 80 0 10.0.0.1"},
        {base + one + "server server\n", "800 80 5 10.0.0.1 server server"},
        // The first missing setting decides.
        {"", "Unable to open file"},
        {" \n\t\r\n", "undefined localport"},
        {"# localport 800\n", "undefined localport"},
        {"serverport 80 maxclients 5 " + one, "undefined localport"},
        {"localport 800 maxclients 5 " + one, "undefined serverport"},
        {"localport 800 serverport 80\n", "undefined maxclients"},
        {base, "undefined servers"},
        // Limits are refused, never overflowed.
        {base + std::string(511, 'x') + " " + one, "800 80 5 10.0.0.1"},
        {base + one + std::string(511, 'x'), "800 80 5 10.0.0.1"},
        {base + std::string(512, 'x') + " " + one, "token too long"},
        {"localport " + std::string(600, '1') + "\n", "token too long"},
        {base + "server " + std::string(45, '1'), "800 80 5 " + std::string(45, '1')},
        {base + "server " + std::string(46, '1'), "server address too long"},
        {base + one + "localaddress " + std::string(46, ':'), "local address too long"},
        {base + repeat(10, one), "800 80 5" + repeat(10, " 10.0.0.1")},
        {base + repeat(11, one), "too many servers"},
    };
    temp_dir dir;
    for (const auto &c : cases) {
        write_file(dir.file("dovra.conf"), c.text);
        EXPECT_EQ(parse(dir.file("dovra.conf")), c.want) << c.text;
    }
}

TEST(ReadConfig, FilesThatAreNotRegularEnd)
{
    temp_dir dir;
    EXPECT_EQ(parse(dir.file("missing")), "Unable to open file");
    // A directory opens but cannot be read; the parser must not spin on it.
    EXPECT_EQ(parse(dir.path()), directory_config_error(dir.path()));

    // A pipe cannot seek: no token is read, even with settings waiting in it.
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    unique_fd writer(open(fifo.c_str(), O_RDWR | O_CLOEXEC));  // so that fopen does not block
    ASSERT_TRUE(writer);
    std::string text = "localport 800 serverport 80 maxclients 5 server 10.0.0.1\n";
    ASSERT_EQ(write(writer.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(parse(fifo), "undefined localport");
}
