// The one file-system table: what each label selects (parser, damaged-volume searches, offered modes), read the
// way the session, the discovery and both front ends read it.
#include <gtest/gtest.h>

#include "fs/fat/fat16_class.h"
#include "scan/file_systems.h"
#include "scan/scan_session.h"

namespace salvora {
namespace {

TEST(FileSystems, EachLabelSelectsItsParserSearchesAndModes) {
    struct Expected {
        const char* label;
        ParserKind kind;
        DiscoveryKind discovery;
        std::vector<RecoveryMode> modes;
        bool formattedSwitch;
    };
    using M = RecoveryMode;
    const Expected rows[] = {
        {"FAT32", ParserKind::Fat32, DiscoveryKind::Fat32, {M::Standard, M::Advanced}, true},
        {"fat16", ParserKind::Fat16, DiscoveryKind::Fat16, {M::Standard, M::Advanced}, true},
        {"FAT", ParserKind::Fat16, DiscoveryKind::Fat16, {M::Standard, M::Advanced}, true},
        {"FAT12", ParserKind::Fat12, DiscoveryKind::Fat12, {M::Standard, M::Advanced}, true},
        {"EXTX", ParserKind::Ext, DiscoveryKind::None, {M::Standard}, false},
        {"FAT64", ParserKind::ExFat, DiscoveryKind::ExFat, {M::Standard, M::Advanced}, true},
        {"eXFAT", ParserKind::ExFat, DiscoveryKind::ExFat, {M::Standard, M::Advanced}, false},
        {"hfs+", ParserKind::HfsPlus, DiscoveryKind::None, {M::Standard, M::Deep}, false},
        // NTFS finds its own way in the advanced run: no FAT-copy search before it.
        {"ntfs", ParserKind::Ntfs, DiscoveryKind::None, {M::Standard, M::Advanced}, false},
    };
    for (const Expected& e : rows) {
        const FileSystemRow* row = FindFileSystem(e.label);
        ASSERT_NE(row, nullptr) << e.label;
        EXPECT_EQ(ParserKindForLabel(e.label), e.kind) << e.label;
        EXPECT_EQ(DiscoveryKindForLabel(e.label), e.discovery) << e.label;
        EXPECT_EQ(ModesForLabel(e.label).Modes(), e.modes) << e.label;
        EXPECT_EQ(ModesForLabel(e.label).formattedSwitch, e.formattedSwitch) << e.label;
        EXPECT_NE(row->create(), nullptr) << e.label;
        EXPECT_TRUE(LabelTakenWithoutCustomSettings(e.label)) << e.label;
    }
    for (const char* other : {"ReiserFS", "UNKNOWN", "Linux filesystem", ""}) {
        EXPECT_FALSE(ParserKindForLabel(other)) << other;
        EXPECT_EQ(DiscoveryKindForLabel(other), DiscoveryKind::None) << other;
        EXPECT_EQ(ModesForLabel(other).Modes(), std::vector<RecoveryMode>{M::Standard}) << other;
    }
    // A FAT12 search reads 12-bit tables before any boot sector has said so.
    const auto fat12 = CreateDiscoveryParser(DiscoveryKind::Fat12);
    ASSERT_NE(dynamic_cast<Fat16Class*>(fat12.get()), nullptr);
    EXPECT_TRUE(static_cast<Fat16Class&>(*fat12).TwelveBit());
    EXPECT_EQ(CreateDiscoveryParser(DiscoveryKind::None), nullptr);
}

}  // namespace
}  // namespace salvora
