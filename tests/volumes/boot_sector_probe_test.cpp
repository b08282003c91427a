// The byte-level decoders behind the partition scanner: short buffers, name conversion, size texts.
#include "volumes/boot_sector_probe.h"

#include <gtest/gtest.h>

#include <vector>

#include "volumes/partition_tables.h"
#include "volumes/volume_labels.h"

namespace salvora {
namespace {

TEST(BootSectorProbe, ShortBuffersReadAsNothing) {
    const std::vector<std::uint8_t> jumpOnly{0xEB, 0x52};
    EXPECT_EQ(ProbeBootSector(jumpOnly, kAdvanceRules).kind, BootKind::None);
    // Bytes per sector missing from the buffer reads as 0, so this is no NTFS either.
    EXPECT_EQ(ProbeBootSector(jumpOnly, kTableRules).kind, BootKind::None);
    const std::vector<std::uint8_t> fatHead{0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S'};
    const BootSectorProbe fat = ProbeBootSector(fatHead, kTableRules);
    EXPECT_EQ(fat.kind, BootKind::Fat32);
    EXPECT_EQ(fat.volumeSectors, 0u);
    EXPECT_FALSE(IsHfsPlusSignature(std::vector<std::uint8_t>{'H', '+'}));
    EXPECT_EQ(DecodeMbrSlot(fatHead, 3).type, 0);
}

TEST(BootSectorProbe, Utf16NamesBecomeUtf8) {
    auto units = [](std::u16string s) {
        std::vector<std::uint8_t> b;
        for (char16_t c : s) {
            b.push_back(static_cast<std::uint8_t>(c));
            b.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        return b;
    };
    EXPECT_EQ(Utf16LeToUtf8(units(u"EFI\u00e9\0tail"), 36), "EFI\xC3\xA9");
    EXPECT_EQ(Utf16LeToUtf8(units(u"\xD83D\xDE00"), 36), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16LeToUtf8(units(u"a\xDC00"
                                  u"b\xD800"),
                            36),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(Utf16LeToUtf8(units(u"abcdef"), 3), "abc");
    // A surrogate pair cut by the name's length limit is a lone surrogate.
    EXPECT_EQ(Utf16LeToUtf8(units(u"a\xD83D\xDE00"), 2), "a\xEF\xBF\xBD");
}

TEST(BootSectorProbe, SizeTextsKeepTheirBlanks) {
    EXPECT_EQ(MiBText(100, 3), "100   MB");
    EXPECT_EQ(MiBText(7, 2), "7  MB");
    // A 64-bit count stays whole rather than wrapping to a negative 32-bit number.
    EXPECT_EQ(MiBText(SectorsToMiB(0xFFFFFFFFFFFFull), 3), "137438953471   MB");
    EXPECT_EQ(MiBText(SectorsToMiB(UINT64_MAX), 3), "9007199254740991   MB");
    EXPECT_EQ(StatusText("found NTFS %d...", 3), "found NTFS 3...");
    EXPECT_EQ(LookupMbrType(0x42, false).label, std::string("NTFS"));
    EXPECT_EQ(LookupMbrType(0x42, true).label, std::string("Unknown"));
}

}  // namespace
}  // namespace salvora
