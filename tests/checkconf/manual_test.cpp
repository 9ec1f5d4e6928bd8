// dovra(8) lists every warning the checker writes, each as the checker words
// it: the list is held to the format strings of src/checkconf/check.cpp and
// to what the checker really writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>

#include "support/harness.h"

#ifndef DOVRA_TEST_CHECKCONF
#error "DOVRA_TEST_CHECKCONF must name the checker under test"
#endif
#ifndef DOVRA_TEST_SOURCE_DIR
#error "DOVRA_TEST_SOURCE_DIR must name the source tree"
#endif

using namespace dovra_test;

namespace {

const std::string SOURCE = DOVRA_TEST_SOURCE_DIR;

// Where a text has a placeholder: a conversion of a format, or an argument
// of the manual's Ar.
constexpr char HOLE = '%';

// A printf format with each conversion replaced by HOLE.
std::string holes_of_format(const std::string &format)
{
    static const std::regex conversion("%[-+ #0]*[0-9]*(?:\\.[0-9]+)?(?:hh|h|ll|l|z)?[diusc]");
    return std::regex_replace(format, conversion, std::string(1, HOLE));
}

// The text of one mdoc line's arguments as mandoc lays it out, with each
// argument of Ar replaced by HOLE. Knows the macros the checker's list uses:
// Ar, No, Cm, Ns, Do/Dc, Po/Pc, and the delimiters that close up.
std::string holes_of_mdoc(const std::string &args)
{
    std::istringstream words(args);
    std::string out;
    bool placeholder = false;
    bool glue = true;  // no blank before the next word
    auto put = [&](const std::string &text, bool glue_after) {
        if (!glue && !out.empty())
            out += ' ';
        out += text;
        glue = glue_after;
    };
    for (std::string w; words >> w;) {
        if (w == "Ar" || w == "No" || w == "Cm") {
            placeholder = w == "Ar";
        } else if (w == "Ns") {
            glue = true;
        } else if (w == "Do" || w == "Po") {
            put(w == "Do" ? "\"" : "(", true);
        } else if (w == "Dc" || w == "Pc") {
            glue = true;
            put(w == "Dc" ? "\"" : ")", false);
            placeholder = false;
        } else if (w == ";" || w == "," || w == "." || w == ":" || w == ")") {
            // Closes up to the word before, and ends Ar's scope.
            glue = true;
            put(w, false);
            placeholder = false;
        } else {
            for (std::size_t at; (at = w.find("\\-")) != std::string::npos;)
                w.replace(at, 2, "-");
            put(placeholder ? std::string(1, HOLE) : w, false);
        }
    }
    return out;
}

// The format strings of the checker's warn() calls: the string literals,
// joined, that follow "warn(" before any ';' or '{'.
std::vector<std::string> warning_formats(const std::string &code)
{
    std::vector<std::string> formats;
    for (std::size_t at = code.find("warn("); at != std::string::npos; at = code.find("warn(", at + 1)) {
        std::size_t quote = code.find('"', at);
        if (quote == std::string::npos || code.find_first_of(";{", at) < quote)
            continue;
        std::string format;
        while (quote < code.size() && code[quote] == '"') {
            std::size_t i = quote + 1;
            for (; i < code.size() && code[i] != '"'; ++i) {
                if (code[i] == '\\')
                    ++i;
                format += code[i];
            }
            quote = code.find_first_not_of(" \t\n", i + 1);
        }
        formats.push_back(format);
    }
    return formats;
}

// The entries of the first tag list of the manual's CHECKING A CONFIGURATION,
// and its one-line form of a warning (the .Dl line there).
struct checker_section {
    std::vector<std::string> entries;
    std::string form;
};

checker_section read_section(const std::string &page)
{
    checker_section s;
    const std::size_t begin = page.find("\n.Sh CHECKING A CONFIGURATION\n");
    if (begin == std::string::npos)
        return s;
    const std::size_t end = std::min(page.find("\n.Sh ", begin + 1), page.find("\n.Ss ", begin + 1));
    std::istringstream lines(page.substr(begin + 1, end - begin));
    int list = 0;  // 0 before the list, 1 in it, 2 after it
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(".Dl dovra-checkconf:", 0) == 0)
            s.form = holes_of_mdoc(line.substr(4));
        else if (list == 0 && line.rfind(".Bl -tag", 0) == 0)
            list = 1;
        else if (list == 1 && line == ".El")
            list = 2;
        else if (list == 1 && line.rfind(".It ", 0) == 0)
            s.entries.push_back(holes_of_mdoc(line.substr(4)));
    }
    return s;
}

// A pattern that a line with each HOLE filled in matches.
std::regex pattern_of(const std::string &holed)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    std::string escaped = std::regex_replace(holed, special, "\\$&");
    std::string pattern;
    for (char c : escaped)
        pattern += c == HOLE ? std::string("(.+?)") : std::string(1, c);
    return std::regex(pattern);
}

}  // namespace

// Every format the checker's code writes a warning with stands in the
// manual's list, word for word with its placeholders, and the list holds
// nothing else; the line's form is the checker's too.
TEST(CheckconfManual, ListsEveryWarningFormat)
{
    const std::string code = read_file(SOURCE + "/src/checkconf/check.cpp");
    const checker_section manual = read_section(read_file(SOURCE + "/docs/dovra.8"));

    std::set<std::string> formats;
    for (const std::string &format : warning_formats(code))
        formats.insert(holes_of_format(format));
    ASSERT_GE(formats.size(), 12u) << "the checker's formats were not found";
    const std::set<std::string> listed(manual.entries.begin(), manual.entries.end());
    EXPECT_EQ(listed.size(), manual.entries.size()) << "an entry stands twice";
    for (const std::string &format : formats)
        EXPECT_EQ(listed.count(format), 1u) << "not in dovra(8): " << format;
    for (const std::string &entry : listed)
        EXPECT_EQ(formats.count(entry), 1u) << "the checker writes no such warning: " << entry;

    std::smatch prefix;
    ASSERT_TRUE(std::regex_search(code, prefix, std::regex("\"(dovra-checkconf: [^\"]*)\\\\n\"")));
    EXPECT_EQ(manual.form, holes_of_format(prefix[1].str()));
}

// What the checker writes about a file that sets off each warning, byte for
// byte, and each line in the form and under an entry of the manual's list.
// The word "server" as backlog's value costs the server after it: both words
// are named.
TEST(CheckconfManual, EveryWarningWrittenIsListed)
{
    temp_dir dir;
    write_file(dir.file("w.conf"), "localport 70000\nserverport 8000\nmaxclients 0\nmaxclients 5000\n"
                                   "server 127.0.0.2\nserver db.example\nlocaladdress [::1]\nconnecttimeout 100\n"
                                   "backlog 0\nsessionlog yes\nbacklog server 10.0.0.2\nidletimeout 4294967301\n"
                                   "maxclients");
    const child_output got = run_program({{DOVRA_TEST_CHECKCONF, "w.conf"}, {}, dir.path()});
    const std::string p = "dovra-checkconf: w.conf: line ";
    EXPECT_EQ(got.err,
              p + "1: localport 70000 is outside 1-65535; only its low 16 bits (4464) are used\n" +
              p + "3: maxclients 0 is below 1; every client is closed at once\n" +
              p + "4: maxclients given twice (also on line 3); the last one wins\n" +
              p + "4: maxclients 5000 is above 4096; at most 4096 clients are served at once\n" +
              p + "6: server \"db.example\" is neither an IPv4 nor an IPv6 address (host names are not resolved); "
                  "it fails every probe\n" +
              p + "7: localaddress \"[::1]\" is neither an IPv4 nor an IPv6 address (host names are not resolved); "
                  "the daemon cannot listen and does not start\n" +
              p + "8: connecttimeout 100 is above 60; 60 is used\n" +
              p + "9: backlog 0 is below 1; 1 is used\n" +
              p + "10: sessionlog \"yes\" is neither on nor off; sessions are not logged\n" +
              p + "11: backlog given twice (also on line 9); the last one wins\n" +
              p + "11: backlog has the keyword \"server\" as its value\n" +
              p + "11: unknown keyword \"10.0.0.2\" is ignored\n" +
              p + "12: idletimeout 4294967301 is above 2000000; 2000000 is used\n" +
              p + "13: maxclients given twice (also on line 4); the last one wins\n" +
              p + "13: maxclients has no value at the end of the file\n");
    EXPECT_NE(got.out.find("\n backlog 1\n"), std::string::npos) << got.out;
    EXPECT_EQ(got.out.find("10.0.0.2"), std::string::npos) << got.out;

    const checker_section manual = read_section(read_file(SOURCE + "/docs/dovra.8"));
    const std::regex form = pattern_of(manual.form);
    std::istringstream lines(got.err);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        const std::string warning = m[m.size() - 1].str();
        EXPECT_TRUE(std::any_of(manual.entries.begin(), manual.entries.end(), [&](const std::string &entry) {
            return std::regex_match(warning, pattern_of(entry));
        })) << "not in dovra(8): " << warning;
    }
}
