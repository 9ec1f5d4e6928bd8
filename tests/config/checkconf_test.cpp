#include <gtest/gtest.h>

#include <unistd.h>

#include "support/harness.h"

#ifndef DOVRA_TEST_CHECKCONF
#error "DOVRA_TEST_CHECKCONF must name the checker under test"
#endif

using namespace dovra_test;

namespace {

// What the daemon prints beyond the checker: the start line, less the line
// feed that ends the checker's output.
const std::string START_LINE = "\n\nDaemon Started..\n\n";

// Runs the checker in dir, whose default file is dir/dovra.conf.
child_output check(const std::string &dir, std::vector<std::string> args = {})
{
    return run_in_child([&] {
        std::vector<char *> argv{const_cast<char *>(DOVRA_TEST_CHECKCONF)};
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (chdir(dir.c_str()) == 0)
            execv(argv[0], argv.data());
        return 127;
    });
}

std::string servers(int count, const std::string &address = "127.0.0.2")
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "server " + address + "\n";
    return text;
}

}  // namespace

// The checker reads the daemon's default file and says what the daemon says:
// the same summary (without the start line) or the same error line, with
// status 0 exactly when the daemon starts.
TEST(Checkconf, PrintsWhatTheDaemonPrints)
{
    const std::string port = std::to_string(free_port());
    const struct {
        const char *name;
        std::string text;
        bool exists;
        int status;
    } cases[] = {
        {"valid", "# front\nLocalPort " + port + " # listen\nSERVERPORT\n8000 maxclients 2\n"
                  "server 127.0.0.2\nserver 127.0.0.3\n", true, 0},
        {"missing file", "", false, 1},
        {"empty file", "", true, 1},
        {"white space", " \n\t\n", true, 1},
        {"no serverport", "localport 1\nmaxclients 1\nserver 127.0.0.2\n", true, 1},
        {"no maxclients nor server", "localport 1\nserverport 1\n", true, 1},
        {"no server", "localport 1\nserverport 1\nmaxclients 1\n", true, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        daemon_run daemon(c.exists ? c.text.c_str() : nullptr);
        child_output got = check(daemon.dir().path());
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(c.status == 0 ? got.out + START_LINE : got.out, daemon.out());
        EXPECT_EQ(daemon.launcher_status(), 0);
    }
}

// Literal bytes, for the summary and for each of the daemon's limits.
TEST(Checkconf, ExactOutputAndStatus)
{
    temp_dir dir;
    const std::string head = "localport 800\nserverport 80\nmaxclients 5\n";
    const struct {
        std::string text;
        const char *out;
        int status;
    } cases[] = {
        {head + servers(2), "\n localport 800\n serverport 80\n maxclients 5\n Servers: "
                            "\n\t== 127.0.0.2 ==\n\t== 127.0.0.2 ==\n", 0},
        {"localport 70000 serverport -1 maxclients 0 server a.b", "\n localport 70000\n serverport -1"
                                                                 "\n maxclients 0\n Servers: \n\t== a.b ==\n", 0},
        {head + servers(10), nullptr, 0},
        {head + servers(11), "\n Configuration error: too many servers \n", 1},
        {head + "server 1234567890.1234567890\n", "\n Configuration error: server address too long \n", 1},
        {head + "#" + std::string(600, '=') + "\n" + servers(1), "\n Configuration error: token too long \n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        write_file(dir.file("t.conf"), c.text);
        child_output got = check(dir.path(), {"t.conf"});
        EXPECT_EQ(got.status, c.status);
        if (c.out != nullptr) {
            EXPECT_EQ(got.out, c.out);
        }
    }
    EXPECT_EQ(check(dir.path(), {"nowhere.conf"}).out, "\n Configuration error: Unable to open file \n");
    for (const std::vector<std::string> &args : {std::vector<std::string>{"a", "b"}, {"-h"}}) {
        child_output got = check(dir.path(), args);
        EXPECT_EQ(got.status, 2);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.err, "usage: dovra-checkconf [FILE]\n");
    }
}

// Each warning on a file of its own: one line on standard error, and the exit
// status the daemon's verdict alone decides.
TEST(Checkconf, WarnsAboutWhatWillNotWorkAsMeant)
{
    temp_dir dir;
    const std::string head = "localport 8080\nserverport 8000\nmaxclients 4\n";
    const std::string p = "dovra-checkconf: w.conf: line ";
    const struct {
        std::string text;
        std::string err;
        int status;
    } cases[] = {
        {"# server 10.0.0.9\nLOCALPORT 8080 # the port\nserverport\n8000\nmaxclients 800#x\nserver 127.0.0.2\n"
         "#last",
         "", 0},
        {head + "server 127.0.0.2\nserver 10.0.0.1#main\nserver ::1\n",
         p + "5: server \"10.0.0.1#main\" is not a dotted-decimal IPv4 address; it fails every probe\n" + p +
             "6: server \"::1\" is not a dotted-decimal IPv4 address; it fails every probe\n",
         0},
        {"localport 70000\nserverport 0\nmaxclients 1\nserver 127.0.0.2\n",
         p + "1: localport 70000 is outside 1-65535; only its low 16 bits (4464) are used\n" + p +
             "2: serverport 0 is outside 1-65535; only its low 16 bits (0) are used\n",
         0},
        {"localport 1\nserverport -1\nmaxclients ten\nserver 127.0.0.2\n",
         p + "2: serverport -1 is outside 1-65535; only its low 16 bits (65535) are used\n" + p +
             "3: maxclients 0 is below 1; every client is closed at once\n",
         0},
        {"localport 8080\nserverports 8000\nmaxclients 4\nserver 127.0.0.2\n",
         p + "2: unknown keyword \"serverports\" is ignored\n" + p + "2: unknown keyword \"8000\" is ignored\n", 1},
        {head + "server 127.0.0.2\nserverport 9000\n",
         p + "5: serverport given twice (also on line 2); the last one wins\n", 0},
        {"localport server 127.0.0.2\nserverport 8000\nmaxclients 4\n",
         p + "1: localport has the keyword \"server\" as its value\n", 0},
        {head + "server localport\nserver 127.0.0.2\n", p + "4: server has the keyword \"localport\" as its value\n", 0},
        {head + "server 127.0.0.2\nserver localport\n",
         p + "5: server has the keyword \"localport\" as its value\n" + p +
             "5: localport given twice (also on line 1); the last one wins\n" + p +
             "5: localport has no value at the end of the file\n",
         0},
        {head + "server 127.0.0.2\nserver localport", p + "5: server has the keyword \"localport\" as its value\n", 0},
        {head + "server 127.0.0.2\nmaxclients",
         p + "5: maxclients given twice (also on line 3); the last one wins\n" + p +
             "5: maxclients has no value at the end of the file\n",
         0},
        {"localport 8080\nserverport 8000\nmaxclients 4\nserver", p + "4: server has no value at the end of the file\n",
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        write_file(dir.file("w.conf"), c.text);
        child_output got = check(dir.path(), {"w.conf"});
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.out.find("Configuration error") == std::string::npos, c.status == 0) << got.out;
    }
}
