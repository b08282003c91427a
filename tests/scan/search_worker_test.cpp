// Name search over the whole result, folders never expanded included; pattern errors; Stop. Fake parser only.
#include "scan/search_worker.h"

#include <gtest/gtest.h>

#include "scan/fake_parser.h"

namespace salvora {
namespace {

using test::FakeParser;
using test::RecordingUi;

struct SearchFixture {
    SearchFixture() {
        const EntryId dcim = parser.Folder(0, "DCIM");
        const EntryId sub = parser.Folder(dcim, "100CANON");
        parser.File(sub, "photo.jpg", "jpeg");
        parser.File(sub, "shot.PNG", "png");
        parser.File(dcim, "readme.txt");
        parser.File(0, "top.JPG");
        parser.Folder(0, "jpg-folder");  // a folder's name is never a hit
        parser.FillTop(tree);
    }
    std::vector<std::string> Paths(const std::string& pattern) {
        outcome = SearchWorker(tree, parser, ui, cancel).Run(pattern);
        std::vector<std::string> paths;
        for (const auto& row : outcome.rows) paths.push_back(row.path);
        return paths;
    }
    FakeParser parser;
    ResultTree tree;
    RecordingUi ui;
    std::atomic<bool> cancel{false};
    SearchOutcome outcome;
};

TEST(Search, IgnoresCaseFindsInsideNeverExpandedFoldersWithFullPaths) {
    SearchFixture f;
    EXPECT_EQ(f.Paths("JPG"), (std::vector<std::string>{"ROOT/DCIM/100CANON/photo.jpg", "ROOT/top.JPG"}));
    EXPECT_EQ(f.outcome.hits, 2);
    EXPECT_EQ(f.outcome.rows[0].modified, "m:photo.jpg");
    EXPECT_EQ(f.outcome.rows[0].size, "4 Bytes");
    EXPECT_EQ(f.outcome.rows[0].item, kNoItem);
    EXPECT_TRUE(f.outcome.rows[0].entry.has_value());
    EXPECT_EQ(f.ui.Texts(), std::vector<std::string>{"Searching Finished"});
    EXPECT_EQ(f.ui.statuses,
              (std::vector<std::string>{"searched file 1", "searched file 2", "Searching Finished"}));

    EXPECT_EQ(f.Paths("jpg|png"), (std::vector<std::string>{"ROOT/DCIM/100CANON/photo.jpg",
                                                            "ROOT/DCIM/100CANON/shot.PNG", "ROOT/top.JPG"}));
    EXPECT_EQ(f.Paths("^read.e\\.TXT$"), std::vector<std::string>{"ROOT/DCIM/readme.txt"});
}

TEST(Search, InvalidPatternIsRefusedAndEmptyPatternFinishesAtOnce) {
    SearchFixture f;
    EXPECT_TRUE(f.Paths("*.jpg").empty());
    EXPECT_TRUE(f.outcome.invalidPattern);
    EXPECT_EQ(f.ui.Texts(),
              std::vector<std::string>{
                  "such characters are not allowed for search.Try again with different pattern."});
    f.ui.messages.clear();
    EXPECT_TRUE(f.Paths("").empty());
    EXPECT_EQ(f.ui.Texts(), std::vector<std::string>{"Searching Finished"});
}

TEST(Search, StopEndsTheSearchWithFinishedAndClearsTheFlags) {
    SearchFixture f;
    // A Stop left over from the scan does not end a new search.
    f.cancel = true;
    f.parser.stopRequested = true;
    EXPECT_EQ(f.Paths("txt").size(), 1u);

    // Stop pressed during the first folder: the folder walk ends, the first-level loop ends on cancel.
    SearchWorker worker(f.tree, f.parser, f.ui, f.cancel);
    int folderSearches = 0;
    worker.onFolderSearch = [&](bool active) {
        if (active) {
            ++folderSearches;
            f.parser.stopRequested = true;
            f.cancel = true;
        }
    };
    f.ui.messages.clear();
    const SearchOutcome stopped = worker.Run("jpg");
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(stopped.hits, 0);
    EXPECT_EQ(folderSearches, 1);
    EXPECT_EQ(f.ui.Texts(), std::vector<std::string>{"Searching Finished"});
    EXPECT_FALSE(f.cancel.load());
    EXPECT_FALSE(f.parser.stopRequested.load());
}

}  // namespace
}  // namespace salvora
