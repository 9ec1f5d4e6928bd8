// Turns the raw lines of a benchmark run into the results part of
// docs/benchmarks.md: its tables, and every sentence there that states a
// figure, a ratio or a verdict, each computed from the medians of the table
// it stands under; the data file of its chart; and the README's lines about
// the run. What holds for any run (how it is measured, what each measure
// means, why dovra costs what it costs) is in bench/NOTES.md, which the
// sentences link to. The summary, the comparisons and the chart show dovra
// beside the forwarders a user would pick instead; an earlier dovra
// (dovra-before), the bare prototype of its design (proto-s) and haproxy's
// splice variant appear in the full tables only.
//
// Usage: bench_report RAW CHART_DATA README_LINES NOTES_LINK > results.md
// RAW holds lines "ROUND PEER MEASURE key=value ..." as bench/run.sh writes
// them; NOTES_LINK is the path of bench/NOTES.md as seen from results.md.
// Round 0 holds what is measured once, after the rounds: "PEER profile"
// (counts per connection), "dovra calls" (its system calls per connection by
// name, in the order given) and "machine fork" (a bare fork+exit+wait, µs).
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// samples[peer][measure.key] = values over the rounds
std::map<std::string, std::map<std::string, std::vector<double>>> samples;
std::vector<std::string> peers;  // in order of first appearance
std::map<std::string, int> failures;
std::vector<std::pair<std::string, double>> dovra_calls;  // name, calls per connection
double fork_us = 0;                                       // a bare fork+exit+wait, 0: not measured

struct metric {
    const char *key;    // measure.key
    const char *label;
    bool higher_better;
    int decimals;
};

const metric METRICS[] = {
    {"bulk.mibps", "bulk throughput, MiB/s", true, 0},
    {"conn1.cps", "connections/s, c=1", true, 0},
    {"conn1.p50_us", "connection latency p50, µs, c=1", false, 0},
    {"conn1.p99_us", "connection latency p99, µs, c=1", false, 0},
    {"conn16.cps", "connections/s, c=16", true, 0},
    {"conn16.p50_us", "connection latency p50, µs, c=16", false, 0},
    {"conn16.p99_us", "connection latency p99, µs, c=16", false, 0},
    {"ping.p50_us", "ping-pong RTT p50, µs", false, 1},
    {"ping.p99_us", "ping-pong RTT p99, µs", false, 1},
    {"conn1.cpu_us_per_conn", "forwarder CPU per connection, µs", false, 0},
    {"idle.private_kib_per_session", "private memory per idle session, KiB", false, 1},
    {"idle.pss_kib_per_session", "PSS per idle session, KiB", false, 1},
    {"bulk.cpu_ms_per_gib", "forwarder CPU per GiB of bulk echo, ms", false, 0},
    {"rr1k.p50_us", "request/response 1 KB, p50 µs", false, 1},
    {"rr1k.p99_us", "request/response 1 KB, p99 µs", false, 1},
    {"rr1k.rps", "request/response 1 KB, requests/s", true, 0},
    {"rr6k.p50_us", "request/response 6 KB, p50 µs", false, 1},
    {"rr6k.p99_us", "request/response 6 KB, p99 µs", false, 1},
    {"rr6k.rps", "request/response 6 KB, requests/s", true, 0},
    {"rr64k.p50_us", "request/response 64 KB, p50 µs", false, 1},
    {"rr64k.p99_us", "request/response 64 KB, p99 µs", false, 1},
    {"rr64k.rps", "request/response 64 KB, requests/s", true, 0},
    {"rr1m.p50_us", "request/response 1 MB, p50 µs", false, 0},
    {"rr1m.p99_us", "request/response 1 MB, p99 µs", false, 0},
    {"rr1m.rps", "request/response 1 MB, requests/s", true, 0},
};

// The profile per connection (run once, after the rounds).
const metric PROFILE_METRICS[] = {
    {"profile.faults_per_conn", "page faults", false, 1},
    {"profile.ctxsw_per_conn", "context switches", false, 1},
    {"profile.syscalls_per_conn", "system calls", false, 1},
};

// Whether a peer belongs in the summary and the chart.
bool user_choice(const std::string &peer)
{
    return peer != "dovra-before" && peer != "haproxy-splice" && peer != "proto-s";
}

bool has(const std::string &peer, const std::string &key)
{
    auto p = samples.find(peer);
    return p != samples.end() && p->second.count(key) && !p->second.at(key).empty();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double med(const std::string &peer, const std::string &key)
{
    return has(peer, key) ? median(samples[peer][key]) : 0;
}

std::string fmt(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string cell(const std::string &peer, const metric &m)
{
    if (!has(peer, m.key))
        return "–";
    const auto &v = samples[peer][m.key];
    auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return "**" + fmt(median(v), m.decimals) + "** (" + fmt(*lo, m.decimals) + "–" + fmt(*hi, m.decimals) + ")";
}

// A peer's median as the tables show it: every figure a sentence computes
// is computed from these, so that it agrees with the table to the digit.
double shown(const std::string &peer, const metric &m)
{
    return has(peer, m.key) ? std::atof(fmt(med(peer, m.key), m.decimals).c_str()) : 0;
}

const metric &by_key(const std::string &key)
{
    for (const metric &m : METRICS)
        if (key == m.key)
            return m;
    for (const metric &m : PROFILE_METRICS)
        if (key == m.key)
            return m;
    std::fprintf(stderr, "bench_report: no measure %s\n", key.c_str());
    std::exit(2);
}

std::string display(const std::string &peer)
{
    return peer == "dovra-before" ? "dovra (before)" : peer;
}

// How peer compares with direct, as a factor where 1 is as good as direct
// and more is better.
double vs_direct(const std::string &peer, const metric &m)
{
    const double d = shown("direct", m);
    const double p = shown(peer, m);
    if (d <= 0 || p <= 0)
        return 0;
    return m.higher_better ? p / d : d / p;
}

// The rest of a table's header after its first cell: a column per peer.
void print_header_row(const std::vector<std::string> &names)
{
    for (auto &p : names)
        std::printf(" %s |", display(p).c_str());
    std::printf("\n|---|");
    for (std::size_t i = 0; i < names.size(); ++i)
        std::printf("---|");
    std::printf("\n");
}

std::string rounds_of(int n)
{
    return std::to_string(n) + (n == 1 ? " round" : " rounds");
}

std::string ordinal(std::size_t n)
{
    const char *suffix = n % 100 / 10 == 1 ? "th" : n % 10 == 1 ? "st" : n % 10 == 2 ? "nd" : n % 10 == 3 ? "rd" : "th";
    return std::to_string(n) + suffix;
}

// A measure of the summary, told in a sentence under it.
struct headline {
    const char *key;
    const char *what;     // what is measured, as a sentence starts it
    const char *unit;     // after a figure ("" for none)
    const char *anchor;   // the section of bench/NOTES.md that explains it
};
const headline HEADLINES[] = {
    {"conn1.cps", "New connections a second, one client", "/s", "what-a-connection-costs"},
    {"conn16.cps", "New connections a second, 16 clients", "/s", "what-a-connection-costs"},
    {"bulk.mibps", "Bulk throughput", " MiB/s", "what-bulk-throughput-costs"},
    {"ping.p50_us", "64-byte round trip, p50", " µs", "what-a-round-trip-costs"},
    {"rr6k.p50_us", "Request/response with a 6 KB reply, p50", " µs", "what-a-round-trip-costs"},
    {"conn1.cpu_us_per_conn", "Forwarder CPU per connection", " µs", "what-a-connection-costs"},
    {"idle.private_kib_per_session", "Private memory per idle session", " KiB", "what-an-idle-session-costs"},
};

// The forwarders of the summary (not direct), best first by m's median.
std::vector<std::string> ranked(const std::vector<std::string> &chosen, const metric &m)
{
    std::vector<std::string> r;
    for (auto &p : chosen)
        if (p != "direct" && has(p, m.key))
            r.push_back(p);
    std::stable_sort(r.begin(), r.end(), [&](const std::string &a, const std::string &b) {
        return m.higher_better ? shown(a, m) > shown(b, m) : shown(a, m) < shown(b, m);
    });
    return r;
}

// "+8.7" or "−3.0": b − a, as a latency added.
std::string signed_difference(double a, double b, int decimals)
{
    const double d = b - a;
    return (d < 0 ? "−" : "+") + fmt(d < 0 ? -d : d, decimals);
}

// One peer's figure in a sentence, with how it compares with direct.
std::string figure(const std::string &peer, const metric &m, const char *unit, bool with_unit)
{
    std::string s = display(peer) + " " + fmt(shown(peer, m), m.decimals) + (with_unit ? unit : "");
    if (!has("direct", m.key))
        return s;
    if (m.higher_better)
        return s + " (" + fmt(vs_direct(peer, m), 2) + " of direct)";
    const double d = shown("direct", m);
    return s + " (" + signed_difference(d, shown(peer, m), m.decimals) + (with_unit ? unit : "") + ", " +
           fmt(shown(peer, m) / d, 2) + "× direct)";
}

// Measures in which a forwarder did better than direct, as "what: peers",
// told once under the summary's sentences.
std::vector<std::string> beaten_direct;

void print_headline(const headline &h, const std::vector<std::string> &chosen, const std::string &notes)
{
    const metric &m = by_key(h.key);
    const auto order = ranked(chosen, m);
    if (!has("dovra", m.key) || order.empty())
        return;
    std::printf("- **%s**:", h.what);
    if (has("direct", m.key))
        std::printf(" direct %s%s;", fmt(shown("direct", m), m.decimals).c_str(), h.unit);
    std::printf(" %s", figure("dovra", m, h.unit, true).c_str());
    std::string others;
    for (auto &p : order)
        if (p != "dovra")
            others += (others.empty() ? "" : ", ") + figure(p, m, h.unit, false);
    if (!others.empty())
        std::printf("; the others, best first: %s", others.c_str());
    const std::size_t rank =
        static_cast<std::size_t>(std::find(order.begin(), order.end(), "dovra") - order.begin()) + 1;
    std::printf(". dovra ranks %s of %zu",
                rank == 1 ? "the best" : rank == order.size() ? "the last" : ordinal(rank).c_str(), order.size());
    if (rank > 1) {
        const double best = shown(order.front(), m), mine = shown("dovra", m);
        if (m.higher_better && mine > 0)
            std::printf(" (%s: %s× dovra's)", display(order.front()).c_str(), fmt(best / mine, 2).c_str());
        else if (!m.higher_better && best > 0)
            std::printf(" (dovra: %s× %s's)", fmt(mine / best, 2).c_str(), display(order.front()).c_str());
    }
    std::printf(" ([why](%s#%s))", notes.c_str(), h.anchor);
    if (has("direct", m.key)) {
        // A forwarder only adds work to a connection's path, so one that
        // beats direct says the machine decided the figure, not the peers.
        std::string beat;
        for (auto &p : order)
            if (vs_direct(p, m) > 1.0)
                beat += (beat.empty() ? "" : ", ") + display(p);
        if (!beat.empty())
            beaten_direct.push_back(std::string(h.what) + ": " + beat);
    }
    std::printf(".\n");
}

struct target_result {
    std::string what;
    double value;
    double limit;
    bool at_least;
    const char *anchor;  // the section of bench/NOTES.md on what decides it
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_report RAW CHART_DATA README_LINES NOTES_LINK\n");
        return 2;
    }
    const std::string notes = argv[4];
    std::ifstream raw(argv[1]);
    std::string line;
    int rounds = 0;
    while (std::getline(raw, line)) {
        std::istringstream in(line);
        std::string round, peer, measure, field;
        if (!(in >> round >> peer >> measure))
            continue;
        rounds = std::max(rounds, std::atoi(round.c_str()));
        if (peer == "machine") {
            while (in >> field)
                if (field.rfind("fork_us=", 0) == 0)
                    fork_us = std::atof(field.c_str() + 8);
            continue;
        }
        if (measure == "calls") {
            while (in >> field)
                if (auto eq = field.find('='); eq != std::string::npos)
                    dovra_calls.emplace_back(field.substr(0, eq), std::atof(field.c_str() + eq + 1));
            continue;
        }
        if (std::find(peers.begin(), peers.end(), peer) == peers.end())
            peers.push_back(peer);
        std::vector<std::pair<std::string, double>> fields;
        bool failed = false;
        while (in >> field) {
            auto eq = field.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = field.substr(0, eq);
            const double value = std::atof(field.c_str() + eq + 1);
            // A run whose check failed counts for nothing, not even its timing.
            failed = failed || key == "error" || (key == "errors" && value > 0);
            fields.emplace_back(key, value);
        }
        if (failed) {
            ++failures[peer + " " + measure];
            continue;
        }
        for (auto &[key, value] : fields)
            samples[peer][measure + "." + key].push_back(value);
    }

    // The prototype's column stands right after dovra's (and the earlier
    // dovra's), whatever order the peers were started in.
    if (auto proto = std::find(peers.begin(), peers.end(), "proto-s"); proto != peers.end()) {
        peers.erase(proto);
        auto after = peers.begin();
        for (auto it = peers.begin(); it != peers.end(); ++it)
            if (*it == "dovra" || *it == "dovra-before")
                after = it + 1;
        peers.insert(after, "proto-s");
    }

    std::vector<std::string> chosen;
    for (auto &p : peers)
        if (user_choice(p))
            chosen.push_back(p);

    // ---- summary ----
    std::printf("## Summary\n\ndovra and the forwarders one would use instead, medians over %s:\n\n| |",
                rounds_of(rounds).c_str());
    print_header_row(chosen);
    for (const headline &h : HEADLINES) {
        const metric &m = by_key(h.key);
        std::printf("| %s |", m.label);
        for (auto &p : chosen)
            std::printf(" %s |", has(p, m.key) ? fmt(shown(p, m), m.decimals).c_str() : "–");
        std::printf("\n");
    }
    std::printf("\nIn this table (ratios and differences are of the medians as shown):\n\n");
    for (const headline &h : HEADLINES)
        print_headline(h, chosen, notes);
    if (!beaten_direct.empty()) {
        std::string list;
        for (auto &b : beaten_direct)
            list += (list.empty() ? "" : "; ") + b;
        std::printf("\nFaster than direct (%s), although a forwarder only adds work to the path: where the "
                    "processes ran decided %s more than the forwarders did. Each peer's spread over the "
                    "rounds is in the full tables.\n",
                    list.c_str(), beaten_direct.size() > 1 ? "those figures" : "that figure");
    }

    // ---- targets ----
    std::vector<target_result> targets;
    if (has("dovra", "bulk.mibps")) {
        // dovra's figure ÷ peer's, as a target when both were measured.
        auto ratio = [&](const std::string &what, const std::string &peer, const char *key, double limit,
                         bool at_least, const char *anchor) {
            const double b = shown(peer, by_key(key));
            if (has("dovra", key) && b > 0)
                targets.push_back({what, shown("dovra", by_key(key)) / b, limit, at_least, anchor});
        };
        ratio("bulk ÷ socat", "socat", "bulk.mibps", 1.1, true, "what-bulk-throughput-costs");
        ratio("bulk ÷ haproxy (default)", "haproxy", "bulk.mibps", 0.9, true, "what-bulk-throughput-costs");
        ratio("conn/s c=1 ÷ socat", "socat", "conn1.cps", 1.3, true, "what-a-connection-costs");
        ratio("conn/s c=16 ÷ socat", "socat", "conn16.cps", 1.5, true, "what-a-connection-costs");
        ratio("conn/s c=1 ÷ proto-s", "proto-s", "conn1.cps", 1.0, true, "the-design-at-its-barest-proto-s");
        ratio("conn/s c=16 ÷ proto-s", "proto-s", "conn16.cps", 1.0, true, "the-design-at-its-barest-proto-s");
        ratio("ping p50 ÷ direct", "direct", "ping.p50_us", 1.3, false, "what-a-round-trip-costs");
        std::string lowest;
        for (auto &p : peers)
            if (p != "dovra" && p != "dovra-before" && p != "proto-s" && p != "direct" && has(p, "ping.p50_us") &&
                (lowest.empty() || shown(p, by_key("ping.p50_us")) < shown(lowest, by_key("ping.p50_us"))))
                lowest = p;
        if (!lowest.empty())
            ratio("ping p50 ÷ lowest other peer (" + display(lowest) + ")", lowest, "ping.p50_us", 1.0, false,
                  "what-a-round-trip-costs");
        if (has("dovra", "idle.private_kib_per_session"))
            targets.push_back({"private KiB per idle session",
                               shown("dovra", by_key("idle.private_kib_per_session")), 20, false,
                               "what-an-idle-session-costs"});
        ratio("CPU per connection ÷ socat", "socat", "conn1.cpu_us_per_conn", 0.5, false, "what-a-connection-costs");
        ratio("CPU per connection ÷ proto-s", "proto-s", "conn1.cpu_us_per_conn", 1.0, false,
              "the-design-at-its-barest-proto-s");
        if (has("dovra", "conn1.cpu_us_per_conn") && fork_us > 0)
            targets.push_back({"CPU per connection ÷ bare fork+exit+wait (" + fmt(fork_us, 0) + " µs)",
                               shown("dovra", by_key("conn1.cpu_us_per_conn")) / fork_us, 2.5, false,
                               "what-a-connection-costs"});
        if (has("dovra", "profile.faults_per_conn"))
            targets.push_back({"page faults per connection", shown("dovra", by_key("profile.faults_per_conn")),
                               12, false, "the-profile-per-connection"});
        ratio("request/response 6 KB p50 ÷ direct", "direct", "rr6k.p50_us", 1.5, false, "what-a-round-trip-costs");
        ratio("bulk ÷ dovra (before)", "dovra-before", "bulk.mibps", 0.9, true, "comparing-two-builds");
        ratio("conn/s c=1 ÷ dovra (before)", "dovra-before", "conn1.cps", 0.9, true, "comparing-two-builds");
        ratio("conn/s c=16 ÷ dovra (before)", "dovra-before", "conn16.cps", 0.9, true, "comparing-two-builds");
    }
    if (!targets.empty()) {
        std::printf("\n## Targets\n\nTargets for dovra ([what they are](%s#the-targets)), as ratios of the medians "
                    "shown in the tables of this run:\n\n| target | value | limit | |\n|---|---|---|---|\n",
                    notes.c_str());
        std::string met, missed;
        for (auto &t : targets) {
            const std::string value = fmt(t.value, 2);
            const double v = std::atof(value.c_str());
            const bool ok = t.at_least ? v >= t.limit : v <= t.limit;
            std::printf("| %s | %s | %s %s | %s |\n", t.what.c_str(), value.c_str(), t.at_least ? "≥" : "≤",
                        fmt(t.limit, 2).c_str(),
                        ok ? "met" : ("**not met** ([why](" + notes + "#" + t.anchor + "))").c_str());
            (ok ? met : missed) += ((ok ? met : missed).empty() ? "" : "; ") + t.what;
        }
        const std::size_t n_met = static_cast<std::size_t>(
            std::count_if(targets.begin(), targets.end(), [](const target_result &t) {
                const double v = std::atof(fmt(t.value, 2).c_str());
                return t.at_least ? v >= t.limit : v <= t.limit;
            }));
        std::printf("\n%zu of %zu targets met%s%s%s%s.\n", n_met, targets.size(), met.empty() ? "" : " (",
                    met.c_str(), met.empty() ? "" : ")", missed.empty() ? "" : ("; not met: " + missed).c_str());
    }

    // ---- all figures ----
    std::printf("\n## All figures\n\nAll peers, medians over %s in **bold**, then (min–max). `–`: not "
                "measured (direct has no forwarder process). Request/response runs over one kept-alive "
                "session: a 4-byte request, a reply of the given size, the next request once the reply "
                "is in.\n\n| measure |",
                rounds_of(rounds).c_str());
    print_header_row(peers);
    for (const metric &m : METRICS) {
        std::printf("| %s |", m.label);
        for (auto &p : peers)
            std::printf(" %s |", cell(p, m).c_str());
        std::printf("\n");
    }

    const char *chart_keys[] = {"conn1.cps", "conn16.cps", "bulk.mibps", "ping.p50_us", "rr6k.p50_us"};
    std::vector<std::string> forwarders;
    for (auto &p : peers)
        if (p != "direct")
            forwarders.push_back(p);
    std::printf("\nRatios against a direct connection (medians as shown; 1.00 = as good as no forwarder, "
                "less is worse; for latencies direct ÷ peer):\n\n| measure, direct = 1.00 |");
    print_header_row(forwarders);
    for (const char *key : chart_keys) {
        const metric &m = by_key(key);
        std::printf("| %s |", m.label);
        for (auto &p : forwarders)
            std::printf(" %s |", has(p, m.key) ? fmt(vs_direct(p, m), 2).c_str() : "–");
        std::printf("\n");
    }
    if (!failures.empty()) {
        std::printf("\nRuns that failed their check (left out of the figures):\n\n");
        for (auto &[what, n] : failures)
            std::printf("- %s: %d\n", what.c_str(), n);
    }

    // ---- the profile per connection ----
    std::vector<std::string> profiled;
    for (auto &p : peers)
        if (std::any_of(std::begin(PROFILE_METRICS), std::end(PROFILE_METRICS),
                        [&](const metric &m) { return has(p, m.key); }))
            profiled.push_back(p);
    if (!profiled.empty()) {
        // How many connections each tool counted over: "2000", or "1990–2000"
        // when a peer's run ended early.
        auto connections = [&](const char *key) {
            double lo = 0, hi = 0;
            for (auto &p : profiled)
                if (has(p, key)) {
                    const double n = med(p, key);
                    lo = lo > 0 ? std::min(lo, n) : n;
                    hi = std::max(hi, n);
                }
            return lo == hi ? fmt(lo, 0) : fmt(lo, 0) + "–" + fmt(hi, 0);
        };
        const bool perf = std::any_of(profiled.begin(), profiled.end(),
                                      [](const std::string &p) { return has(p, "profile.conns"); });
        const bool strace = std::any_of(profiled.begin(), profiled.end(),
                                        [](const std::string &p) { return has(p, "profile.strace_conns"); });
        std::printf("\n## Profile per connection (daemon and workers, c=1, %s connections)\n\n",
                    connections(perf ? "profile.conns" : "profile.strace_conns").c_str());
        std::printf("Counted after the rounds over the forwarder's whole process tree, its own work between "
                    "connections included, and divided by the connections made; the load generator is not "
                    "counted (%s[how](%s#the-profile-per-connection)). These are counts, not times: how busy "
                    "the machine is does not change them (context switches at most a little, when other work "
                    "preempts a process), so they compare between runs where the timings above do not.\n\n| "
                    "per connection |",
                    perf && strace ? ("page faults and context switches by `perf stat`; system calls by "
                                      "`strace -f -c` over " + connections("profile.strace_conns") +
                                      " connections of their own; ")
                                         .c_str()
                    : perf ? "page faults and context switches by `perf stat`; "
                    : "system calls by `strace -f -c`; ",
                    notes.c_str());
        print_header_row(profiled);
        for (const metric &m : PROFILE_METRICS) {
            if (std::none_of(profiled.begin(), profiled.end(), [&](const std::string &p) { return has(p, m.key); }))
                continue;
            std::printf("| %s |", m.label);
            for (auto &p : profiled)
                std::printf(" %s |", has(p, m.key) ? fmt(shown(p, m), m.decimals).c_str() : "–");
            std::printf("\n");
        }
        if (!dovra_calls.empty()) {
            std::string list;
            for (auto &[name, n] : dovra_calls)
                list += (list.empty() ? "" : ", ") + ("`" + name + "` ") + fmt(n, 2);
            std::printf("\ndovra's system calls per connection by name (`strace -c`, those made at least once "
                        "every two connections, most first): %s.\n",
                        list.c_str());
        }
    }

    // ---- the chart: one cluster per measure, one bar per forwarder ----
    std::ofstream chart(argv[2]);
    const char *chart_names[] = {"connections/s, 1 client", "connections/s, 16 clients", "bulk throughput",
                                 "64-byte round trip", "6 KB request/response"};
    chart << "measure";
    for (auto &p : chosen)
        if (p != "direct")
            chart << '\t' << p;
    chart << '\n';
    for (std::size_t i = 0; i < std::size(chart_keys); ++i) {
        chart << '"' << chart_names[i] << '"';
        for (auto &p : chosen)
            if (p != "direct")
                chart << '\t' << fmt(vs_direct(p, by_key(chart_keys[i])), 2);
        chart << '\n';
    }

    // ---- the README's lines: what a user compares, against direct ----
    std::ofstream readme(argv[3]);
    auto list = [&](const char *key, bool as_difference) {
        const metric &m = by_key(key);
        std::string s;
        for (auto &p : chosen) {
            if (p == "direct" || !has(p, key))
                continue;
            s += (s.empty() ? "" : ", ") + display(p) + " " +
                 (as_difference ? signed_difference(shown("direct", m), shown(p, m), m.decimals)
                                : fmt(vs_direct(p, m), 2));
        }
        return s;
    };
    if (has("direct", "conn1.cps") && has("direct", "ping.p50_us") && has("direct", "bulk.mibps")) {
        const bool beaten =
            std::any_of(chosen.begin(), chosen.end(),
                        [](const std::string &p) { return vs_direct(p, by_key("ping.p50_us")) > 1.0; });
        readme << "- new connections a second, one client (direct = 1.00): " << list("conn1.cps", false) << "\n"
               << "- bulk throughput (direct = 1.00): " << list("bulk.mibps", false) << "\n"
               << "- 64-byte round trip, µs added to direct's " << fmt(shown("direct", by_key("ping.p50_us")), 1)
               << ": " << list("ping.p50_us", true)
               << (beaten ? " (a forwarder faster than direct: where the processes ran decided this)" : "") << "\n";
    }
    return 0;
}
