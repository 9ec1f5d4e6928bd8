#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "common/version.h"
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
    args.insert(args.begin(), DOVRA_TEST_CHECKCONF);
    return run_program({args, {}, dir});
}

std::string servers(int count, const std::string &address = "127.0.0.2")
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "server " + address + "\n";
    return text;
}

// out with the number of each "(N ms)" replaced by '-', and the numbers in
// *times, in order.
std::string without_times(const std::string &out, std::vector<long> *times)
{
    std::string text;
    std::size_t from = 0;
    for (std::size_t at; (at = out.find(" ms)\n", from)) != std::string::npos; from = at + 5) {
        const std::size_t open = out.rfind('(', at);
        if (open == std::string::npos || open < from)
            break;
        times->push_back(std::strtol(out.c_str() + open + 1, nullptr, 10));
        text.append(out, from, open + 1 - from).append("- ms)\n");
    }
    return text.append(out, from);
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
        // Past the int range: held to its bound, never wrapped (to 5).
        {"idletimeout 4294967301", "localport " + port + " serverport 1 maxclients 1 server 127.0.0.2 idletimeout "
                                   "4294967301\n", true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        daemon_run daemon(c.exists ? c.text.c_str() : nullptr);
        child_output got = check(daemon.dir().path());
        const bool held = c.text.find("idletimeout") != std::string::npos;
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.err, held ? "dovra-checkconf: dovra.conf: line 1: idletimeout 4294967301 is above 2000000; "
                                  "2000000 is used\n"
                                : "");
        EXPECT_EQ(c.status == 0 ? got.out + START_LINE : got.out, daemon.out());
        EXPECT_EQ(daemon.launcher_status(), 0);
        if (held) {
            EXPECT_NE(daemon.out().find("\n idletimeout 2000000\n"), std::string::npos) << daemon.out();
        }
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
        {head + "server " + std::string(46, '1') + "\n", "\n Configuration error: server address too long \n", 1},
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
        EXPECT_EQ(got.err, "usage: dovra-checkconf [-V | [-p] [FILE]]\n");
    }
    // The version this build runs, as the daemon's status report names it.
    child_output version = check(dir.path(), {"-V"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("dovra ") + DOVRA_VERSION + "\n");
    EXPECT_EQ(version.err, "");
}

// Each warning on a file of its own: one line on standard error, and the exit
// status the daemon's verdict decides: 1 for a configuration error, and for a
// file the daemon reads but cannot listen with.
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
        {head + "server 127.0.0.2\nserver 10.0.0.1#main\nserver localhost\n",
         p + "5: server \"10.0.0.1#main\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails every probe\n" + p +
             "6: server \"localhost\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails every probe\n",
         0},
        {"localport 70000\nserverport 0\nmaxclients 1\nserver 127.0.0.2\n",
         p + "1: localport 70000 is outside 1-65535; only its low 16 bits (4464) are used\n" + p +
             "2: serverport 0 is outside 1-65535; only its low 16 bits (0) are used\n",
         0},
        {"localport 1\nserverport 1\nmaxclients 4097\nserver 127.0.0.2\n",
         p + "3: maxclients 4097 is above 4096; at most 4096 clients are served at once\n", 0},
        {"localport 1\nserverport -1\nmaxclients ten\nserver 127.0.0.2\n",
         p + "2: serverport -1 is outside 1-65535; only its low 16 bits (65535) are used\n" + p +
             "3: maxclients 0 is below 1; every client is closed at once\n",
         0},
        {head + "server 127.0.0.2\nshare most\nqueuetimeout 0\nwhenfull maybe\ncheckinterval 4000\nshare none\n"
                "queuetimeout 3600 whenfull wait checkinterval 0\n",
         p + "5: share \"most\" is neither first, least nor none; first is used\n" + p +
             "6: queuetimeout 0 is below 1; 1 is used\n" + p +
             "7: whenfull \"maybe\" is neither close nor wait; close is used\n" + p +
             "8: checkinterval 4000 is above 3600; 3600 is used\n" + p +
             "9: share given twice (also on line 5); the last one wins\n" + p +
             "10: queuetimeout given twice (also on line 6); the last one wins\n" + p +
             "10: whenfull given twice (also on line 7); the last one wins\n" + p +
             "10: checkinterval given twice (also on line 8); the last one wins\n",
         0},
        {"localport 8080\nserverports 8000\nmaxclients 4\nserver 127.0.0.2\n",
         p + "2: unknown keyword \"serverports\" is ignored\n" + p + "2: unknown keyword \"8000\" is ignored\n", 1},
        {head + "server 127.0.0.2\nidletimeout 4294967301\n",
         p + "5: idletimeout 4294967301 is above 2000000; 2000000 is used\n", 0},
        {head + "server 127.0.0.2\nserverport 9000\n",
         p + "5: serverport given twice (also on line 2); the last one wins\n", 0},
        {head + "server 127.0.0.2\nhalfclose yes\nkeepalive 40000\nkeepalive -1\nkeepalive 0\nhalfclose OFF\n",
         p + "5: halfclose \"yes\" is neither on nor off; either side's FIN ends the session\n" + p +
             "6: keepalive 40000 is above 32767; 32767 is used\n" + p +
             "7: keepalive given twice (also on line 6); the last one wins\n" + p +
             "7: keepalive -1 is below 0; 0 is used\n" + p +
             "8: keepalive given twice (also on line 7); the last one wins\n" + p +
             "9: halfclose given twice (also on line 5); the last one wins\n",
         0},
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
        // IPv6 literals are addresses; bracketed, with a port or a zone they
        // are not.
        {head + "server ::1\nserver 2001:db8::10\nserver ::ffff:192.0.2.1\nserver [::1]\nserver fe80::1%lo\n"
                "localaddress ::\nlocaladdress [::]:8080\n",
         p + "7: server \"[::1]\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails "
             "every probe\n" +
             p + "8: server \"fe80::1%lo\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it "
                 "fails every probe\n" +
             p + "10: localaddress given twice (also on line 9); the last one wins\n" + p +
             "10: localaddress \"[::]:8080\" is neither an IPv4 nor an IPv6 address (host names are not resolved); the "
             "daemon cannot listen and does not start\n",
         1},
        {head + "server 127.0.0.2\nlocaladdress myhost.example\n",
         p + "5: localaddress \"myhost.example\" is neither an IPv4 nor an IPv6 address (host names are not "
             "resolved); the daemon cannot listen and does not start\n",
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        write_file(dir.file("w.conf"), c.text);
        child_output got = check(dir.path(), {"w.conf"});
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
        const bool cannot_listen = c.err.ends_with("does not start\n");
        EXPECT_EQ(got.out.find("Configuration error") == std::string::npos, c.status == 0 || cannot_listen)
            << got.out;
    }
}

// The warnings name the line on which the daemon reads each word, whatever
// ends the lines, and the words as the daemon cuts them; the verdict stays the
// daemon's own.
TEST(Checkconf, WarningsFollowTheDaemonsReading)
{
    const std::string port = std::to_string(free_port());
    const std::string p = "dovra-checkconf: dovra.conf: line ";
    const std::string z510(510, 'z');
    const struct {
        std::string text;
        std::string err;
        int status;
    } cases[] = {
        {"localport " + port + "\rserverport 0\rmaxclients 4\r# x\rserver localhost\r",
         p + "2: serverport 0 is outside 1-65535; only its low 16 bits (0) are used\n" + p +
             "5: server \"localhost\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails every probe\n",
         0},
        {"localport 1\r\nserverport 8000\r\r\nmaxclients 0\n\rserver 127.0.0.2\r\nlocalport " + port + "\n",
         p + "4: maxclients 0 is below 1; every client is closed at once\n" + p +
             "7: localport given twice (also on line 1); the last one wins\n",
         0},
        {"# a\r\nlocalport " + port + " serverport 2 maxclients 3\rserver 10.0.0.1#x",
         p + "3: server \"10.0.0.1#x\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails every probe\n", 0},
        // The first 511 bytes hold a NUL: the daemon reads "localport" after them.
        {"localport 1\nserverport 8000 maxclients 4 server 127.0.0.2\n" + std::string("a\0", 2) + z510.substr(1) +
             "localport " + port,
         p + "3: unknown keyword \"a\" is ignored\n" + p +
             "3: localport given twice (also on line 1); the last one wins\n",
         0},
        {"localport " + port + "\nserverport 8000 maxclients 4\n" + z510 + std::string(1, '\0') + "server localhost",
         p + "3: unknown keyword \"" + z510 + "\" is ignored\n" + p +
             "3: server \"localhost\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails every probe\n",
         0},
        // 511 bytes without a NUL and more after them: too long.
        {"localport 1\n" + z510 + "z" + std::string(1, '\0') + "x", "", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        // Written here, since a NUL byte would end the text as a C string.
        daemon_options write_text;
        write_text.prepare = [&](const std::string &dir) { write_file(dir + "/dovra.conf", c.text); };
        daemon_run daemon(nullptr, {}, write_text);
        child_output got = check(daemon.dir().path());
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(c.status == 0 ? got.out + START_LINE : got.out, daemon.out());
    }
}

// -p connects to each server as a worker's probe does, in the file's order,
// and says what came of it; the status tells whether any server answered.
// Nothing is contacted without -p, nor when the file is refused.
TEST(Checkconf, ProbeReportsEachServer)
{
    backend_pool pool(2);
    pool.stop(1);
    const std::string accepting = backend_address(0), refusing = backend_address(1), dropping = backend_address(2);
    // A listener whose queue is full: the system drops further connection
    // attempts without an answer, as a filtered backend would.
    unique_fd full(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(pool.port());
    ASSERT_EQ(inet_pton(AF_INET, dropping.c_str(), &sa.sin_addr), 1);
    ASSERT_EQ(bind(full.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(full.get(), 0), 0);
    unique_fd queued = connect_to(dropping, pool.port());
    ASSERT_TRUE(queued);

    temp_dir dir;
    const std::string summary = "\n localport 8080\n serverport " + std::to_string(pool.port()) +
                                "\n maxclients 4\n Servers: ";
    auto not_ipv4 = [](int line) {
        return "dovra-checkconf: p.conf: line " + std::to_string(line) +
               ": server \"localhost\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails every probe\n";
    };
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> servers;
        std::string out;
        std::string err;
        int status;
        int probes;  // connections the accepting backend sees
    } cases[] = {
        {{"-p", "p.conf"}, {accepting, refusing, "localhost", dropping},
         summary + "\n\t== " + accepting + " ==\n\t== " + refusing + " ==\n\t== localhost ==\n\t== " + dropping + " ==\n" +
             accepting + ": reachable (- ms)\n" + refusing + ": Connection refused (- ms)\n" +
             "localhost: not an IPv4 or IPv6 address (- ms)\n" + dropping + ": timed out (- ms)\n",
         not_ipv4(6), 0, 1},
        {{"--probe", "p.conf"}, {refusing, "localhost"},
         summary + "\n\t== " + refusing + " ==\n\t== localhost ==\n" + refusing + ": Connection refused (- ms)\n" +
             "localhost: not an IPv4 or IPv6 address (- ms)\n",
         not_ipv4(5), 1, 0},
        {{"-p", "p.conf"}, {accepting, accepting},
         summary + "\n\t== " + accepting + " ==\n\t== " + accepting + " ==\n" + accepting + ": reachable (- ms)\n" +
             accepting + ": reachable (- ms)\n",
         "", 0, 2},
        {{"p.conf"}, {accepting}, summary + "\n\t== " + accepting + " ==\n", "", 0, 0},
        {{"-p", "p.conf"}, {}, "\n Configuration error: undefined servers \n", "", 1, 0},
        {{"p.conf", "-p"}, {accepting}, "", "usage: dovra-checkconf [-V | [-p] [FILE]]\n", 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.servers.size()));
        write_file(dir.file("p.conf"), config_text(8080, pool.port(), 4, c.servers));
        const int before = pool.accepted(0);
        child_output got = check(dir.path(), c.args);
        std::vector<long> times;
        EXPECT_EQ(without_times(got.out, &times), c.out);
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
        for (std::size_t i = 0; i < times.size(); ++i) {
            const bool timed_out = i == 3;
            EXPECT_GE(times[i], timed_out ? 2900 : 0) << i;
            EXPECT_LT(times[i], timed_out ? 4000 : 2900) << i;
        }
        EXPECT_TRUE(wait_for([&] { return pool.accepted(0) == before + c.probes; }));
        EXPECT_EQ(pool.with_data(0), 0);
    }
    EXPECT_EQ(pool.accepted(1), 0);
}

// -p reaches IPv6 servers as IPv4 ones, in the file's order across both.
TEST(Checkconf, ProbeReachesIpv6Servers)
{
    if (std::string missing = ipv6_missing(); !missing.empty())
        GTEST_SKIP() << missing;
    backend_pool pool(std::vector<std::string>{"::1", backend_address(0)});
    temp_dir dir;
    const std::string summary = "\n localport 8080\n serverport " + std::to_string(pool.port()) +
                                "\n maxclients 4\n Servers: \n\t== ::1 ==\n\t== " + backend_address(0) + " ==\n";
    write_file(dir.file("p.conf"), config_text(8080, pool.port(), 4, {"::1", backend_address(0)}));
    for (bool ipv6_up : {true, false}) {
        SCOPED_TRACE(ipv6_up ? "::1 answers" : "::1 refuses");
        if (!ipv6_up) {
            // The first round's probe is taken before the listener goes.
            ASSERT_TRUE(wait_for([&] { return pool.accepted(0) == 1; }));
            pool.stop(0);
        }
        child_output got = check(dir.path(), {"-p", "p.conf"});
        std::vector<long> times;
        EXPECT_EQ(without_times(got.out, &times),
                  summary + "::1: " + (ipv6_up ? "reachable" : "Connection refused") + " (- ms)\n" +
                      backend_address(0) + ": reachable (- ms)\n");
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.status, 0);
    }
    EXPECT_TRUE(wait_for([&] { return pool.accepted(1) == 2; }));
    EXPECT_EQ(pool.with_data(0) + pool.with_data(1), 0);
}

// allow, deny and acceptproxy: a rule that is no prefix stops the daemon,
// and the checker names its line; rules that change nothing are found once
// the whole file is read, since deny wins wherever it stands, and every
// warning still comes in line order.
TEST(Checkconf, JudgesTheFrontDoorRules)
{
    temp_dir dir;
    const std::string head = "localport 8080\nserverport 8000\nmaxclients 4\nserver 127.0.0.2\n";
    const std::string p = "dovra-checkconf: w.conf: line ";
    std::string many;
    for (int i = 0; i <= 256; ++i)
        many += "deny 10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250) + "\n";
    const struct {
        std::string text;
        std::string err;
        std::string out;  // found in the output
    } cases[] = {
        {head + "allow 10.0.0.0/33\n",
         p + "5: allow \"10.0.0.0/33\" is neither an IPv4 nor an IPv6 address or prefix; the daemon does not start\n",
         "Configuration error: allow, deny or acceptproxy is not an address or prefix"},
        {head + "acceptproxy lb.example\n",
         p + "5: acceptproxy \"lb.example\" is neither an IPv4 nor an IPv6 address or prefix; the daemon does not "
             "start\n",
         "Configuration error: allow, deny or acceptproxy is not an address or prefix"},
        {head + many, "", "Configuration error: too many allow, deny and acceptproxy lines"},
        {head + "allow 10.1.2.3/8\nallow 10.9.0.0/16\ndeny 192.168.0.0/16\nallow 192.168.1.0/24\n"
                "acceptproxy 172.16.0.1\nmaxperclient 5000\nproxyprotocol v3\nallow ::ffff:192.168.0.0/112\n"
                "deny 2001:db8::/32\n",
         p + "5: allow 10.1.2.3/8 has host bits set; it stands for 10.0.0.0/8\n" + p +
             "6: allow 10.9.0.0/16 is hidden by allow on line 5, which covers it\n" + p +
             "8: allow 192.168.1.0/24 can never match: deny on line 7 covers it\n" + p +
             "9: acceptproxy 172.16.0.1/32 can never match: no allow line lets its clients in\n" + p +
             "10: maxperclient 5000 is above 4096; 4096 is used\n" + p +
             "11: proxyprotocol \"v3\" is neither v1 nor v2; no header is sent\n" + p +
             "12: allow 192.168.0.0/16 can never match: deny on line 7 covers it\n" + p +
             "13: deny 2001:db8::/32 can never match: no allow line lets its clients in\n",
         "\n allow 10.0.0.0/8\n allow 10.9.0.0/16\n deny 192.168.0.0/16\n allow 192.168.1.0/24\n acceptproxy "
         "172.16.0.1/32\n allow 192.168.0.0/16\n deny 2001:db8::/32\n maxperclient 4096\n Servers: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 200));
        write_file(dir.file("w.conf"), c.text);
        child_output got = check(dir.path(), {"w.conf"});
        EXPECT_EQ(got.err, c.err);
        EXPECT_NE(got.out.find(c.out), std::string::npos) << got.out;
    }
}
