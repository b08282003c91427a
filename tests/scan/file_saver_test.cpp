// Saving a folder: the count question, never overwriting, safe names, merging folders, failures and cancel.
// Needs a writable temporary folder; the parser is the in-memory fake.
#include "scan/file_saver.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "scan/fake_parser.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::FakeParser;
using test::RecordingUi;

class SaveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        out = fs::temp_directory_path() / ("salvora-save-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(out);
        fs::create_directories(out);
    }
    void TearDown() override { fs::remove_all(out); }

    static std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Every path below out, relative, sorted.
    std::set<std::string> Listing() const {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(out))
            names.insert(fs::relative(e.path(), out).string() + (e.is_directory() ? "/" : ""));
        return names;
    }
    SaveOutcome Save(FakeParser& parser, EntryId folder, RecordingUi& ui) {
        FolderSaver saver(parser, ui, cancel);
        return saver.SaveSelectedFolder(folder, out.string());
    }

    fs::path out;
    std::atomic<bool> cancel{false};
};

TEST_F(SaveTest, RootSavesEverythingSameNamesGetNumbersAndFoldersMerge) {
    FakeParser parser;
    parser.File(0, "a.txt", "first");
    parser.File(0, "a.txt", "second");
    const EntryId d1 = parser.Folder(0, "DIR");
    parser.File(d1, "one.bin", "1");
    const EntryId d2 = parser.Folder(0, "DIR");
    parser.File(d2, "two.bin", "2");
    parser.File(d2, "one.bin", "other one");
    parser.Folder(0, "EMPTY");
    RecordingUi ui;

    const SaveOutcome result = Save(parser, parser.RootEntry(), ui);
    EXPECT_TRUE(result.walked);
    EXPECT_EQ(result.fileCount, 5u);
    EXPECT_EQ(result.filesWritten, 5u);
    EXPECT_EQ(result.filesFailed, 0u);
    EXPECT_EQ(Listing(), (std::set<std::string>{"a.txt", "a (1).txt", "DIR/", "DIR/one.bin",
                                                "DIR/one (1).bin", "DIR/two.bin", "EMPTY/"}));
    EXPECT_EQ(Read(out / "a.txt"), "first");
    EXPECT_EQ(Read(out / "a (1).txt"), "second");
    EXPECT_EQ(Read(out / "DIR/one (1).bin"), "other one");

    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text,
              "number of files found inside this folder = 5 .do u want to continue dumping these files..?"
              "\n\nThey will be saved in " + out.string() + ".");
    EXPECT_EQ(ui.messages[0].title, "");
    EXPECT_EQ(ui.messages[0].icon, MsgIcon::None);
    EXPECT_EQ(ui.messages[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(ui.messages[1].text, "work done\n\n5 file(s) saved in " + out.string());
    EXPECT_EQ(ui.messages[1].title, "Salvora");
    EXPECT_EQ(ui.rangeHigh, 5);
    EXPECT_EQ(ui.lastPos, 5);
    EXPECT_EQ(ui.statuses.front(), "saving File  " + (out / "a.txt").string());
}

TEST_F(SaveTest, SecondSaveIntoSameFolderKeepsEarlierFiles) {
    FakeParser parser;
    parser.File(0, "photo.jpg", "old");
    RecordingUi ui;
    Save(parser, 0, ui);
    FakeParser again;
    again.File(0, "photo.jpg", "new");
    Save(again, 0, ui);
    Save(again, 0, ui);
    EXPECT_EQ(Read(out / "photo.jpg"), "old");
    EXPECT_EQ(Read(out / "photo (1).jpg"), "new");
    EXPECT_EQ(Read(out / "photo (2).jpg"), "new");
}

TEST_F(SaveTest, HostileNamesStayInsideTheOutputFolder) {
    FakeParser parser;
    const EntryId up = parser.Folder(0, "..");
    parser.File(up, "escape.txt", "e");
    const EntryId dot = parser.Folder(0, ".");
    parser.File(dot, "..", "dotdot file");
    parser.File(0, "a/../../b", "slashes");
    parser.File(0, std::string("nul\0name", 8), "nul");
    parser.File(0, "  padded.txt  ", "p");
    parser.File(0, "", "nameless");
    const std::string longStem(300, 'x');
    parser.File(0, longStem + ".jpg", "long");
    parser.File(0, longStem + ".jpg", "long again");
    RecordingUi ui;
    const SaveOutcome result = Save(parser, 0, ui);
    EXPECT_EQ(result.filesFailed, 0u);
    EXPECT_EQ(result.filesWritten, 8u);

    const std::string cut(251, 'x');
    const std::string cutNumbered(247, 'x');
    EXPECT_EQ(Listing(),
              (std::set<std::string>{"_../", "_../escape.txt", "_./", "_./_..", "a_.._.._b", "nul_name",
                                     "padded.txt", "_", cut + ".jpg", cutNumbered + " (1).jpg"}));
    EXPECT_FALSE(fs::exists(out.parent_path() / "escape.txt"));
    EXPECT_FALSE(fs::exists(out.parent_path() / "b"));
}

TEST_F(SaveTest, FolderNameTakenByFileOrSymlinkGetsANumberAndCwdIsUntouched) {
    { std::ofstream(out / "DCIM") << "a file"; }
    const fs::path elsewhere = out.string() + "-elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, out / "LINK");
    FakeParser parser;
    const EntryId dcim = parser.Folder(0, "DCIM");
    parser.File(dcim, "img.jpg", "jpeg");
    const EntryId link = parser.Folder(0, "LINK");
    parser.File(link, "x", "x");
    const fs::path cwd = fs::current_path();
    RecordingUi ui;
    Save(parser, 0, ui);
    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_EQ(Read(out / "DCIM"), "a file");
    EXPECT_EQ(Read(out / "DCIM (1)/img.jpg"), "jpeg");
    EXPECT_EQ(Read(out / "LINK (1)/x"), "x");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    fs::remove_all(elsewhere);

    EXPECT_EQ(MakeFolderIn("new", out.string()), (out / "new").string());
    EXPECT_EQ(MakeFolderIn("new", out.string()), (out / "new").string());  // merges
    EXPECT_EQ(MakeFolderIn("x", (out / "missing/deeper").string()), "");
}

TEST_F(SaveTest, RefusalsAndDeclineWriteNothing) {
    FakeParser parser;
    const EntryId file = parser.File(0, "f.txt", "f");
    const EntryId empty = parser.Folder(0, "E");
    parser.Folder(empty, "SUB");
    RecordingUi ui;
    FolderSaver saver(parser, ui, cancel);

    EXPECT_FALSE(saver.SaveSelectedFolder(0, "").walked);
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"select output folder"});

    EXPECT_FALSE(saver.SaveSelectedFolder(file, out.string()).walked);  // a file: silently nothing
    EXPECT_EQ(ui.messages.size(), 1u);

    ui.answer = MsgAnswer::No;
    EXPECT_FALSE(saver.SaveSelectedFolder(0, out.string()).walked);
    EXPECT_TRUE(fs::is_empty(out));

    // A folder without files asks with 0 and re-creates only its sub-folders, not itself.
    ui.answer = MsgAnswer::Yes;
    const SaveOutcome result = saver.SaveSelectedFolder(empty, out.string());
    EXPECT_TRUE(result.walked);
    EXPECT_EQ(ui.messages[ui.messages.size() - 2].text.rfind(
                  "number of files found inside this folder = 0 .do u want to continue dumping these files..?", 0),
              0u);
    EXPECT_EQ(Listing(), std::set<std::string>{"SUB/"});
}

TEST_F(SaveTest, FailedFilesAreNamedNeverLeftLookingCompleteAndCancelEndsTheWalk) {
    FakeParser parser;
    const EntryId sub = parser.Folder(0, "SUB");
    const EntryId bad = parser.File(sub, "bad.bin", "half of this only");
    parser.File(0, "good.bin", "g");
    parser.failing.insert(bad);
    RecordingUi ui;
    SaveOutcome result = Save(parser, 0, ui);
    EXPECT_EQ(result.filesWritten, 1u);
    EXPECT_EQ(result.filesFailed, 1u);
    EXPECT_EQ(result.failedFiles, std::vector<std::string>{"SUB/bad.bin"});
    EXPECT_EQ(Listing(), (std::set<std::string>{"SUB/", "good.bin"}));  // the half-written file is gone
    EXPECT_EQ(ui.messages.back().text,
              "work done\n\n1 file(s) saved in " + out.string() + ", 1 could not be written\n  SUB/bad.bin");
    EXPECT_EQ(ui.messages.back().icon, MsgIcon::Warning);
    EXPECT_TRUE(ui.statuses.back().empty());  // no stale "saving File" line

    // Kept on request, under a name that does not pass for the file; a second run adds no "(1)" copies.
    fs::remove_all(out);
    fs::create_directories(out);
    FolderSaver keeping(parser, ui, cancel);
    keeping.keepPartial = true;
    keeping.SaveSelectedFolder(0, out.string());
    keeping.SaveSelectedFolder(0, out.string());
    EXPECT_EQ(Listing(), (std::set<std::string>{"SUB/", "SUB/bad.bin.incomplete", "SUB/bad.bin (1).incomplete",
                                                "good.bin", "good (1).bin"}));
    EXPECT_EQ(Read(out / "SUB/bad.bin.incomplete"), "half of ");

    cancel = true;
    fs::remove_all(out);
    fs::create_directories(out);
    result = Save(parser, 0, ui);
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.filesWritten + result.filesFailed, 0u);
    EXPECT_EQ(ui.messages.back().text,
              "(stopped)\nwork done\n\n0 file(s) saved in " + out.string() + ", stopped after 0 of 2");
    EXPECT_EQ(ui.lastPos, 0);  // the bar does not jump to full
}

// Many files through the writer threads: the same names, bytes and lists as one thread gives, in walk order,
// whether a file fails before reaching a writer (the parser) or in one (the disk refuses its size, as a full
// one would), and Stop leaves only whole files, each counted.
TEST_F(SaveTest, WritersKeepWalkOrderThroughFailuresAndStopCleanly) {
    FakeParser parser;
    std::vector<std::string> expectFailed;
    std::set<std::string> expectFiles;
    for (int d = 0; d < 3; ++d) {
        const std::string dir = "D" + std::to_string(d);
        const EntryId folder = parser.Folder(0, dir);
        for (int i = 0; i < 120; ++i) {
            const bool big = i % 7 == 3;
            const std::string name = i % 10 == 0 ? "same.txt" : "f" + std::to_string(i) + ".txt";
            const std::string shown = name == "same.txt" && i > 0 ? "same (" + std::to_string(i / 10) + ").txt" : name;
            const EntryId file = parser.File(folder, name, std::string(big ? 5000 : 1 + i, char('a' + i % 26)));
            if (i % 11 == 5) parser.failing.insert(file);
            if (big || i % 11 == 5)
                expectFailed.push_back(dir + "/" + shown);
            else
                expectFiles.insert(dir + "/" + shown);
        }
    }
    // Writes past 4 KiB fail with EFBIG instead of raising the signal: the disk is full for the big files.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<SaveOutcome> outcomes;
    std::vector<std::set<std::string>> listings;
    for (const unsigned writers : {0u, 3u}) {
        fs::remove_all(out);
        fs::create_directories(out);
        RecordingUi ui;
        FolderSaver saver(parser, ui, cancel);
        saver.writers = writers;
        outcomes.push_back(saver.SaveSelectedFolder(0, out.string()));
        listings.push_back(Listing());
        for (const std::string& file : expectFiles) {
            const std::string content = Read(out / file);
            ASSERT_FALSE(content.empty()) << file;
            EXPECT_EQ(content, std::string(content.size(), content[0])) << file;
        }
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(outcomes[1].failedFiles, expectFailed);
    EXPECT_EQ(outcomes[0].failedFiles, expectFailed);
    EXPECT_EQ(outcomes[1].filesWritten, expectFiles.size());
    EXPECT_EQ(listings[1], listings[0]);
    std::set<std::string> written;
    for (const std::string& entry : listings[1])
        if (entry.back() != '/') written.insert(entry);
    EXPECT_EQ(written, expectFiles);

    // Stop after the 150th file is reached: what is on disk is whole and is what the summary counts.
    fs::remove_all(out);
    fs::create_directories(out);
    parser.failing.clear();
    RecordingUi ui;
    ui.onPos = [&](std::int64_t pos) {
        if (pos >= 150) cancel = true;
    };
    FolderSaver saver(parser, ui, cancel);
    saver.writers = 3;
    const SaveOutcome stopped = saver.SaveSelectedFolder(0, out.string());
    cancel = false;
    EXPECT_TRUE(stopped.cancelled);
    std::uint64_t onDisk = 0;
    for (const auto& e : fs::recursive_directory_iterator(out)) {
        if (!e.is_regular_file()) continue;
        ++onDisk;
        const std::string content = Read(e.path());
        EXPECT_EQ(content, std::string(content.size(), content[0])) << e.path();
    }
    EXPECT_EQ(onDisk, stopped.filesWritten);
    EXPECT_LE(stopped.filesWritten, 150u);
    EXPECT_NE(ui.messages.back().text.find("stopped after " + std::to_string(stopped.filesWritten) + " of 360"),
              std::string::npos)
        << ui.messages.back().text;
}

TEST_F(SaveTest, RunThroughSudoTheFilesBelongToTheInvokingUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files away needs root";
    ::setenv("SUDO_UID", "12345", 1);
    ::setenv("SUDO_GID", "23456", 1);
    const std::optional<FileOwner> invoking = InvokingUser();
    ::unsetenv("SUDO_UID");
    ::unsetenv("SUDO_GID");
    ASSERT_TRUE(invoking.has_value());
    EXPECT_FALSE(InvokingUser().has_value());  // root without sudo keeps what it writes
    FakeParser parser;
    const EntryId sub = parser.Folder(0, "SUB");
    parser.File(sub, "photo.jpg", "bytes");
    parser.File(0, "top.txt", "t");
    RecordingUi ui;
    FolderSaver saver(parser, ui, cancel);
    saver.owner = invoking;
    ASSERT_EQ(saver.SaveSelectedFolder(0, out.string()).filesWritten, 2u);
    for (const char* name : {"SUB", "SUB/photo.jpg", "top.txt"}) {
        struct stat st {};
        ASSERT_EQ(::lstat((out / name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, 12345u) << name;
        EXPECT_EQ(st.st_gid, 23456u) << name;
    }
}

TEST(SafeName, ControlCharactersNeverReachAFileName) {
    EXPECT_EQ(SafeName("a\x1b]0;owned\x07" "b\r\n\x08\x7f.txt"), "a_]0;owned_b____.txt");
}

TEST(SafeName, KeepsOrdinaryNamesAndMakesOthersSafe) {
    EXPECT_EQ(SafeName("IMG_0001.JPG"), "IMG_0001.JPG");
    EXPECT_EQ(SafeName("résumé.doc"), "résumé.doc");
    EXPECT_EQ(SafeName("."), "_.");
    EXPECT_EQ(SafeName(".."), "_..");
    EXPECT_EQ(SafeName("..."), "...");
    EXPECT_EQ(SafeName(""), "_");
    // 100 three-byte characters: cut on a character boundary, extension kept.
    std::string wide;
    for (int i = 0; i < 100; ++i) wide += "\xE6\x97\xA5";
    const std::string safe = SafeName(wide + ".txt");
    EXPECT_LE(safe.size(), 255u);
    EXPECT_EQ(safe, wide.substr(0, 251 / 3 * 3) + ".txt");
    // A long name of dots and stray continuation bytes cut back to "..": never the folder above.
    EXPECT_EQ(SafeName("../" + std::string(300, '\x9c')), "_..");
}

}  // namespace
}  // namespace salvora
