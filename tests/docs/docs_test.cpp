// The documentation against the tree: every relative link in README.md and
// docs/ reaches a file and a heading, and every key -check knows is in the
// man page. Pages move and keys are added by different hands; a dead link or
// an undocumented key is found here rather than by a reader.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// GitHub's rule: lower case, blanks to dashes, punctuation but - and _
// dropped (backticks with it); bytes of UTF-8 letters stay.
std::string github_anchor(const std::string& heading) {
    std::string anchor;
    for (unsigned char c : heading) {
        if (c >= 0x80 || std::isalnum(c) || c == '-' || c == '_')
            anchor += static_cast<char>(std::tolower(c));
        else if (c == ' ')
            anchor += '-';
    }
    return anchor;
}

// Markdown lines outside fenced and indented code, where a '#' or a "](" is text.
std::vector<std::string> prose_lines(const std::string& markdown) {
    std::vector<std::string> lines;
    bool fenced = false;
    std::istringstream in(markdown);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("```", 0) == 0) {
            fenced = !fenced;
            continue;
        }
        if (!fenced && line.rfind("    ", 0) != 0) lines.push_back(line);
    }
    return lines;
}

// A heading met again gets -1, -2, ... as on GitHub.
std::set<std::string> anchors_of(const std::string& markdown) {
    std::set<std::string> anchors;
    std::map<std::string, int> seen;
    static const std::regex heading(R"(^#{1,6}\s+(.*?)\s*#*\s*$)");
    for (const std::string& line : prose_lines(markdown)) {
        std::smatch m;
        if (!std::regex_match(line, m, heading)) continue;
        const std::string anchor = github_anchor(m[1]);
        const int n = seen[anchor]++;
        anchors.insert(n ? anchor + "-" + std::to_string(n) : anchor);
    }
    return anchors;
}

// The links of one page that lead nowhere, each with the reason.
std::vector<std::string> broken_links(const fs::path& page) {
    std::vector<std::string> broken;
    static const std::regex link(R"(\]\(([^)\s]+)\))");
    for (const std::string& line : prose_lines(read_text(page))) {
        for (std::sregex_iterator it(line.begin(), line.end(), link), end; it != end; ++it) {
            const std::string target = (*it)[1];
            if (std::regex_search(target, std::regex("^[a-z]+:"))) continue;  // http:, mailto:
            const std::size_t hash = target.find('#');
            const std::string file = target.substr(0, hash);
            const fs::path path = file.empty() ? page : page.parent_path() / file;
            const std::string where = page.filename().string() + ": " + target;
            if (!fs::exists(path)) {
                broken.push_back(where + " (no such file)");
            } else if (hash != std::string::npos &&
                       !anchors_of(read_text(path)).count(target.substr(hash + 1))) {
                broken.push_back(where + " (no such heading)");
            }
        }
    }
    return broken;
}

// The keys a troff page does not name as a whole word.
std::vector<std::string> keys_missing_from(const std::set<std::string>& keys, std::string troff) {
    troff = std::regex_replace(troff, std::regex(R"(\\f[BIRP]|\\&)"), "");
    std::vector<std::string> missing;
    for (const std::string& key : keys)
        if (!std::regex_search(troff, std::regex("(^|[^a-z0-9_])" + key + "($|[^a-z0-9_])")))
            missing.push_back(key);
    return missing;
}

struct scratch_dir {
    std::string path = (fs::temp_directory_path() / "qm-docs-XXXXXX").string();
    scratch_dir() { ::mkdtemp(&path[0]); }
    ~scratch_dir() { fs::remove_all(path); }
};

// Every word the sources spell as a key might be one; the program's own
// handlers say which are: -check names each key no one took. A key made of
// a prefix ("pass_ceiling_") and a name is tried with every other word.
std::set<std::string> keys_check_knows(const scratch_dir& dir) {
    std::set<std::string> words, prefixes;
    static const std::regex literal(R"re("([a-z][a-z0-9_]*)")re");
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(QM_SOURCE_DIR) / "src")) {
        const std::string text = read_text(entry.path());
        for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it)
            ((*it)[1].str().back() == '_' ? prefixes : words).insert((*it)[1]);
    }
    std::set<std::string> candidates = words;
    for (const std::string& prefix : prefixes)
        for (const std::string& word : words) candidates.insert(prefix + word);
    const std::string ini = dir.path + "/probe.ini";
    std::ofstream out(ini);
    for (const std::string& key : candidates) out << key << " 1\n";
    out.close();

    qmtest::child_options options;
    options.cwd = dir.path;
    options.env = {{"ODBCSYSINI", dir.path}, {"ODBCINI", dir.path + "/odbc.ini"}};
    std::set<std::string> unknown_in_both;
    static const std::regex unknown("unknown key '([^']*)'");
    for (bool serve : {false, true}) {
        options.args = {"-check", "-config", ini};
        if (serve) options.args.push_back("-serve");
        const qmtest::child_result result = qmtest::run_child(QM_BINARY, "", options);
        std::set<std::string> unknown_here;
        for (std::sregex_iterator it(result.out.begin(), result.out.end(), unknown), end; it != end;
             ++it)
            unknown_here.insert((*it)[1]);
        // Nothing called unknown means the probe never reached the handlers.
        EXPECT_FALSE(unknown_here.empty()) << result.out << result.err;
        if (!serve) unknown_in_both = unknown_here;
        for (auto it = unknown_in_both.begin(); it != unknown_in_both.end();)
            it = unknown_here.count(*it) ? std::next(it) : unknown_in_both.erase(it);
    }
    std::set<std::string> known;
    for (const std::string& key : candidates)
        if (!unknown_in_both.count(key)) known.insert(key);
    return known;
}

TEST(DocsLinks, AnchorsFollowGitHubsRule) {
    const struct {
        const char* heading;
        const char* anchor;
    } cases[] = {
        {"Busy servers: `odbc_fast_path`", "busy-servers-odbc_fast_path"},
        {"After a password change: `quillmar -flush`", "after-a-password-change-quillmar--flush"},
        {"nginx's mail proxy: `listen_http`", "nginxs-mail-proxy-listen_http"},
        {"squid's helper", "squids-helper"},
        {"Größe (KiB)", "größe-kib"},
    };
    for (const auto& c : cases) EXPECT_EQ(github_anchor(c.heading), c.anchor) << c.heading;
}

TEST(DocsLinks, BrokenLinksAreFound) {
    scratch_dir dir;
    std::ofstream(dir.path + "/b.md") << "# B\n\n## Busy servers: `odbc_fast_path`\n\n## Tested\n\n"
                                         "## Tested\n\n```\n## Not a heading\n```\n";
    const struct {
        const char* link;
        bool broken;
    } cases[] = {
        {"[x](b.md)", false},
        {"[x](c.md)", true},
        {"[x](b.md#busy-servers-odbc_fast_path)", false},
        {"[x](b.md#busy-servers)", true},
        {"[x](b.md#tested-1)", false},
        {"[x](b.md#tested-2)", true},
        {"[x](b.md#not-a-heading)", true},
        {"[x](#a)", false},
        {"[x](#b)", true},
        {"[x](https://example.org/c.md)", false},
        {"```\n[x](c.md)\n```", false},
        {"    [x](c.md)", false},
    };
    for (const auto& c : cases) {
        std::ofstream(dir.path + "/a.md") << "# A\n\n" << c.link << "\n";
        EXPECT_EQ(broken_links(dir.path + "/a.md").size(), c.broken ? 1u : 0u) << c.link;
    }
}

TEST(DocsLinks, EveryRelativeLinkReachesAFileAndHeading) {
    const fs::path root(QM_SOURCE_DIR);
    std::vector<fs::path> pages = {root / "README.md"};
    for (const auto& entry : fs::directory_iterator(root / "docs"))
        if (entry.path().extension() == ".md") pages.push_back(entry.path());
    EXPECT_GT(pages.size(), 2u);
    for (const fs::path& page : pages)
        for (const std::string& broken : broken_links(page)) ADD_FAILURE() << broken;
}

TEST(DocsKeys, MissingKeysAreFound) {
    const struct {
        const char* key;
        const char* troff;
        bool missing;
    } cases[] = {
        {"cache_ttl", ".BI cache_ttl \" seconds\"\n", false},
        {"log_path", "in \\fBlog_path\\fR, the\n", false},
        {"pass_ceiling_argon2", ".BI pass_ceiling_ family \" number\"\n", true},
        {"cache_size", ".B cache_size_limit\n", true},
        {"workers", ".B max_workers\n", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(keys_missing_from({c.key}, c.troff).size(), c.missing ? 1u : 0u) << c.key;
}

TEST(DocsKeys, EveryKeyCheckKnowsIsInTheManPage) {
    scratch_dir dir;
    const std::set<std::string> known = keys_check_knows(dir);
    EXPECT_GT(known.size(), 10u);
    const std::string man = read_text(fs::path(QM_SOURCE_DIR) / "man" / "quillmar.8");
    for (const std::string& key : keys_missing_from(known, man))
        ADD_FAILURE() << "key " << key << " is known to quillmar -check but not in man/quillmar.8";
}

}  // namespace
