// What an operator gets around the daemon: the installed tree, the manuals
// and the service definitions.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>

#include "common/version.h"
#include "support/harness.h"
#include "support/platform.h"

using namespace dovra_test;

namespace {

const std::string SOURCE = DOVRA_TEST_SOURCE_DIR;
const std::string DEFAULT_CONFIG = "/usr/local/etc/dovra.conf";

// Runs args (the first looked up in PATH) in dir, with env ("NAME=value")
// added to the environment.
child_output run(std::vector<std::string> args, const std::string &dir = ".",
                 const std::vector<std::string> &env = {})
{
    return run_program({std::move(args), env, dir}, 60s);
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::set<std::string> files_under(const std::string &root)
{
    std::set<std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_directory())
            files.insert(std::filesystem::relative(entry.path(), root).string());
    }
    return files;
}

}  // namespace

// Installs into a temporary DESTDIR that already holds an operator's
// configuration: exactly the programs, manuals and sample arrive, the
// configuration is left alone, and the installed checker accepts the sample.
TEST(Install, PutsEveryFileInPlaceAndNothingElse)
{
    temp_dir dest;
    const std::string conf = DOVRA_TEST_CONFIG_PATH;
    const bool absolute = conf.front() == '/';
    if (absolute) {
        std::filesystem::create_directories(std::filesystem::path(dest.path() + conf).parent_path());
        write_file(dest.path() + conf, "the operator's own\n");
    }
    child_output got = run({DOVRA_TEST_CMAKE, "--install", DOVRA_TEST_BINARY_DIR, "--prefix", "/usr/local"}, ".",
                           {"DESTDIR=" + dest.path()});
    ASSERT_EQ(got.status, 0) << got.out << got.err;

    const std::string root = dest.path() + "/usr/local/";
    const std::string sbin = std::string(DOVRA_TEST_SBINDIR) + "/";
    const std::string man = std::string(DOVRA_TEST_MANDIR) + "/";
    const std::string sample = std::string(DOVRA_TEST_DATADIR) + "/examples/dovra/dovra.conf.sample";
    std::set<std::string> want = {"usr/local/" + sbin + "dovra", "usr/local/" + sbin + "dovra-checkconf",
                                  "usr/local/" + man + "man8/dovra.8", "usr/local/" + man + "man5/dovra.conf.5",
                                  "usr/local/" + sample};
    if (absolute)
        want.insert(conf.substr(1));
    EXPECT_EQ(files_under(dest.path()), want);
    if (absolute) {
        EXPECT_EQ(read_file(dest.path() + conf), "the operator's own\n");
    }

    for (const char *program : {"dovra", "dovra-checkconf"}) {
        struct stat st {};
        EXPECT_EQ(stat((root + sbin + program).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0111, 0111u) << program;
    }
    // The installed manuals name the configuration path of this build.
    for (const char *page : {"man8/dovra.8", "man5/dovra.conf.5"}) {
        std::string source = read_file(SOURCE + "/docs/" + std::filesystem::path(page).filename().string());
        EXPECT_TRUE(read_file(root + man + page) == replaced(source, DEFAULT_CONFIG, conf)) << page << " differs";
    }
    EXPECT_EQ(read_file(root + sample), read_file(SOURCE + "/dovra.conf.sample"));
    child_output check = run({root + sbin + "dovra-checkconf", root + sample});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.err, "");
    EXPECT_NE(check.out.find("\n Servers: \n"), std::string::npos) << check.out;
}

// The manuals pass mandoc's lint (with each other to resolve their cross
// references) and name every diagnostic the daemon and the parser can print.
TEST(Manuals, LintCleanAndComplete)
{
    const std::string daemon_page = read_file(SOURCE + "/docs/dovra.8");
    const std::string config_page = read_file(SOURCE + "/docs/dovra.conf.5");
    std::vector<std::string> messages;
    const std::regex report_call(R"re(report\("((?:\\n)*)([^"\\]+)(?:\\n)*"\))re");
    for (const char *file : {"/src/daemon/launcher.cpp", "/src/daemon/dispatcher.cpp", "/src/daemon/reload.cpp",
                             "/src/daemon/health.cpp", "/src/daemon/admission.cpp", "/src/daemon/client_origin.cpp",
                             "/src/config/config.cpp"}) {
        const std::string text = read_file(SOURCE + file);
        for (std::sregex_iterator m(text.begin(), text.end(), report_call), end; m != end; ++m)
            messages.push_back((*m)[2]);
    }
    EXPECT_GE(messages.size(), 7u);
    for (const auto &message : messages)
        EXPECT_NE(daemon_page.find(".It " + message), std::string::npos) << message;
    const std::string header = read_file(SOURCE + "/src/config/config.h");
    const std::string table = header.substr(header.find("config_error_text = {"));
    const std::regex quoted("\"([^\"]+)\"");
    int texts = 0;
    for (std::sregex_iterator m(table.begin(), table.begin() + table.find("};"), quoted), end; m != end; ++m) {
        if ((*m)[1] == "No error")
            continue;
        ++texts;
        EXPECT_NE(config_page.find(".It " + (*m)[1].str() + "\n"), std::string::npos) << (*m)[1];
    }
    EXPECT_EQ(texts, 11);

    if (find_program("mandoc").empty())
        GTEST_SKIP() << "mandoc is not installed";
    child_output lint = run({"mandoc", "-T", "lint", "dovra.8", "dovra.conf.5"}, SOURCE + "/docs");
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.out + lint.err, "");
}

// The rc.d script parses; its start_precmd stops a start on a file the
// daemon would refuse, showing the daemon's error line; and its start hands
// the daemon's output to logger(1), one for each stream, which outlive the
// launcher and end with the daemon. The launcher's status is the start's.
// Its reload checks the file first and signals the daemon alone.
// rc.subr and su are stubbed (su must be asked for the default user), and
// logger is a script that appends what it reads, with its priority, to a file.
TEST(Service, FreeBsdRcScript)
{
    const std::string script = SOURCE + "/packaging/freebsd/files/dovra.in";
    child_output syntax = run({"sh", "-n", script});
    EXPECT_EQ(syntax.status, 0);
    EXPECT_EQ(syntax.err, "");
    if (access("/var/run", W_OK) != 0 || !become_subreaper())
        GTEST_SKIP() << "the start makes its FIFOs in /var/run and the test must adopt the daemon: run as root";

    temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
    write_file(dir.file("bin/logger"), "#!/bin/sh\n"
                                       "while IFS= read -r line; do echo \"$4: $line\"; done >>" +
                                           dir.file("syslog") + "\n");
    ASSERT_EQ(chmod(dir.file("bin/logger").c_str(), 0755), 0);
    write_file(dir.file("rc.subr"), "PATH=" + dir.file("bin") + ":$PATH\n"
                                    "load_rc_config() { :; }\n"
                                    "check_startmsgs() { :; }\n"
                                    "run_rc_command() { rc_pid=$RC_PID; eval \"\\$${1}_precmd\" && eval \"\\$${1}_cmd\"; }\n"
                                    "su() { [ \"$1 $2 $3\" = \"-m dovra -c\" ] && sh -c \"$4\"; }\n");
    std::string text = replaced(read_file(script), "%%PREFIX%%", "/usr/local");
    text = replaced(text, ". /etc/rc.subr", ". " + dir.file("rc.subr"));
    text = replaced(text, "/usr/local/sbin/dovra-checkconf", DOVRA_TEST_CHECKCONF);
    text = replaced(text, "command=\"/usr/local/sbin/${name}\"", std::string("command=\"") + DOVRA_TEST_DAEMON + "\"");
    write_file(dir.file("dovra"), text);

    write_file(dir.file("dovra.conf"), "localport 8080\nserverport 8000\nmaxclients 4\n");
    child_output refused = run({"sh", dir.file("dovra"), "start"}, dir.path());
    EXPECT_NE(refused.status, 0);
    EXPECT_EQ(refused.out, "\n Configuration error: undefined servers \n");

    // A backend port that refuses, so that a client makes a worker write an
    // error line.
    const std::uint16_t port = free_port(), closed = free_port();
    write_file(dir.file("dovra.conf"), "localport " + std::to_string(port) + "\nserverport " +
                                           std::to_string(closed) + "\nmaxclients 4\nserver 127.0.0.2\n");
    child_output started = run({"sh", dir.file("dovra"), "start"}, dir.path());
    EXPECT_EQ(started.status, 0);
    EXPECT_EQ(started.out, "Starting dovra.\n");
    std::vector<pid_t> daemons, loggers;
    for (pid_t pid : children_of(getpid()))
        (process_of(pid).comm == "dovra" ? daemons : loggers).push_back(pid);
    ASSERT_EQ(daemons.size(), 1u);
    EXPECT_EQ(loggers.size(), 2u);
    unique_fd client = connect_to("127.0.0.1", port);
    EXPECT_TRUE(closed_without_data(client.get()));
    const std::string worker_line = "daemon.err: All the servers are down: Connection refused\n";
    EXPECT_TRUE(wait_for([&] { return read_file(dir.file("syslog")).find(worker_line) != std::string::npos; }));
    const std::string syslog = read_file(dir.file("syslog"));
    EXPECT_NE(syslog.find("daemon.notice: Daemon Started..\n"), std::string::npos) << syslog;

    // Port in use: the launcher's status fails the start, and the reason
    // reaches syslog.
    child_output again = run({"sh", dir.file("dovra"), "start"}, dir.path());
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "Starting dovra.\ndovra did not start; see /var/log/messages.\n");
    EXPECT_TRUE(wait_for([&] {
        return read_file(dir.file("syslog")).find("daemon.err: Error creating listenning socket: Address already in use\n") !=
               std::string::npos;
    }));

    // A reload: refused by the checker without a signal, then taken by the
    // daemon.
    const std::string pids = "RC_PID=" + std::to_string(daemons[0]);
    write_file(dir.file("dovra.conf"), "localport " + std::to_string(port) + "\nserverport 1\nmaxclients 4\n");
    child_output bad = run({"sh", dir.file("dovra"), "reload"}, dir.path(), {pids});
    EXPECT_NE(bad.status, 0);
    EXPECT_EQ(bad.out, "\n Configuration error: undefined servers \n");
    write_file(dir.file("dovra.conf"), "localport " + std::to_string(port) + "\nserverport " +
                                           std::to_string(closed) + "\nmaxclients 4\nserver 127.0.0.3\n");
    child_output reloaded = run({"sh", dir.file("dovra"), "reload"}, dir.path(), {pids});
    EXPECT_EQ(reloaded.status, 0);
    EXPECT_EQ(reloaded.out, "dovra: reload asked of pid " + std::to_string(daemons[0]) + "; see /var/log/messages.\n");
    EXPECT_TRUE(wait_for([&] {
        return read_file(dir.file("syslog")).find(std::string("daemon.notice: Reloaded: dovra ") + DOVRA_VERSION + " runs, ") !=
               std::string::npos;
    })) << read_file(dir.file("syslog"));
    EXPECT_EQ(read_file(dir.file("syslog")).find("Reload refused"), std::string::npos);

    // The loggers end with the daemon, none before.
    for (pid_t pid : loggers)
        EXPECT_NE(process_state(pid), 'Z');
    kill(daemons[0], SIGTERM);
    EXPECT_TRUE(wait_for([&] {
        for (pid_t pid : children_of(getpid(), true))
            waitpid(pid, nullptr, 0);
        return children_of(getpid()).empty();
    }));
}

// systemd-analyze verifies the unit, its commands pointed at the built
// programs (verify wants them to exist).
TEST(Service, SystemdUnit)
{
    if (find_program("systemd-analyze").empty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    temp_dir dir;
    write_file(dir.file("probe.service"),
               std::string("[Service]\nType=oneshot\nExecStart=") + DOVRA_TEST_BUILT_CHECKCONF + "\n");
    if (run({"systemd-analyze", "verify", "--man=no", dir.file("probe.service")}).status != 0)
        GTEST_SKIP() << "systemd-analyze cannot verify units here";

    std::string unit = read_file(SOURCE + "/packaging/systemd/dovra.service");
    unit = replaced(unit, "ExecStartPre=/usr/local/sbin/dovra-checkconf\n",
                    std::string("ExecStartPre=") + DOVRA_TEST_BUILT_CHECKCONF + "\n");
    unit = replaced(unit, "ExecStart=/usr/local/sbin/dovra\n", std::string("ExecStart=") + DOVRA_TEST_BUILT_DAEMON + "\n");
    unit = replaced(unit, "ExecReload=/usr/local/sbin/dovra-checkconf\n",
                    std::string("ExecReload=") + DOVRA_TEST_BUILT_CHECKCONF + "\n");
    ASSERT_EQ(unit.find("/usr/local/sbin"), std::string::npos);
    write_file(dir.file("dovra.service"), unit);
    child_output got = run({"systemd-analyze", "verify", "--man=no", dir.file("dovra.service")});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out + got.err, "");
}
