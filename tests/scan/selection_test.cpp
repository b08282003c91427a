// The selection words: globs with ** and letter case, sizes with suffixes, dates, and their combination.
#include <gtest/gtest.h>

#include "scan/selection.h"

namespace salvora {
namespace {

TEST(Selection, GlobsSizesDatesAndTheirCombination) {
    struct Case {
        const char* pattern;
        const char* path;
        bool match;
    };
    const Case cases[] = {
        {"**/*.jpg", "/a.jpg", true},               // ** spans no folder too
        {"**/*.jpg", "/DCIM/100CANON/IMG_1.JPG", true},  // any depth, any case
        {"*.jpg", "/DCIM/a.jpg", false},            // * stays within a name
        {"/DCIM/*", "DCIM/a.jpg", true},            // the leading "/" on either side
        {"DCIM/**", "/DCIM/100/a.jpg", true},
        {"DCIM/**/a.jpg", "/DCIM/a.jpg", true},
        {"DCIM/**/a.jpg", "/DCIMX/a.jpg", false},
        {"**/1??CANON/*", "/DCIM/100CANON/x", true},
        {"**/1??CANON/*", "/DCIM/1000CANON/x", false},
        {"Café/*", "/CAFÉ/menu.txt", true},         // Latin-1 letters fold too
        {"a*b*c", "/axxbyyc", true},
        {"a*b*c", "/axxbyy", false},
    };
    for (const Case& c : cases) EXPECT_EQ(GlobMatch(c.pattern, c.path), c.match) << c.pattern << " " << c.path;
    EXPECT_FALSE(GlobMatch("**/*.jpg", "/A.JPG", true));

    EXPECT_EQ(ParseSizeText("1500"), 1500u);
    EXPECT_EQ(ParseSizeText("10K"), 10240u);
    EXPECT_EQ(ParseSizeText("1.5M"), 1572864u);
    EXPECT_EQ(ParseSizeText("2G"), 2147483648u);
    for (const char* bad : {"", "K", "-1", "3X", "1e40"}) EXPECT_FALSE(ParseSizeText(bad)) << bad;
    EXPECT_EQ(ParseDateText("2023-11-14"), 1699920000);
    EXPECT_EQ(ParseDateText("2023-11-14T10:13"), 1699920000 + 10 * 3600 + 13 * 60);
    EXPECT_EQ(ParseDateText("2023-11-14 10:13:20Z"), 1699920000 + 10 * 3600 + 13 * 60 + 20);
    for (const char* bad : {"2023-13-01", "2023-11-14T25:00", "14/11/2023", "2023-11-14T10:13+02"})
        EXPECT_FALSE(ParseDateText(bad)) << bad;

    Selection s;
    EXPECT_TRUE(s.Empty());
    s.select = {"DCIM/**"};
    s.exclude = {"**/*.thm"};
    s.deletedOnly = true;
    s.minSize = 1024;
    s.modifiedAfter = ParseDateText("2023-01-01");
    s.extensions = *KindExtensions("photo");
    EXPECT_TRUE(s.Matches("/DCIM/100/IMG_1.JPG", true, 2048, ParseDateText("2023-06-01")));
    EXPECT_FALSE(s.Matches("/DCIM/100/IMG_1.JPG", false, 2048, ParseDateText("2023-06-01")));  // live
    EXPECT_FALSE(s.Matches("/DCIM/100/IMG_1.JPG", true, 1000, ParseDateText("2023-06-01")));   // small
    EXPECT_FALSE(s.Matches("/DCIM/100/IMG_1.JPG", true, 2048, ParseDateText("2022-06-01")));   // old
    EXPECT_FALSE(s.Matches("/DCIM/100/IMG_1.JPG", true, 2048, std::nullopt));                  // no time to judge
    EXPECT_FALSE(s.Matches("/DCIM/100/IMG_1.THM", true, 2048, ParseDateText("2023-06-01")));   // not a photo
    EXPECT_FALSE(s.Matches("/Music/IMG_1.JPG", true, 2048, ParseDateText("2023-06-01")));      // not selected
    EXPECT_FALSE(KindExtensions("spreadsheet"));
}

}  // namespace
}  // namespace salvora
