// Loading signature settings files into the engine's tables (user and default rules, index offsets, refusals)
// and the editor's appending. Needs a temporary folder.
#include "raw/settings_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "raw/carving_engine.h"
#include "raw_test_support.h"

namespace salvora {
namespace {

using rawtest::RecordingUi;

class RawSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() / ("salvora-raw-settings-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string WriteRecords(const std::string& name, std::vector<SignatureRecord> records) {
        const std::string path = (dir_ / name).string();
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < records.size(); ++i) {
            records[i].recordIndex = static_cast<std::uint8_t>(i);
            const auto b = EncodeRecord(records[i]);
            out.write(reinterpret_cast<const char*>(b.data()), b.size());
        }
        return path;
    }
    std::string WriteBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    static std::vector<SignatureRecord> Many(std::size_t n, const std::string& ext) {
        std::vector<SignatureRecord> v;
        for (std::size_t i = 0; i < n; ++i) v.push_back(rawtest::Record(ext, "1,2"));
        return v;
    }

    std::filesystem::path dir_;
    RecordingUi ui_;
};

TEST_F(RawSettings, OneRecordFileLoadsOneSignature) {
    myJpg engine;
    const std::string path = WriteRecords("one", {rawtest::Record("png", "89,50,4E,47", "", "Pictures")});
    ASSERT_EQ(std::filesystem::file_size(path), 171u);
    EXPECT_TRUE(LoadSettingsFile(engine, path, SettingsKind::User));
    ASSERT_EQ(engine.fileTypeTable.size(), 1u);
    EXPECT_EQ(engine.fileTypeTable[0].extension, "png");
    EXPECT_EQ(engine.fileTypeTable[0].category, "Pictures");
    EXPECT_EQ(engine.signatureTable[0].startLength, 4);
    EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(RawSettings, DefaultThenUserFileIndexesFollowOn) {
    myJpg engine;
    const std::string def = WriteRecords("default", Many(5, "d"));
    const std::string user = WriteRecords("user", Many(3, "u"));
    ASSERT_TRUE(LoadSettingsFile(engine, def, SettingsKind::Default));
    ASSERT_TRUE(LoadSettingsFile(engine, user, SettingsKind::User));
    ASSERT_EQ(engine.signatureTable.size(), 8u);
    for (std::uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(engine.signatureTable[i].index, i);
        EXPECT_EQ(engine.fileTypeTable[i].extension, i < 5 ? "d" : "u");
    }
}

TEST_F(RawSettings, RefusedFilesShowTheirMessagesAndKeepEarlierRecords) {
    myJpg engine;
    ASSERT_TRUE(LoadSettingsFile(engine, WriteRecords("ok", Many(2, "a")), SettingsKind::User));

    EXPECT_FALSE(LoadSettingsFile(engine, (dir_ / "missing").string(), SettingsKind::User));
    EXPECT_FALSE(
        LoadSettingsFile(engine, WriteBytes("short", std::vector<std::uint8_t>(170)), SettingsKind::User));
    EXPECT_FALSE(LoadSettingsFile(engine, WriteBytes("empty", {}), SettingsKind::Default));
    EXPECT_FALSE(LoadSettingsFile(engine, WriteBytes("huge", std::vector<std::uint8_t>(1048577)),
                                  SettingsKind::Default));
    SignatureRecord wide = rawtest::Record("w", "1,2");
    wide.sizeFieldWidth = 9;
    const std::string widePath = WriteRecords("wide", {wide});
    EXPECT_FALSE(LoadSettingsFile(engine, widePath, SettingsKind::User));
    EXPECT_EQ(ui_.messages,
              (std::vector<std::string>{"can not open file", "not a valid file..", "not a valid file..",
                                        "not a valid file..", "not a valid file.."}));
    EXPECT_EQ(ui_.titles.front(), "Salvora");
    EXPECT_EQ(engine.fileTypeTable.size(), 2u);
    // The default items skip the size-width test.
    EXPECT_TRUE(LoadSettingsFile(engine, widePath, SettingsKind::Default));
    EXPECT_EQ(engine.fileTypeTable.size(), 3u);
    EXPECT_FALSE(LoadSettingsFile(engine, "", SettingsKind::User));
}

TEST_F(RawSettings, CountComesFromTheLastIndexButNotPastTheFile) {
    myJpg engine;
    auto records = Many(4, "x");
    std::string path = WriteRecords("count", records);
    // The last record claims index 1: two records are read although the file holds four.
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(3 * 171 + 0x21);
    f.put(1);
    f.close();
    ASSERT_TRUE(LoadSettingsFile(engine, path, SettingsKind::User));
    EXPECT_EQ(engine.fileTypeTable.size(), 2u);

    myJpg other;
    f.open(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(3 * 171 + 0x21);
    f.put(char(200));
    f.close();
    ASSERT_TRUE(LoadSettingsFile(other, path, SettingsKind::User));
    EXPECT_EQ(other.fileTypeTable.size(), 4u);
}

TEST_F(RawSettings, SizeFieldOutsideTheHeaderSectorIsRefused) {
    myJpg engine;
    SignatureRecord far = rawtest::Record("far", "1,2");
    far.sizeFieldWidth = 4;
    far.sizeFieldOffset = 509;
    SignatureRecord edge = rawtest::Record("edge", "1,3");
    edge.sizeFieldWidth = 4;
    edge.sizeFieldOffset = 508;
    ASSERT_TRUE(LoadSettingsFile(engine, WriteRecords("far", {far, edge}), SettingsKind::User));
    ASSERT_EQ(engine.fileTypeTable.size(), 1u);
    EXPECT_EQ(engine.fileTypeTable[0].extension, "edge");
    ASSERT_EQ(ui_.messages.size(), 1u);
    EXPECT_NE(ui_.messages[0].find("512"), std::string::npos);
}

TEST_F(RawSettings, NoMoreThan128Types) {
    myJpg engine;
    ASSERT_TRUE(LoadSettingsFile(engine, WriteRecords("a", Many(100, "a")), SettingsKind::User));
    ASSERT_TRUE(LoadSettingsFile(engine, WriteRecords("b", Many(100, "b")), SettingsKind::User));
    EXPECT_EQ(engine.fileTypeTable.size(), 128u);
    EXPECT_EQ(engine.signatureTable.back().index, 127u);
    EXPECT_EQ(ui_.messages.size(), 1u);
}

TEST_F(RawSettings, EditorAppendsRecordsWithFollowingIndexes) {
    SignatureFileEditor editor;
    const std::string path = (dir_ / "new.txt").string();
    ASSERT_TRUE(editor.Open(path));
    SignatureFields f;
    f.extension = "png";
    f.startSignature = "0x89,0x50,0x4E,0x47";
    ASSERT_TRUE(editor.AppendSignatureRecord(f));
    f.extension = "";
    EXPECT_FALSE(editor.AppendSignatureRecord(f));
    f.extension = "gif";
    f.startSignature = "47,49,46";
    f.endSignature = "00,3B";
    ASSERT_TRUE(editor.AppendSignatureRecord(f));
    EXPECT_EQ(ui_.messages,
              (std::vector<std::string>{"everything initialized well.....", "extention length is zero..",
                                        "everything initialized well....."}));
    ASSERT_EQ(std::filesystem::file_size(path), 2 * 171u);
    myJpg engine;
    ASSERT_TRUE(LoadSettingsFile(engine, path, SettingsKind::User));
    ASSERT_EQ(engine.fileTypeTable.size(), 2u);
    EXPECT_EQ(engine.fileTypeTable[1].extension, "gif");
    EXPECT_EQ(engine.fileTypeTable[1].endLength, 2);

    SignatureFileEditor bad;
    EXPECT_FALSE(bad.Open((dir_ / "no" / "such" / "dir").string()));
    EXPECT_EQ(ui_.messages.back(), "file can not be created");
}

TEST_F(RawSettings, ShippedDefaultFileLoads) {
    const std::string path = DefaultSettingsPath();
    myJpg engine;
    ASSERT_TRUE(LoadSettingsFile(engine, path, SettingsKind::User)) << path;
    EXPECT_GE(engine.fileTypeTable.size(), 25u);
    EXPECT_TRUE(ui_.messages.empty());
    std::set<std::string> exts;
    for (const auto& t : engine.fileTypeTable) {
        exts.insert(t.extension);
        EXPECT_FALSE(t.category.empty());
        EXPECT_TRUE(t.endLength > 0 || t.sizeFieldWidth > 0 || t.approxSize > 0) << t.extension;
    }
    for (const char* e : {"jpg", "png", "gif", "bmp", "tif", "pdf", "zip", "rar", "7z", "gz", "mp3", "wav",
                          "avi", "mp4", "mov", "mkv", "db", "rtf", "psd"})
        EXPECT_TRUE(exts.count(e)) << e;
}

}  // namespace
}  // namespace salvora
