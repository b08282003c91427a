// `report` against The Sleuth Kit and the fixtures' manifests: the DFXML byte runs of every live file equal the
// units istat lists, and every live file's sha256 equals the manifest's; the four formats list the same entries
// as `list --json` (the bodyfile read back by mactime, the CSV by RFC 4180's rules); a report that cannot be
// written whole fails and leaves nothing behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "cli/tsk_compare.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::Quote;

struct FileObject {
    std::string path;
    char nameType = 0;
    bool alloc = false;
    bool resident = false;  // bytes kept in the record, or decoded there (NTFS compression): no units of their own
    std::string sha256;
    std::vector<std::uint64_t> runs;  // file_offset, img_offset (max for a hole), len; three per run
};

std::string XmlUnescape(std::string text) {
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}}) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    return text;
}

// The report writes one element per line; this reads back the parts the tests compare.
std::map<std::string, FileObject> ParseDfxml(const std::string& xml) {
    std::map<std::string, FileObject> out;
    std::stringstream lines(xml);
    std::string line;
    FileObject current;
    static const std::regex element(R"(^\s*<(\w+)[^>]*>([^<]*)</\w+>)");
    static const std::regex run(R"(<byte_run file_offset='(\d+)'(?: fs_offset='\d+' img_offset='(\d+)')?( fill='0')? len='(\d+)')");
    std::smatch m;
    while (std::getline(lines, line)) {
        if (line.find("<fileobject>") != std::string::npos) current = {};
        else if (line.find("</fileobject>") != std::string::npos) out["/" + current.path] = current;
        else if (line.find("type='resident'") != std::string::npos)
            current.resident = true;
        else if (std::regex_search(line, m, run))
            current.runs.insert(current.runs.end(),
                                {std::stoull(m[1]), m[2].matched ? std::stoull(m[2]) : UINT64_MAX, std::stoull(m[4])});
        else if (std::regex_search(line, m, element)) {
            if (m[1] == "filename") current.path = XmlUnescape(m[2]);
            else if (m[1] == "name_type") current.nameType = m[2].str()[0];
            else if (m[1] == "alloc") current.alloc = true;
            else if (m[1] == "hashdigest" && line.find("sha256") != std::string::npos) current.sha256 = m[2];
        }
    }
    return out;
}

// The unit numbers of a file as istat lists them (0 for a hole), ranges "711-714" spread out.
std::vector<std::uint64_t> Numbers(const std::string& text) {
    std::vector<std::uint64_t> out;
    std::stringstream words(text);
    for (std::string word; words >> word;) {
        const auto dash = word.find('-');
        const std::uint64_t from = std::stoull(word.substr(0, dash));
        const std::uint64_t to = dash == std::string::npos ? from : std::stoull(word.substr(dash + 1));
        for (std::uint64_t n = from; n <= to; ++n) out.push_back(n);
    }
    return out;
}

// The lines after the first line holding `heading`, up to the next that holds a colon.
std::string After(const std::string& text, const std::string& heading) {
    const auto at = text.find(heading);
    if (at == std::string::npos) return {};
    std::stringstream lines(text.substr(text.find('\n', at) + 1));
    std::string line, out;
    while (std::getline(lines, line) && line.find(':') == std::string::npos) out += line + " ";
    return out;
}

struct Layout {
    std::string fixture;
    std::string heading;      // where istat lists the file's units
    std::string unitHeading;  // fsstat's line giving the unit's size; empty: 512-byte sectors
};

class CliReport : public ::testing::TestWithParam<Layout> {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("salvora-report-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_P(CliReport, DfxmlRunsEqualIstatAndHashesEqualTheManifest) {
    for (const char* tool : {"fls", "istat", "fsstat"})
        if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is missing (package sleuthkit)";
    const Layout& layout = GetParam();
    const std::string image = test::Fixture(layout.fixture).string();
    const fs::path xml = dir_ / "report.xml";
    const test::CliRun run =
        Cli("report " + Quote(image) + " --format dfxml --hash sha256 --out " + Quote(xml.string()));
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 3) << run.err;
    if (test::HaveTool("xmllint")) {
        EXPECT_EQ(std::system(("xmllint --noout " + Quote(xml.string())).c_str()), 0);
    }
    const auto objects = ParseDfxml(test::ReadAll(xml));

    int hashed = 0;
    const nlohmann::json manifest = test::ReadManifest(layout.fixture);
    for (const auto& file : manifest["files"]) {
        if (file.value("deleted", false) || !file.contains("sha256")) continue;
        const auto it = objects.find(file["path"].get<std::string>());
        if (it == objects.end()) {
            // Shown elsewhere (an orphan's folder, a Recycle Bin file under its former name): its bytes are still
            // reported.
            EXPECT_TRUE(std::any_of(objects.begin(), objects.end(), [&](const auto& o) { return o.second.sha256 == file["sha256"]; }))
                << file["path"] << " is not in the report";
            continue;
        }
        EXPECT_TRUE(it->second.alloc) << it->first;
        EXPECT_EQ(it->second.sha256, file["sha256"].get<std::string>()) << it->first;
        ++hashed;
    }
    EXPECT_GT(hashed, 5);

    std::uint64_t unit = 512;
    if (!layout.unitHeading.empty()) {
        const std::string fsstat = test::Shell("fsstat " + Quote(image));
        const auto at = fsstat.find(layout.unitHeading);
        ASSERT_NE(at, std::string::npos) << fsstat;
        unit = std::stoull(fsstat.substr(at + layout.unitHeading.size()));
    }
    int compared = 0;
    for (const auto& e : test::ParseFlsLong(test::Shell("fls -r -p -l " + Quote(image) + " 2>/dev/null"))) {
        if (e.deleted || e.kind != "file" || !e.size || *e.size == 0 || e.path.find('$') != std::string::npos) continue;
        // fls cuts the longest names short; the hard-link store is named with NULs, which XML cannot carry.
        if (e.path.size() > 200 || e.path.find("HFS+ Private Data") != std::string::npos) continue;
        const auto it = objects.find(e.path);
        ASSERT_NE(it, objects.end()) << e.path << " is not in the report";
        const FileObject& ours = it->second;
        if (ours.resident) continue;
        std::vector<std::uint64_t> units;
        for (std::size_t r = 0; r + 2 < ours.runs.size(); r += 3)
            for (std::uint64_t at = 0; at < ours.runs[r + 2]; at += unit)
                units.push_back(ours.runs[r + 1] == UINT64_MAX ? 0 : (ours.runs[r + 1] + at) / unit);
        // istat may list the slack units of the last cluster too.
        // NTFS: the attribute fls names ("64-128-4": type 128, id 4).
        const auto dash = e.inode.find('-');
        const std::string heading =
            dash == std::string::npos ? layout.heading : "$DATA (" + e.inode.substr(dash + 1) + ")";
        std::vector<std::uint64_t> theirs = Numbers(After(test::Shell("istat " + Quote(image) + " " + e.inode), heading));
        ASSERT_GE(theirs.size(), units.size()) << e.path;
        theirs.resize(units.size());
        EXPECT_EQ(units, theirs) << e.path << " (inode " << e.inode << ")";
        ++compared;
    }
    EXPECT_GT(compared, 5);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CliReport,
                         ::testing::Values(Layout{"fat32.img", "Sectors:", ""}, Layout{"exfat.img", "Sectors:", ""},
                                           Layout{"ext4.img", "Direct Blocks:", "Block Size: "},
                                           Layout{"hfsplus-cat2.img", "Data Fork Blocks:", "Allocation Block Size: "},
                                           Layout{"ntfs-4k.img", "Type: $DATA (128-", "Cluster Size: "}),
                         [](const testing::TestParamInfo<Layout>& info) {
                             std::string name = info.param.fixture.substr(0, info.param.fixture.find('.'));
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// RFC 4180: fields split on commas outside quotes, "" inside quotes a quote, CRLF between records.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = rows.back().back();
        if (quoted) {
            if (c != '"') field += c;
            else if (i + 1 < text.size() && text[i + 1] == '"') field += text[++i];
            else quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            rows.emplace_back(1);
        } else {
            field += c;
        }
    }
    EXPECT_FALSE(quoted) << "a quoted field runs to the end";
    if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();
    return rows;
}

TEST(CliReportFormats, EveryFormatListsWhatListDoes) {
    const std::string image = test::Fixture("ntfs-4k.img").string();
    const test::CliRun list = Cli("list " + Quote(image) + " --json");
    ASSERT_EQ(list.exitCode, 0) << list.err;
    const auto listed = test::JsonLines(list.out);
    ASSERT_GT(listed.size(), 20u);
    const auto report = [&](const std::string& format, const std::string& hash) {
        const test::CliRun run = Cli("report " + Quote(image) + " --format " + format + " --hash " + hash + " --out -");
        EXPECT_EQ(run.exitCode, 0) << format << run.err;
        return run.out;
    };

    // JSON lines: the list's object, then the report's keys.
    const auto rows = test::JsonLines(report("jsonl", "sha1"));
    ASSERT_EQ(rows.size(), listed.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        nlohmann::json base = rows[i];
        for (const char* key : {"runs", "complete", "sha1"}) {
            EXPECT_TRUE(base.contains(key)) << rows[i].dump();
            base.erase(key);
        }
        EXPECT_EQ(base, listed[i]);
        if (rows[i]["kind"] == "file" && !rows[i]["deleted"].get<bool>()) {
            EXPECT_EQ(rows[i]["verdict"], "intact") << rows[i].dump();
        }
    }

    const auto csv = ParseCsv(report("csv", "md5"));
    ASSERT_EQ(csv.size(), listed.size() + 1);
    EXPECT_EQ(csv[0], (std::vector<std::string>{"path", "kind", "deleted", "verdict", "size", "created", "accessed",
                                                "modified", "first_offset", "complete", "md5"}));
    for (std::size_t i = 1; i < csv.size(); ++i) {
        ASSERT_EQ(csv[i].size(), csv[0].size()) << "row " << i;
        EXPECT_EQ(csv[i][0], listed[i - 1]["path"]);
        EXPECT_EQ(csv[i][6], listed[i - 1]["accessed"]);
    }

    if (!test::HaveTool("mactime")) GTEST_SKIP() << "mactime is missing (package sleuthkit)";
    const fs::path body = fs::temp_directory_path() / ("salvora-report-" + std::to_string(::getpid()) + ".body");
    const test::CliRun written = Cli("report " + Quote(image) + " --format bodyfile --hash md5 --out " + Quote(body.string()));
    ASSERT_EQ(written.exitCode, 0) << written.err;
    const std::string timeline = test::Shell("mactime -b " + Quote(body.string()) + " 2>&1; echo rc=$?");
    fs::remove(body);
    EXPECT_NE(timeline.find("rc=0"), std::string::npos) << timeline.substr(0, 2000);
    for (const auto& e : listed) {
        const std::string name = e["path"].get<std::string>() + (e["deleted"].get<bool>() ? " (deleted)" : "");
        EXPECT_NE(timeline.find(name), std::string::npos) << name << " is not in mactime's timeline";
    }
}

TEST(CliReportFormats, AReportThatCannotBeWrittenWholeFailsAndLeavesNothing) {
    const std::string image = test::Fixture("fat32.img").string();
    const fs::path dir = fs::temp_directory_path() / ("salvora-report-out-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string out = Quote((dir / "report.xml").string());
    // No such folder: refused before the scan.
    const test::CliRun missing = Cli("report " + Quote(image) + " --format dfxml --out " + Quote((dir / "no/r.xml").string()));
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("cannot write"), std::string::npos) << missing.err;
    // The file-size limit stands for a full disk: the writes fail part-way.
    const test::CliRun full =
        Cli("report " + Quote(image) + " --format dfxml --hash sha256 --out " + out, "trap '' XFSZ; ulimit -f 4; ");
    EXPECT_NE(full.exitCode, 0);
    EXPECT_NE(full.err.find("cannot write"), std::string::npos) << full.err;
    EXPECT_TRUE(fs::is_empty(dir)) << "a cut report was left behind";
    // A device is written as it is, not replaced.
    EXPECT_EQ(Cli("report " + Quote(image) + " --format csv --out /dev/full").exitCode, 3);
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace salvora
