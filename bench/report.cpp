// Turns the raw lines of a benchmark run into the Markdown tables of
// docs/benchmarks.md and the data file of its chart. The summary table and
// the chart show dovra beside the forwarders a user would pick instead; an
// earlier dovra (dovra-before) and haproxy's splice variant appear in the
// full tables only.
//
// Usage: bench_report RAW CHART_DATA > results.md
// RAW holds lines "ROUND PEER MEASURE key=value ..." as bench/run.sh writes them.
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// samples[peer][measure.key] = values over the rounds
std::map<std::string, std::map<std::string, std::vector<double>>> samples;
std::vector<std::string> peers;  // in order of first appearance
std::map<std::string, int> failures;

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
// The request/response rows, printed as a table of their own.
constexpr std::size_t FIRST_RR = 13;
constexpr std::size_t METRIC_COUNT = sizeof METRICS / sizeof METRICS[0];
static_assert(METRIC_COUNT == FIRST_RR + 12);

// Whether a peer belongs in the summary and the chart.
bool user_choice(const std::string &peer)
{
    return peer != "dovra-before" && peer != "haproxy-splice";
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

// How peer compares with direct, as a factor where 1 is as good as direct
// and more is better.
double vs_direct(const std::string &peer, const metric &m)
{
    const double d = med("direct", m.key);
    const double p = med(peer, m.key);
    if (d <= 0 || p <= 0)
        return 0;
    return m.higher_better ? p / d : d / p;
}

void target(const char *what, double value, double limit, bool at_least)
{
    const bool met = at_least ? value >= limit : value <= limit;
    std::printf("| %s | %s | %s %s | %s |\n", what, fmt(value, 2).c_str(), at_least ? "≥" : "≤",
                fmt(limit, 2).c_str(), met ? "met" : "**not met**");
}

// The rest of a table's header after its first cell: a column per peer.
void print_header_row(const std::vector<std::string> &names)
{
    for (auto &p : names)
        std::printf(" %s |", p == "dovra-before" ? "dovra (before)" : p.c_str());
    std::printf("\n|---|");
    for (std::size_t i = 0; i < names.size(); ++i)
        std::printf("---|");
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_report RAW CHART_DATA\n");
        return 2;
    }
    std::ifstream raw(argv[1]);
    std::string line;
    int rounds = 0;
    while (std::getline(raw, line)) {
        std::istringstream in(line);
        std::string round, peer, measure, field;
        if (!(in >> round >> peer >> measure))
            continue;
        rounds = std::max(rounds, std::atoi(round.c_str()));
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

    std::vector<std::string> chosen;
    for (auto &p : peers)
        if (user_choice(p))
            chosen.push_back(p);
    std::printf("Summary: dovra and the forwarders one would use instead, medians over %d rounds:\n\n"
                "| |", rounds);
    print_header_row(chosen);
    const int summary[] = {0, 1, 4, 7, static_cast<int>(FIRST_RR) + 3, 9, 10};
    for (int i : summary) {
        std::printf("| %s |", METRICS[i].label);
        for (auto &p : chosen)
            std::printf(" %s |", has(p, METRICS[i].key) ? fmt(med(p, METRICS[i].key), METRICS[i].decimals).c_str()
                                                         : "–");
        std::printf("\n");
    }

    std::printf("\nAll peers, medians over %d rounds in **bold**, then (min–max). `–`: not measured "
                "(direct has no forwarder process).\n\n| measure |", rounds);
    print_header_row(peers);
    auto print_rows = [](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            std::printf("| %s |", METRICS[i].label);
            for (auto &p : peers)
                std::printf(" %s |", cell(p, METRICS[i]).c_str());
            std::printf("\n");
        }
    };
    print_rows(0, FIRST_RR);
    std::printf("\nRequest/response over one kept-alive session: a 4-byte request, a reply of the "
                "given size, the next request once the reply is in (medians over the rounds, then "
                "(min–max)):\n\n| measure |");
    print_header_row(peers);
    print_rows(FIRST_RR, METRIC_COUNT);

    std::printf("\nRatios against a direct connection (medians; 1.00 = as good as no forwarder, "
                "less is worse; for latencies direct ÷ peer):\n\n| measure |");
    print_header_row(peers);
    const int headline[] = {0, 1, 4, 7, static_cast<int>(FIRST_RR) + 3};
    for (int h : headline) {
        const metric &m = METRICS[h];
        std::printf("| %s |", m.label);
        for (auto &p : peers)
            std::printf(" %s |", has(p, m.key) ? fmt(vs_direct(p, m), 2).c_str() : "–");
        std::printf("\n");
    }

    std::ofstream chart(argv[2]);
    chart << "peer\t\"bulk throughput\"\t\"connections/s, c=1\"\t\"connections/s, c=16\"\t"
             "\"ping-pong RTT p50 (direct ÷ peer)\"\t\"request/response 6 KB p50 (direct ÷ peer)\"\n";
    for (auto &p : chosen) {
        if (p == "direct")
            continue;
        chart << p;
        for (int h : headline)
            chart << '\t' << vs_direct(p, METRICS[h]);
        chart << '\n';
    }

    if (has("dovra", "bulk.mibps")) {
        std::printf("\nTargets for dovra, as ratios of medians in this run:\n\n"
                    "| target | value | limit | |\n|---|---|---|---|\n");
        auto ratio = [](const char *a, const char *key) {
            const double b = med(a, key);
            return b > 0 ? med("dovra", key) / b : 0;
        };
        target("bulk ÷ socat", ratio("socat", "bulk.mibps"), 1.1, true);
        target("bulk ÷ haproxy (default)", ratio("haproxy", "bulk.mibps"), 0.8, true);
        target("conn/s c=1 ÷ socat", ratio("socat", "conn1.cps"), 1.3, true);
        target("conn/s c=16 ÷ socat", ratio("socat", "conn16.cps"), 1.5, true);
        target("ping p50 ÷ direct", ratio("direct", "ping.p50_us"), 1.3, false);
        double lowest_other = 0;
        std::string lowest_peer;
        for (auto &p : peers)
            if (p != "dovra" && p != "dovra-before" && p != "direct" && has(p, "ping.p50_us") &&
                (lowest_other == 0 || med(p, "ping.p50_us") < lowest_other)) {
                lowest_other = med(p, "ping.p50_us");
                lowest_peer = p;
            }
        if (lowest_other > 0)
            target(("ping p50 ÷ lowest other peer (" + lowest_peer + ")").c_str(),
                   med("dovra", "ping.p50_us") / lowest_other, 1.0, false);
        target("private KiB per idle session", med("dovra", "idle.private_kib_per_session"), 32, false);
        target("CPU per connection ÷ socat", ratio("socat", "conn1.cpu_us_per_conn"), 0.5, false);
        target("request/response 6 KB p50 ÷ direct", ratio("direct", "rr6k.p50_us"), 1.5, false);
        if (has("dovra-before", "bulk.mibps")) {
            target("bulk ÷ dovra (before)", ratio("dovra-before", "bulk.mibps"), 0.9, true);
            target("conn/s c=1 ÷ dovra (before)", ratio("dovra-before", "conn1.cps"), 0.9, true);
            target("conn/s c=16 ÷ dovra (before)", ratio("dovra-before", "conn16.cps"), 0.9, true);
        }
    }
    if (!failures.empty()) {
        std::printf("\nRuns that failed their check (left out of the figures):\n\n");
        for (auto &[what, n] : failures)
            std::printf("- %s: %d\n", what.c_str(), n);
    }
    return 0;
}
