// exFAT decoding rules that decide what is listed: entry sets and their names, boot sector bounds, the deep
// scan's entry-set test, timestamps with UTC offsets and the list texts. Pure byte buffers; no image files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "fs/fat/exfat_entry_set.h"
#include "fs/fat/exfat_image_builder.h"
#include "fs/fat/exfat_times.h"

namespace salvora {
namespace {

using test::ExFatImageBuilder;
using test::ExFatSetSpec;

std::uint32_t Ts(int y, int mo, int d, int h, int mi, int s) {
    return (static_cast<std::uint32_t>(y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) |
           (s / 2);
}

TEST(ExFatEntrySet, NameSpreadOverSeveralNameEntries) {
    const std::u16string name = u"A fairly long holiday photo name - IMG_0001.JPG";  // 47 units: 4 slots
    ExFatSetSpec spec{.name = name, .attributes = 0x20, .flags = 1, .firstCluster = 9, .size = 12345};
    auto bytes = ExFatImageBuilder::EntrySet(spec);
    bytes.resize(bytes.size() + 64, 0);  // a free slot after the set
    const auto set = DecodeEntrySet(bytes, 0);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->slots, 6u);
    EXPECT_EQ(set->record.name, "A fairly long holiday photo name - IMG_0001.JPG");
    EXPECT_EQ(set->record.nameLength, 47);
    EXPECT_EQ(set->record.firstCluster, 9u);
    EXPECT_EQ(set->record.validDataLength, 12345u);
    EXPECT_EQ(set->record.streamFlags, 1);
    EXPECT_FALSE(set->record.Deleted());
}

TEST(ExFatEntrySet, TheNameEndsAtTheStreamEntrysLengthThoughMoreSlotsFollow) {
    auto bytes = ExFatImageBuilder::EntrySet({.name = u"ABC", .extraNameSlots = 1});
    ExFatImageBuilder::Put16(bytes, 3 * 32 + 2, u'X');
    ExFatImageBuilder::Put16(bytes, 3 * 32 + 4, u'Y');
    const auto set = DecodeEntrySet(bytes, 0);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->record.name, "ABC");
    EXPECT_EQ(set->slots, 4u);
}

TEST(ExFatEntrySet, SecondaryCountBoundsTheSet) {
    // A count outside 2..18 is no entry set at all.
    for (int count : {0, 1, 19, 255}) {
        auto bytes = ExFatImageBuilder::EntrySet({.name = u"x.txt", .secondaryCountOverride = count});
        EXPECT_FALSE(DecodeEntrySet(bytes, 0)) << count;
    }
    // A name run longer than the count says stops at the count: the next slot may start another set.
    auto bytes = ExFatImageBuilder::EntrySet({.name = u"0123456789abcdefghij", .secondaryCountOverride = 2});
    const auto set = DecodeEntrySet(bytes, 0);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->slots, 3u);
    EXPECT_EQ(set->record.name, "0123456789abcde");
}

TEST(ExFatEntrySet, DeletedSetKeepsItsFields) {
    const auto bytes =
        ExFatImageBuilder::EntrySet({.name = u"gone.jpg", .firstCluster = 40, .size = 999, .deleted = true});
    EXPECT_EQ(bytes[0], 0x05);
    EXPECT_EQ(bytes[32], 0x40);
    EXPECT_EQ(bytes[64], 0x41);
    const auto set = DecodeEntrySet(bytes, 0);
    ASSERT_TRUE(set);
    EXPECT_TRUE(set->record.Deleted());
    EXPECT_EQ(set->record.name, "gone.jpg");
    EXPECT_EQ(set->record.firstCluster, 40u);
}

TEST(ExFatEntrySet, TruncatedBufferAndForeignSlots) {
    auto bytes = ExFatImageBuilder::EntrySet({.name = u"abc"});
    EXPECT_FALSE(DecodeEntrySet(Bytes(bytes.data(), 31), 0));
    // The set ends where the buffer ends; the name is what fits.
    const auto cut = DecodeEntrySet(Bytes(bytes.data(), 64), 0);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->slots, 2u);
    EXPECT_EQ(cut->record.name, kExFatUnnamed);
    bytes[0] = 0xC1;
    EXPECT_FALSE(DecodeEntrySet(bytes, 0));
}

TEST(ExFatNames, InvalidUtf16BecomesReplacementCharacters) {
    EXPECT_EQ(Utf16ToUtf8(u"caf\u00e9"), "caf\xC3\xA9");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, 0xDCF7}), "\xF0\x9F\x93\xB7");  // a camera, as a pair
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD83D, u'b'}),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDCF7, u'c'}),
              "\xEF\xBF\xBD"
              "c");
}

TEST(ExFatDeepScan, EntrySetTestNeedsExactlyTheNameSlotsTheLengthAsksFor) {
    auto good =
        ExFatImageBuilder::EntrySet({.name = u"IMG_0001.JPG", .flags = 1, .firstCluster = 5, .size = 1});
    good.resize(good.size() + 32, 0);
    EXPECT_TRUE(LooksLikeEntrySet(good, 0));

    auto tooFew = good;
    tooFew[35] = 16;  // needs two name slots, only one follows
    EXPECT_FALSE(LooksLikeEntrySet(tooFew, 0));

    auto badFlags = good;
    badFlags[33] = 0;
    EXPECT_FALSE(LooksLikeEntrySet(badFlags, 0));

    auto reserved = good;
    reserved[30] = 1;
    EXPECT_FALSE(LooksLikeEntrySet(reserved, 0));

    auto hidden = good;
    hidden[4] = 0x22;  // hidden archive file: not among the attributes the scan trusts
    EXPECT_FALSE(LooksLikeEntrySet(hidden, 0));

    auto noName = good;
    noName[35] = 0;
    EXPECT_FALSE(LooksLikeEntrySet(noName, 0));

    EXPECT_FALSE(LooksLikeEntrySet(Bytes(good.data(), 64), 0));
}

TEST(ExFatBoot, ShiftsOutsideTheFormatAreRefused) {
    ExFatImageBuilder b;
    b.WriteBoot(4);
    std::vector<std::uint8_t> sector(b.Image().begin(), b.Image().begin() + 512);
    auto boot = DecodeExFatBoot(sector);
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->ClusterBytes(), 512u);
    EXPECT_EQ(boot->rootCluster, 4u);
    sector[109] = 17;  // 64 MiB clusters
    EXPECT_FALSE(DecodeExFatBoot(sector));
    sector[109] = 0;
    sector[108] = 40;
    EXPECT_FALSE(DecodeExFatBoot(sector));
    sector[108] = 9;
    sector[4] = 'Y';
    EXPECT_FALSE(DecodeExFatBoot(sector));
}

TEST(ExFatTimes, UtcOffsetIsTakenOffWhenValid) {
    const std::uint32_t t = Ts(2023, 11, 14, 13, 18, 22);
    std::tm utc{};
    utc.tm_year = 123;
    utc.tm_mon = 10;
    utc.tm_mday = 14;
    utc.tm_hour = 13;
    utc.tm_min = 18;
    utc.tm_sec = 22;
    const time_t asUtc = timegm(&utc);

    // +02:00 (8 quarters): 13:18 local was 11:18 UTC.
    auto plusTwo = ExFatTimestampToTimespec(t, 0, 0x80 | 8);
    ASSERT_TRUE(plusTwo);
    EXPECT_EQ(plusTwo->tv_sec, asUtc - 2 * 3600);
    // -05:30 (-22 quarters, seven-bit two's complement).
    auto minus = ExFatTimestampToTimespec(t, 0, 0x80 | (0x80 - 22));
    ASSERT_TRUE(minus);
    EXPECT_EQ(minus->tv_sec, asUtc + 5 * 3600 + 30 * 60);
    // Hundredths of two seconds.
    auto fine = ExFatTimestampToTimespec(t, 150, 0x80);
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->tv_sec, asUtc + 1);
    EXPECT_EQ(fine->tv_nsec, 500'000'000);
}

TEST(ExFatTimes, WithoutValidOffsetTheTimeIsLocal) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "EST5", 1);
    tzset();
    auto local =
        ExFatTimestampToTimespec(Ts(2023, 11, 14, 13, 18, 22), 0, 0x08);  // offset without its valid bit
    std::tm utc{};
    utc.tm_year = 123;
    utc.tm_mon = 10;
    utc.tm_mday = 14;
    utc.tm_hour = 18;
    utc.tm_min = 18;
    utc.tm_sec = 22;
    const time_t expected = timegm(&utc);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    ASSERT_TRUE(local);
    EXPECT_EQ(local->tv_sec, expected);
}

TEST(ExFatTimes, ImpossibleDatesAreNoTime) {
    EXPECT_FALSE(ExFatTimestampToTimespec(0, 0, 0));  // month 0, day 0
    EXPECT_FALSE(ExFatTimestampToTimespec(Ts(2023, 2, 29, 1, 0, 0), 0, 0x80));
    EXPECT_TRUE(ExFatTimestampToTimespec(Ts(2024, 2, 29, 1, 0, 0), 0, 0x80));
    EXPECT_FALSE(ExFatTimestampToTimespec(Ts(2023, 13, 1, 1, 0, 0), 0, 0x80));
    EXPECT_FALSE(ExFatTimestampToTimespec(Ts(2023, 1, 1, 24, 0, 0), 0, 0x80));
    EXPECT_FALSE(ExFatTimestampToTimespec(Ts(2023, 1, 1, 1, 60, 0), 0, 0x80));
}

TEST(ExFatListTexts, DateTimeSizeAndAttributes) {
    EXPECT_EQ(FormatExFatDateTime(Ts(2023, 11, 14, 13, 18, 22)), "11/14/2023  01:18 PM");
    EXPECT_EQ(FormatExFatDateTime(Ts(2021, 1, 2, 12, 30, 0)), "01/02/2021  12:30 AM");
    EXPECT_EQ(FormatExFatDateTime(Ts(2021, 1, 2, 0, 15, 0)), "01/02/2021  00:15 AM");
    EXPECT_EQ(FormatExFatDateTime(Ts(2021, 1, 2, 13, 5, 0)), "01/02/2021  01:05 PM");
    EXPECT_EQ(FormatExFatSize(1023), "1023 Bytes");
    EXPECT_EQ(FormatExFatSize(1024), "1.00 KB");
    EXPECT_EQ(FormatExFatSize(1572864), "1.50 MB");
    EXPECT_EQ(FormatExFatSize(5ull << 30), "5.00 GB");
    EXPECT_EQ(FormatExFatSize(0), "0 Bytes");
    EXPECT_EQ(FormatExFatAttributes(0x27), "-R-H-S-A");
    EXPECT_EQ(FormatExFatAttributes(0x10), "");
    EXPECT_EQ(FormatExFatAttributes(0x21), "-R-A");
}

TEST(ExFatAttributes, DirectoryValuesAreExact) {
    for (std::uint16_t a : {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x30})
        EXPECT_TRUE(IsExFatDirectory(a)) << a;
    for (std::uint16_t a : {0x00, 0x17, 0x20, 0x31, 0x110}) EXPECT_FALSE(IsExFatDirectory(a)) << a;
}

}  // namespace
}  // namespace salvora
