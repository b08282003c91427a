// FAT on-disk decoders from synthetic bytes: long-name runs, short-name tidying per FAT type, boot-sector
// checks, DOS times and the list texts. Needs nothing but the core library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "fat_image_builder.h"
#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_dir_slot.h"
#include "fs/fat/fat_dos_time.h"
#include "fs/fat/fat_list_texts.h"

namespace salvora {
namespace {

using test::DosDateWord;
using test::DosTimeWord;
using test::LongNameSlots;
using test::ShortSlot;

std::string RunName(const std::vector<test::Slot>& slots) {
    LongNameRun run;
    for (const auto& s : slots) run.Add(s);
    return run.Assemble();
}

TEST(FatLongName, ThirteenUnitsInOneSlotAreReadWhole) {
    const auto slots = LongNameSlots(u"ABCDEFGHIJKLM");
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(RunName(slots), "ABCDEFGHIJKLM");
    EXPECT_EQ(RunName(LongNameSlots(u"My Document.docx")), "My Document.docx");
}

TEST(FatLongName, TwentySlotRunIsReadWholeAndATwentyFirstStartsANewRun) {
    std::u16string name;
    for (int i = 0; i < 255; ++i) name.push_back(static_cast<char16_t>(u'a' + i % 26));
    name.replace(251, 4, u".jpg");
    const auto slots = LongNameSlots(name);
    ASSERT_EQ(slots.size(), 20u);
    std::string expected(name.begin(), name.end());
    EXPECT_EQ(RunName(slots), expected);

    auto longer = slots;
    longer.insert(longer.begin(), slots.front());  // a 21st slot ahead of the run
    LongNameRun run;
    for (const auto& s : longer) run.Add(s);
    EXPECT_EQ(run.Slots(), 1u);
}

TEST(FatLongName, DeletedRunAndInvalidUtf16) {
    auto slots = LongNameSlots(u"x\xD800y.txt");  // a lone surrogate
    slots.front() = test::Deleted(slots.front());
    LongNameRun run;
    for (const auto& s : slots) run.Add(s);
    EXPECT_TRUE(run.FirstDeleted());
    EXPECT_EQ(run.Assemble(), "x\xEF\xBF\xBDy.txt");
    EXPECT_EQ(RunName(LongNameSlots(u"\U0001F600.png")), "\xF0\x9F\x98\x80.png");
}

TEST(FatShortName, TidyingDiffersByFatType) {
    const auto readme = ShortSlot("README  TXT", 0x20, 0, 0);
    EXPECT_EQ(ShortEntryName(readme, FatKind::Fat16), "README.TXT");
    EXPECT_EQ(ShortEntryName(readme, FatKind::Fat32), "README.TXT");

    const auto bare = ShortSlot("FILE       ", 0x20, 0, 0);
    EXPECT_EQ(ShortEntryName(bare, FatKind::Fat16), "FILE    .   ");
    EXPECT_EQ(ShortEntryName(bare, FatKind::Fat32), "FILE    ");

    const auto gap = ShortSlot("A       B C", 0x20, 0, 0);  // a blank inside the extension stays in both
    EXPECT_EQ(ShortEntryName(gap, FatKind::Fat16), "A       .B C");
    EXPECT_EQ(ShortEntryName(gap, FatKind::Fat32), "A       .B C");
}

TEST(FatShortName, DeletedMarkCodePageCaseFlagsAndFolders) {
    EXPECT_EQ(ShortEntryName(test::Deleted(ShortSlot("XOTO    JPG", 0x20, 0, 0)), FatKind::Fat32),
              "\xEF\xBF\xA5OTO.JPG");  // U+FFE5
    auto cp437 = ShortSlot(
        "\x8E\x81"
        "      TXT",
        0x20, 0, 0);
    EXPECT_EQ(ShortEntryName(cp437, FatKind::Fat32), "\xC3\x84\xC3\xBC.TXT");  // "Äü.TXT"
    auto lower = ShortSlot("README  TXT", 0x20, 0, 0);
    lower[12] = 0x18;
    EXPECT_EQ(ShortEntryName(lower, FatKind::Fat16), "readme.txt");
    EXPECT_EQ(ShortEntryName(ShortSlot("DOCS       ", 0x10, 5, 0), FatKind::Fat16), "DOCS");
    EXPECT_EQ(ShortEntryName(ShortSlot("OLD     BAK", 0x12, 5, 0), FatKind::Fat16), "OLD.BAK");
}

TEST(FatBootSector, GeometryAndOemChecks) {
    test::FatImageBuilder fat16(FatKind::Fat16, 64);
    FatBootSector boot = DecodeFatBootSector(fat16.image);
    EXPECT_TRUE(boot.msdosOem);
    EXPECT_TRUE(HasUsableGeometry(boot));
    EXPECT_EQ(boot.sectorsPerFat16, 1);
    for (std::uint16_t bad : {0, 256, 513, 3000, 8192}) {
        boot.bytesPerSector = bad;
        EXPECT_FALSE(HasUsableGeometry(boot)) << bad;
    }
    boot.bytesPerSector = 4096;
    boot.sectorsPerCluster = 0;
    EXPECT_FALSE(HasUsableGeometry(boot));

    test::FatImageBuilder fat32(FatKind::Fat32, 64);
    fat32.Poke(3, "BSD  4.4", 8);
    boot = DecodeFatBootSector(fat32.image);
    EXPECT_TRUE(boot.bsdOem);
    EXPECT_FALSE(boot.msdosOem);
    EXPECT_EQ(boot.rootCluster, 2u);
    EXPECT_EQ(DecodeFatBootSector(Bytes{}).bytesPerSector, 0);  // short buffers read as zeros
}

TEST(FatDosTime, ValidityAndLocalTime) {
    EXPECT_FALSE(DosDateValid(0));
    EXPECT_FALSE(DosDateValid(DosDateWord(2020, 13, 1)));
    EXPECT_TRUE(DosDateValid(DosDateWord(2020, 12, 31)));
    EXPECT_FALSE(DosTimeValid(DosTimeWord(24, 0, 0)));
    EXPECT_FALSE(DosTimeValid(static_cast<std::uint16_t>(60 << 5)));
    EXPECT_FALSE(DosTimeValid(30));  // 60 seconds
    EXPECT_FALSE(DosToLocalTime(0, 0).has_value());

    const auto when = DosToLocalTime(DosDateWord(2023, 7, 8), DosTimeWord(13, 5, 10));
    ASSERT_TRUE(when.has_value());
    std::tm local{};
    localtime_r(&*when, &local);
    EXPECT_EQ(local.tm_year, 123);
    EXPECT_EQ(local.tm_mon, 6);
    EXPECT_EQ(local.tm_mday, 8);
    EXPECT_EQ(local.tm_hour, 13);
    EXPECT_EQ(local.tm_min, 5);
    EXPECT_EQ(local.tm_sec, 10);
}

TEST(FatListTexts, SizesTimesAndAttributes) {
    EXPECT_EQ(FormatFatSize(0), "0 Bytes");
    EXPECT_EQ(FormatFatSize(1023), "1023 Bytes");
    EXPECT_EQ(FormatFatSize(1024), "1.00 KB");
    EXPECT_EQ(FormatFatSize(1048576), "1.00 MB");
    EXPECT_EQ(FormatFatSize(1536ull << 20), "1.50 GB");
    EXPECT_EQ(FormatFatSize(0xFFFFFFFFull), "4.00 GB");

    const std::uint16_t date = DosDateWord(2024, 2, 9);
    EXPECT_EQ(FormatFatDateTime(date, DosTimeWord(12, 30, 0)), "02/09/2024  12:30 AM");
    EXPECT_EQ(FormatFatDateTime(date, DosTimeWord(13, 5, 58)), "02/09/2024  01:05 PM");
    EXPECT_EQ(FormatFatDateTime(date, DosTimeWord(0, 15, 0)), "02/09/2024  00:15 AM");
    EXPECT_EQ(FormatFatDateTime(date, DosTimeWord(23, 59, 0)), "02/09/2024  11:59 PM");
    EXPECT_EQ(FormatFatDate(date), "02/09/2024 ");

    EXPECT_EQ(FormatFatAttributes(0x00), "");
    EXPECT_EQ(FormatFatAttributes(0x21), "-R-A");
    EXPECT_EQ(FormatFatAttributes(0x27), "-R-H-S-A");
    EXPECT_EQ(FormatFatAttributes(0x10), "");
}

}  // namespace
}  // namespace salvora
