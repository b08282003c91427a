// The scan session on the FAT fixtures: label dispatch, the workers' texts and failures, completion,
// Pause/Resume nesting, Stop keeping a usable partial tree, and the busy refusals. Needs tests/fixtures/fat16
// and fat32.
#include "scan/scan_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "fixture_util.h"
#include "fs/fat/fat_parser.h"
#include "io/file_read_seek.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Records everything; onStatus runs on the thread that set the status (the worker during a scan).
class SessionUi final : public UiSink {
  public:
    std::function<void(const std::string&)> onStatus;

    MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon,
                          MsgButtons buttons) override {
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(title + "|" + text);
        }
        return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
    }
    void SetStatus(const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            if (text.rfind("filling entry", 0) != 0) statuses_.push_back(text);
        }
        if (onStatus) onStatus(text);
    }
    void SetProgressRange(std::int64_t, std::int64_t high) override {
        std::lock_guard lock(mutex_);
        rangeHigh_ = high;
    }
    void SetProgressPos(std::int64_t) override {}

    std::vector<std::string> Messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<std::string> Statuses() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::int64_t RangeHigh() {
        std::lock_guard lock(mutex_);
        return rangeHigh_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::vector<std::string> statuses_;
    std::int64_t rangeHigh_ = -1;
};

class SessionTest : public ::testing::Test {
  protected:
    void Open(const std::string& image) {
        ASSERT_TRUE(reader_.OpenSource(test::Fixture(image).string()));
        theReader = &reader_;
    }
    void TearDown() override { theReader = nullptr; }

    static VolumeEntry Volume(const std::string& label) {
        VolumeEntry v;
        v.fileSystemLabel = label;
        v.volumeName = "0";
        v.sizeText = "64";
        return v;
    }
    static std::string Done() { return std::string("Salvora|") + kScanDoneText; }
    static ItemId Child(ResultTree& tree, ItemId parent, const std::string& text) {
        for (ItemId c : tree.Children(parent))
            if (tree.Item(c).text == text) return c;
        return kNoItem;
    }

    FileReadSeek reader_;
    SessionUi ui_;
};

TEST_F(SessionTest, ALabelNoParserReadsIsNotAValidDrive) {
    Open("fat16.img");
    ScanSession session(Volume("ReiserFS"), RecoveryMode::Standard, &ui_, theReader);
    EXPECT_FALSE(session.Start());
    EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Salvora|not a valid drive."});
    EXPECT_EQ(ui_.Statuses(), std::vector<std::string>{"Not a valid Drive .Go back"});
    EXPECT_TRUE(session.State().backEnabled);
    EXPECT_FALSE(session.Busy());
    EXPECT_FALSE(session.WorkerRunning());
}

TEST_F(SessionTest, NoReaderAsksForARestartAndKeepsBackDisabled) {
    theReader = nullptr;
    ScanSession session(Volume("fat32"), RecoveryMode::Standard, &ui_, theReader);
    EXPECT_FALSE(session.Start());
    EXPECT_EQ(ui_.Messages(),
              std::vector<std::string>{
                  "Salvora|Please Restart the program to re begin necessary initialization..."});
    EXPECT_FALSE(session.State().backEnabled);
}

TEST_F(SessionTest, Fat16WorkerRunsItsStepsAndFinishes) {
    Open("fat16.img");
    ScanSession session(Volume("FAT"), RecoveryMode::Standard, &ui_, theReader);
    ASSERT_TRUE(session.Start());
    EXPECT_TRUE(session.Busy() || session.ScanCompleted());
    session.Wait();
    EXPECT_TRUE(session.ScanCompleted());
    EXPECT_FALSE(session.Busy());
    EXPECT_EQ(ui_.Messages(), std::vector<std::string>{Done()});
    const auto statuses = ui_.Statuses();
    const std::vector<std::string> expected{
        "Finding Fat16 File And Directory entries recursively....", "maintaining tree Structure in vector...",
        "Creating Tree Structure....", "Tree Structure Created.", kScanDoneText};
    EXPECT_EQ(std::vector<std::string>(statuses.end() - 5, statuses.end()), expected);
    EXPECT_EQ(ui_.RangeHigh(), 100);
    EXPECT_TRUE(session.State().backEnabled);
    EXPECT_FALSE(session.State().progressVisible);

    ResultTree& tree = session.Tree();
    const ItemId root = tree.Root();
    EXPECT_EQ(tree.Item(root).text, "ROOT");
    const ItemId docs = Child(tree, root, "Documents");
    ASSERT_NE(docs, kNoItem);
    EXPECT_TRUE(tree.IsPlaceholder(tree.FirstChild(docs)));
    // FAT16 does not rename Recycle Bin files.
    const ItemId bin = Child(tree, root, "$RECYCLE.BIN");
    session.FillFolderChildren(bin);
    const ItemId user = tree.FirstChild(bin);
    session.FillFolderChildren(user);
    EXPECT_NE(Child(tree, user, "$RABC123.txt"), kNoItem);

    const auto rows = session.ShowFolderFiles(Child(tree, root, "Sizes"));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].path, "EMPTY.DAT");
    EXPECT_EQ(rows[0].size, "0 Bytes");

    // A click on a file writes it alone, never over an earlier copy; a folder or no output folder writes
    // nothing.
    const ItemId one = rows[1].item;
    EXPECT_EQ(tree.Item(one).text, "one.bin");
    const fs::path out = fs::temp_directory_path() / ("salvora-click-" + std::to_string(::getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    EXPECT_TRUE(session.DumpClickedFile(one, out.string()));
    EXPECT_TRUE(session.DumpClickedFile(one, out.string()));
    EXPECT_FALSE(session.DumpClickedFile(one, ""));
    EXPECT_FALSE(session.DumpClickedFile(Child(tree, root, "Sizes"), out.string()));
    EXPECT_EQ(fs::file_size(out / "one.bin"), 1u);
    EXPECT_EQ(fs::file_size(out / "one (1).bin"), 1u);
    fs::remove_all(out);
}

TEST_F(SessionTest, Fat32WorkerRenamesRecycledFilesAndBootFailuresAreReported) {
    Open("fat32.img");
    {
        ScanSession session(Volume("fat32"), RecoveryMode::Standard, &ui_, theReader);
        ASSERT_TRUE(session.Start());
        session.Wait();
        EXPECT_EQ(ui_.Messages(), std::vector<std::string>{Done()});
        EXPECT_EQ(ui_.RangeHigh(), 1000);  // the tree step's range; the FAT32 worker adds none of its own
        ResultTree& tree = session.Tree();
        const ItemId bin = Child(tree, tree.Root(), "$RECYCLE.BIN");
        session.FillFolderChildren(bin);
        const ItemId user = tree.FirstChild(bin);
        session.FillFolderChildren(user);
        EXPECT_NE(Child(tree, user, "budget.txt"), kNoItem);
        EXPECT_NE(Child(tree, user, "Holiday in Brittany.jpg"), kNoItem);
        EXPECT_EQ(Child(tree, user, "$RABC123.txt"), kNoItem);
    }
    SessionUi other;
    ScanSession wrong(Volume("fat16"), RecoveryMode::Standard, &other, theReader);
    ASSERT_TRUE(wrong.Start());
    wrong.Wait();
    EXPECT_EQ(other.Messages(), std::vector<std::string>{"Salvora|Selected Drive is not in Fat16 Format"});
    EXPECT_FALSE(wrong.ScanCompleted());
    EXPECT_FALSE(wrong.Busy());
    EXPECT_TRUE(wrong.State().backEnabled);
    EXPECT_TRUE(wrong.State().progressVisible);  // left as it was on a failed boot check
}

TEST_F(SessionTest, Fat16VolumeUnderFat32LabelIsRefused) {
    Open("fat16.img");
    ScanSession session(Volume("FAT32"), RecoveryMode::Standard, &ui_, theReader);
    ASSERT_TRUE(session.Start());
    session.Wait();
    EXPECT_EQ(ui_.Messages(), std::vector<std::string>{"Salvora|Selected Drive is not in Fat32 Format"});
}

TEST_F(SessionTest, PausingTwiceNeedsTwoResumes) {
    Open("fat32.img");
    ScanSession session(Volume("fat32"), RecoveryMode::Standard, &ui_, theReader);
    std::atomic<bool> paused{false};
    ui_.onStatus = [&](const std::string& text) {
        if (text == "Finding Fat32 File And Directory entries recursively....") {
            session.Pause();
            session.Pause();
            paused = true;
        }
    };
    ASSERT_TRUE(session.Start());
    while (!paused) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(session.WorkerRunning());
    session.Resume();
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(session.WorkerRunning()) << "one Resume must not undo two Pauses";
    session.Resume();
    session.Wait();
    EXPECT_TRUE(session.ScanCompleted());
    const auto statuses = ui_.Statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Pause button pressed"), 2);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Resume button pressed"), 2);
}

TEST_F(SessionTest, StopKeepsThePartialTreeAndALaterSaveIsNotEnded) {
    Open("fat32.img");
    std::size_t fullCount = 0;
    {
        SessionUi quiet;
        ScanSession full(Volume("fat32"), RecoveryMode::Standard, &quiet, theReader);
        ASSERT_TRUE(full.Start());
        full.Wait();
        fullCount = static_cast<FatParser*>(full.ActiveParser())->Entries().size();
    }
    ScanSession session(Volume("fat32"), RecoveryMode::Standard, &ui_, theReader);
    ui_.onStatus = [&](const std::string& text) {
        if (text == "Finding Fat32 File And Directory entries recursively....") session.Stop();
        // While the scan runs, Save and Search are refused.
        if (text == "Creating Tree Structure....") {
            EXPECT_FALSE(session.SaveSelectedFolder(0, "/nonexistent").walked);
            EXPECT_FALSE(session.StartSearch("jpg"));
        }
    };
    ASSERT_TRUE(session.Start());
    session.Wait();
    ui_.onStatus = nullptr;
    EXPECT_TRUE(session.ScanCompleted());
    const auto messages = ui_.Messages();
    EXPECT_EQ(messages, (std::vector<std::string>{"Salvora|Please wait for other process to complete",
                                                  "|Please wait for other process to complete", Done()}));
    const auto statuses = ui_.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                        "stop button pressed.Please wait for the process to be stopped."),
              statuses.end());
    const std::size_t partial = static_cast<FatParser*>(session.ActiveParser())->Entries().size();
    EXPECT_LT(partial, fullCount);
    ASSERT_NE(session.Tree().Root(), kNoItem);

    const fs::path out = fs::temp_directory_path() / ("salvora-session-" + std::to_string(::getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    const SaveOutcome saved = session.SaveSelectedFolder(session.Tree().Root(), out.string());
    EXPECT_TRUE(saved.walked);
    EXPECT_FALSE(saved.cancelled);
    EXPECT_EQ(saved.filesFailed, 0u);
    EXPECT_EQ(saved.filesWritten, saved.fileCount);
    fs::remove_all(out);

    ASSERT_TRUE(session.StartSearch("."));
    session.Wait();
    EXPECT_FALSE(session.LastSearch().cancelled);
}

TEST_F(SessionTest, SaveIsRefusedWhileASearchRuns) {
    Open("fat16.img");
    ScanSession session(Volume("fat16"), RecoveryMode::Standard, &ui_, theReader);
    ASSERT_TRUE(session.Start());
    session.Wait();
    bool refused = false;
    ASSERT_TRUE(session.StartSearch("jpg", [&](const ListRow&) {
        if (!refused) refused = !session.SaveSelectedFolder(session.Tree().Root(), "/tmp").walked;
    }));
    session.Wait();
    EXPECT_TRUE(refused);
    const auto messages = ui_.Messages();
    EXPECT_NE(
        std::find(messages.begin(), messages.end(), "Salvora|Please wait for other process to complete"),
        messages.end());
    EXPECT_GE(session.LastSearch().hits, 5);
    EXPECT_TRUE(session.State().treeEnabled);
}

TEST_F(SessionTest, ExtWorkerFinishesAndSavesAndRefusesWhatIsNotExt) {
    Open("ext4.img");
    {
        ScanSession session(Volume("EXTX"), RecoveryMode::Standard, &ui_, theReader);
        ASSERT_TRUE(session.Start());
        session.Wait();
        EXPECT_TRUE(session.ScanCompleted());
        EXPECT_EQ(ui_.Messages(), std::vector<std::string>{Done()});
        EXPECT_EQ(ui_.Statuses().back(), kScanDoneText);
        ResultTree& tree = session.Tree();
        const ItemId docs = Child(tree, tree.Root(), "docs");
        ASSERT_NE(docs, kNoItem);
        EXPECT_TRUE(tree.IsPlaceholder(tree.FirstChild(docs)));

        const fs::path out = fs::temp_directory_path() / ("salvora-ext-save-" + std::to_string(::getpid()));
        fs::remove_all(out);
        fs::create_directories(out);
        const SaveOutcome saved = session.SaveSelectedFolder(docs, out.string());
        EXPECT_EQ(saved.filesFailed, 0u);
        const nlohmann::json manifest = test::ReadManifest("ext4.img");
        int compared = 0;
        for (const auto& file : manifest["files"]) {
            const std::string path = file["path"];
            if (file["deleted"].get<bool>() || path.rfind("/docs/", 0) != 0 ||
                path.find('/', 6) != std::string::npos)
                continue;
            EXPECT_EQ(fs::file_size(out / path.substr(6)), file["size"].get<std::uint64_t>()) << path;
            ++compared;
        }
        EXPECT_GE(compared, 4);
        fs::remove_all(out);
    }
    // Standard only: Advanced and Deep have no ext worker and start nothing.
    for (const RecoveryMode mode : {RecoveryMode::Advanced, RecoveryMode::Deep}) {
        ScanSession session(Volume("extX"), mode, &ui_, theReader);
        EXPECT_FALSE(session.Start());
        EXPECT_FALSE(session.Busy());
    }
    // A FAT volume treated as ext: said so, not passed off as an empty ext volume.
    Open("fat16.img");
    SessionUi other;
    ScanSession wrong(Volume("extX"), RecoveryMode::Standard, &other, theReader);
    ASSERT_TRUE(wrong.Start());
    wrong.Wait();
    EXPECT_EQ(other.Messages(), std::vector<std::string>{std::string("Salvora|") + kNotExtText});
    EXPECT_FALSE(wrong.ScanCompleted());
    EXPECT_FALSE(wrong.Busy());
    EXPECT_TRUE(wrong.State().backEnabled);
    EXPECT_TRUE(wrong.Tree().Children(wrong.Tree().Root()).empty());
}

TEST_F(SessionTest, HfsPlusWorkerEndsWithAStatusAndNeverABox) {
    const nlohmann::json manifest = test::ReadManifest("hfsplus-iso.img");
    Open("hfsplus-iso.img");
    VolumeEntry volume = Volume("HFS+");
    volume.startSector = manifest["start_sector"].get<std::uint64_t>();
    volume.sizeText = "4";
    for (const RecoveryMode mode : {RecoveryMode::Standard, RecoveryMode::Deep}) {
        SessionUi ui;
        ScanSession session(volume, mode, &ui, theReader);
        ASSERT_TRUE(session.Start());
        session.Wait();
        EXPECT_TRUE(session.ScanCompleted());
        EXPECT_TRUE(ui.Messages().empty());
        EXPECT_EQ(ui.Statuses().back(), kWorkDoneText);
        EXPECT_TRUE(session.State().backEnabled);
        EXPECT_FALSE(session.State().progressVisible);
        EXPECT_FALSE(session.Busy());
        ResultTree& tree = session.Tree();
        const ItemId docs = Child(tree, tree.Root(), "docs");
        ASSERT_NE(docs, kNoItem);
        EXPECT_TRUE(tree.IsPlaceholder(tree.FirstChild(docs)));
        session.FillFolderChildren(docs);
        EXPECT_NE(Child(tree, docs, "readme.txt"), kNoItem);
        EXPECT_NE(Child(tree, tree.Root(), "ORPHAN_ENTRY"), kNoItem);
    }
    // Not HFS+ at all, or no reader: "Work Aborted....", still no box, and Back comes back.
    Open("fat16.img");
    SessionUi wrongUi;
    ScanSession wrong(Volume("hfs+"), RecoveryMode::Standard, &wrongUi, theReader);
    ASSERT_TRUE(wrong.Start());
    wrong.Wait();
    EXPECT_FALSE(wrong.ScanCompleted());
    EXPECT_TRUE(wrongUi.Messages().empty());
    EXPECT_EQ(wrongUi.Statuses().back(), kWorkAbortedText);
    EXPECT_TRUE(wrong.State().backEnabled);
    EXPECT_FALSE(wrong.State().progressVisible);

    theReader = nullptr;
    SessionUi noReaderUi;
    ScanSession noReader(Volume("HFS+"), RecoveryMode::Deep, &noReaderUi, theReader);
    ASSERT_TRUE(noReader.Start());
    noReader.Wait();
    EXPECT_TRUE(noReaderUi.Messages().empty());
    EXPECT_EQ(noReaderUi.Statuses().back(), kWorkAbortedText);
}

TEST(SessionLabels, RowsWithAParserAreTakenWithoutCustomSettings) {
    for (const char* label : {"FAT16", "FAT32", "FAT64", "FAT12", "extX", "HFS+", "hfs+", "NTFS", "ntfs"})
        EXPECT_TRUE(LabelTakenWithoutCustomSettings(label)) << label;
    for (const char* label : {"ReiserFS", "UNKNOWN", "", "swap"})
        EXPECT_FALSE(LabelTakenWithoutCustomSettings(label)) << label;
}

}  // namespace
}  // namespace salvora
