// The 171-byte signature record byte for byte, and the editor's rules for turning typed boxes into one.
// Needs nothing but memory.
#include "raw/signature_record.h"

#include <gtest/gtest.h>

namespace salvora {
namespace {

TEST(RawRecord, FieldsLandAtTheirOffsets) {
    SignatureFields f;
    f.extension = "jpg";
    f.startSignature = "0xFF,0xD8,0xFF";
    f.endSignature = "0xFF,0xD9";
    f.sizeFieldOffset = "2";
    f.sizeFieldWidth = "4";
    f.headerSize = "8";
    f.sizeIncludesHeader = true;
    f.skipBytes = "4096";
    f.approxSize = "5000000000";
    f.category = "Pics";
    const BuiltRecord built = BuildRecord(f, 7);
    ASSERT_EQ(built.problem, RecordProblem::None);
    const auto b = EncodeRecord(built.record);
    const std::vector<std::uint8_t> ext{'j', 0, 'p', 0, 'g', 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 10), ext);
    EXPECT_EQ(b[0x0A], 3);
    EXPECT_EQ(b[0x0B], 0xFF);
    EXPECT_EQ(b[0x0C], 0xD8);
    EXPECT_EQ(b[0x0D], 0xFF);
    EXPECT_EQ(b[0x0E], 0);
    EXPECT_EQ(b[0x15], 0xFF);
    EXPECT_EQ(b[0x16], 0xD9);
    EXPECT_EQ(b[0x1F], 3);
    EXPECT_EQ(b[0x20], 2);
    EXPECT_EQ(b[0x21], 7);
    EXPECT_EQ(le32(b, 0x22), 2u);
    EXPECT_EQ(le32(b, 0x26), 4u);
    EXPECT_EQ(le32(b, 0x2A), 8u);
    EXPECT_EQ(b[0x2E], 1);
    EXPECT_EQ(le32(b, 0x2F), 0u);
    EXPECT_EQ(le64(b, 0x33), 5000000000u);
    EXPECT_EQ(le64(b, 0x3B), 4096u);
    EXPECT_EQ(le16(b, 0x43), 'P');
    EXPECT_EQ(le16(b, 0x49), 's');
    EXPECT_EQ(le16(b, 0x4B), 0);
    EXPECT_EQ(le32(b, 0xA7), 0u);
}

TEST(RawRecord, AnyBytesDecodeAndEncodeBackUnchanged) {
    std::array<std::uint8_t, kRecordBytes> raw{};
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 37 + 11);
    EXPECT_EQ(EncodeRecord(DecodeRecord(raw)), raw);
    const SignatureRecord r = DecodeRecord(raw);
    EXPECT_EQ(r.sizeFieldWidth, static_cast<std::int32_t>(le32(raw, 0x26)));
    EXPECT_EQ(r.recordIndex, raw[0x21]);
}

TEST(RawRecord, FiveCharacterExtensionKeepsFourAndTheTypedLength) {
    SignatureFields f;
    f.extension = "jpegx";
    f.startSignature = "FF,D8";
    const SignatureRecord r = BuildRecord(f, 0).record;
    EXPECT_EQ(r.extensionLength, 5);
    EXPECT_EQ(ExtensionText(r), "jpeg");
    EXPECT_EQ(ExtensionText(DecodeRecord(EncodeRecord(r))), "jpeg");
}

TEST(RawRecord, HexListVariantsGiveTheSameBytes) {
    const std::vector<std::uint8_t> png{0x89, 0x50, 0x4E, 0x47};
    EXPECT_EQ(ParseHexList("0x89,0x50,0x4E,0x47"), png);
    EXPECT_EQ(ParseHexList("89,50,4E,47"), png);
    EXPECT_EQ(ParseHexList("0x89 , 0x50,  0x4e ,0X47"), png);
    EXPECT_EQ(ParseHexList("89,50,4e,47"), png);
    EXPECT_EQ(ParseHexList(",,0xFF,"), std::vector<std::uint8_t>{0xFF});
    EXPECT_EQ(ParseHexList("0x89,0x50, "), (std::vector<std::uint8_t>{0x89, 0x50}));
    // Only the low 8 bits are kept; reading stops at the first non-hex character.
    EXPECT_EQ(ParseHexList("0x1FF,4Gz"), (std::vector<std::uint8_t>{0xFF, 0x04}));
    EXPECT_TRUE(ParseHexList("").empty());
    EXPECT_TRUE(ParseHexList(",,,").empty());
}

TEST(RawRecord, DecimalBoxesReadTheirLeadingNumber) {
    EXPECT_EQ(ParseLeadingDecimal(""), 0);
    EXPECT_EQ(ParseLeadingDecimal("  2097152 bytes"), 2097152);
    EXPECT_EQ(ParseLeadingDecimal("abc"), 0);
    EXPECT_EQ(ParseLeadingDecimal("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(DigitsOnly("1a2-3 "), "123");
}

TEST(RawRecord, EditorRefusesEmptyFieldsAndOverlongSignatures) {
    SignatureFields f;
    f.startSignature = "FF";
    EXPECT_EQ(BuildRecord(f, 0).problem, RecordProblem::EmptyExtension);
    EXPECT_EQ(RecordProblemText(RecordProblem::EmptyExtension), "extention length is zero..");
    f.extension = "x";
    f.startSignature = " , ,";
    EXPECT_EQ(BuildRecord(f, 0).problem, RecordProblem::EmptyStartSignature);
    EXPECT_EQ(RecordProblemText(RecordProblem::EmptyStartSignature), "signature length is zero..");
    f.startSignature = "1,2,3,4,5,6,7,8,9,10,11";
    EXPECT_EQ(BuildRecord(f, 0).problem, RecordProblem::SignatureTooLong);
    f.startSignature = "1,2";
    f.endSignature = "1,2,3,4,5,6,7,8,9,10,11";
    EXPECT_EQ(BuildRecord(f, 0).problem, RecordProblem::SignatureTooLong);
}

TEST(RawRecord, EmptyCategoryIsHundredZeroBytesAndZeroOffsetIsNotStored) {
    SignatureFields f;
    f.extension = "bin";
    f.startSignature = "1,2";
    f.sizeFieldOffset = "-5";
    const auto b = EncodeRecord(BuildRecord(f, 0).record);
    for (std::size_t i = 0x43; i < 0xA7; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(le32(b, 0x22), 0u);
}

TEST(RawRecord, LongCategoryKeepsItsTerminator) {
    SignatureFields f;
    f.extension = "bin";
    f.startSignature = "1,2";
    f.category = std::string(80, 'c');
    const SignatureRecord r = BuildRecord(f, 0).record;
    EXPECT_EQ(CategoryText(r), std::string(49, 'c'));
    EXPECT_EQ(r.category[49], 0);
}

TEST(RawRecord, Utf16TextsRoundTrip) {
    const std::string text = "Bilder \xC3\xA4 \xF0\x9F\x93\xB7";
    const std::u16string units = Utf8ToUtf16(text);
    std::vector<std::uint16_t> raw(units.begin(), units.end());
    EXPECT_EQ(Utf16ToUtf8(raw.data(), raw.size()), text);
    const std::uint16_t lone[] = {0xD800, 'a'};
    EXPECT_EQ(Utf16ToUtf8(lone, 2),
              "\xEF\xBF\xBD"
              "a");
}

}  // namespace
}  // namespace salvora
