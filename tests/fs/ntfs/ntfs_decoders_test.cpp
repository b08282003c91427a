// The NTFS decoders on volumes mkntfs makes, against what The Sleuth Kit's fsstat and istat read from them
// (skipped without those tools), and on hand-made structures for what those volumes never hold.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fixture_util.h"
#include "fs/ntfs/ntfs_attributes.h"
#include "fs/ntfs/ntfs_boot.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_runlist.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using Block = std::vector<std::uint8_t>;

void Put(Block& b, std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// "vcn+length@lcn " per run ("vcn+length " for a hole), or "refused".
std::string Runs(const std::optional<std::vector<NtfsRun>>& runs) {
    if (!runs) return "refused";
    std::string s;
    for (const NtfsRun& r : *runs)
        s += std::to_string(r.vcn) + "+" + std::to_string(r.length) +
             (r.lcn ? "@" + std::to_string(*r.lcn) : "") + " ";
    return s;
}

// ---- volumes made by mkntfs ----

class NtfsMadeVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::system(
                "{ PATH=$PATH:/usr/sbin; command -v mkntfs && command -v fsstat && command -v istat; } "
                ">/dev/null 2>&1") != 0)
            GTEST_SKIP() << "mkntfs (ntfs-3g) or fsstat/istat (sleuthkit) is missing";
        std::string dir = (fs::temp_directory_path() / "salvora-ntfs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(dir.data()), nullptr);
        image_ = fs::path(dir) / "ntfs.img";
    }
    void TearDown() override {
        std::error_code ec;
        if (!image_.empty()) fs::remove_all(image_.parent_path(), ec);
    }
    void Make(std::uint64_t bytes, const std::string& options = "") {
        { std::ofstream(image_, std::ios::trunc); }
        fs::resize_file(image_, bytes);
        const std::string cmd = "PATH=$PATH:/usr/sbin mkntfs -F -Q -q " + options + " " + Quote(image_);
        EXPECT_EQ(std::system((cmd + " >/dev/null 2>&1").c_str()), 0) << cmd;
    }
    Block Read(std::uint64_t at, std::size_t length) const {
        Block b(length);
        std::ifstream in(image_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(at))
            .read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(length));
        return in ? b : Block{};
    }
    static std::string Quote(const fs::path& p) { return test::Quote(p.string()); }
    fs::path image_;
};

// The text after "key: " on its line of a tool's output.
std::string After(const std::string& text, const std::string& key) {
    const auto at = text.find(key + ": ");
    if (at == std::string::npos) return {};
    const auto from = at + key.size() + 2;
    return text.substr(from, text.find('\n', from) - from);
}

TEST_F(NtfsMadeVolume, BootSectorReadsAsFsstatReadsIt) {
    Make(64u << 20);
    const auto boot = DecodeNtfsBoot(Read(0, 512));
    ASSERT_TRUE(boot);
    const std::string stat = test::Shell("fsstat " + Quote(image_));
    EXPECT_EQ(std::to_string(boot->bytesPerSector), After(stat, "Sector Size"));
    EXPECT_EQ(std::to_string(boot->clusterBytes), After(stat, "Cluster Size"));
    EXPECT_EQ(std::to_string(boot->mftCluster), After(stat, "First Cluster of MFT"));
    EXPECT_EQ(std::to_string(boot->mirrorCluster), After(stat, "First Cluster of MFT Mirror"));
    EXPECT_EQ(std::to_string(boot->recordBytes) + " bytes", After(stat, "Size of MFT Entries"));
    EXPECT_EQ(std::to_string(boot->indexBlockBytes) + " bytes", After(stat, "Size of Index Records"));
    EXPECT_EQ(boot->serial, std::stoull(After(stat, "Volume Serial Number"), nullptr, 16));
    EXPECT_EQ("0 - " + std::to_string(boot->totalSectors - 1), After(stat, "Total Sector Range"));
    // The backup lies in the sector after the last one the volume counts.
    const auto backup = DecodeNtfsBoot(Read(boot->VolumeBytes(), 512));
    ASSERT_TRUE(backup);
    EXPECT_EQ(backup->serial, boot->serial);
    EXPECT_EQ(backup->mftCluster, boot->mftCluster);

    // Clusters above 64 KiB store the sector count's exponent, negated; fsstat cannot read these.
    Make(256u << 20, "-c 131072");
    const Block sector = Read(0, 512);
    const auto big = DecodeNtfsBoot(sector);
    ASSERT_TRUE(big);
    EXPECT_EQ(sector[0x0D], 0xF8);
    EXPECT_EQ((std::vector<std::uint32_t>{big->clusterBytes, big->recordBytes, big->indexBlockBytes}),
              (std::vector<std::uint32_t>{131072, 1024, 4096}));
}

// Each attribute istat lists ("Type: $DATA (128-1)   Name: $SDS   Non-Resident   size: N", the clusters on
// the lines that follow) as "128-1 $SDS N N: c c c".
std::vector<std::string> ParseIstat(const std::string& text) {
    static const std::regex line(R"(^Type: \S+ \((\d+-\d+)\)\s+Name: (\S+)\s+(N|R)\S*\s+size: (\d+))");
    std::vector<std::string> out;
    std::istringstream in(text.substr(text.find("\nAttributes:") + 1));
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line)) {
            out.push_back(m.format("$1 $2 $3 $4:"));
        } else if (!out.empty() && !l.empty() && std::isdigit(static_cast<unsigned char>(l[0]))) {
            std::istringstream numbers(l);
            for (std::string c; numbers >> c;) out.back() += " " + c;
        }
    }
    return out;
}

TEST_F(NtfsMadeVolume, SystemRecordsDecodeAsIstatReadsThem) {
    Make(64u << 20);
    const auto boot = DecodeNtfsBoot(Read(0, 512));
    ASSERT_TRUE(boot);
    const std::uint64_t clusters = boot->VolumeBytes() / boot->clusterBytes;
    for (std::uint64_t n = 0; n < 12; ++n) {
        SCOPED_TRACE("record " + std::to_string(n));
        Block record = Read(boot->mftCluster * boot->clusterBytes + n * boot->recordBytes, boot->recordBytes);
        const Block raw = record;
        ASSERT_EQ(ApplyNtfsFixups(record), NtfsFixup::Applied);
        // Each sector's tail held the sequence number and gets its saved word back.
        EXPECT_EQ(raw[510], raw[le16(raw, 4)]);
        EXPECT_EQ(record[510], raw[le16(raw, 4) + 2]);
        const auto header = DecodeNtfsRecordHeader(record);
        ASSERT_TRUE(header);
        EXPECT_TRUE(header->InUse());
        EXPECT_EQ(header->baseRecord, 0u);
        EXPECT_EQ(header->recordNumber, n);

        std::vector<NtfsAttribute> got;
        std::vector<std::string> seen;
        for (NtfsAttributeWalk walk(record, *header); auto a = walk.Next();) {
            got.push_back(*a);
            std::string& s = seen.emplace_back(std::to_string(a->type) + "-" + std::to_string(a->id) + " " +
                                               (a->name.empty() ? "N/A" : NtfsNameUtf8(a->name)) +
                                               (a->nonResident ? " N " : " R "));
            s += std::to_string(a->nonResident ? a->dataSize : a->value.size()) + ":";
            if (!a->nonResident) continue;
            const auto runs = DecodeNtfsRunlist(a->runlist, a->firstVcn, clusters);
            ASSERT_TRUE(runs);
            std::uint64_t vcn = a->firstVcn;
            for (const NtfsRun& r : *runs) {
                EXPECT_EQ(r.vcn, vcn);
                vcn += r.length;
                for (std::uint64_t c = 0; r.lcn && c < r.length; ++c) s += " " + std::to_string(*r.lcn + c);
            }
            EXPECT_EQ(vcn, a->lastVcn + 1);
        }
        const std::string istat = test::Shell("istat " + Quote(image_) + " " + std::to_string(n));
        EXPECT_EQ(seen, ParseIstat(istat));
        ASSERT_GE(got.size(), 2u);
        const auto name = DecodeNtfsFileName(got[1].value);
        ASSERT_TRUE(name);
        EXPECT_EQ(NtfsRefRecord(name->parent), 5u);
        EXPECT_EQ(NtfsNameUtf8(name->name), After(istat, "Name"));
        EXPECT_TRUE(DecodeNtfsStandardInformation(got[0].value));
    }
}

// ---- fixups ----

// `sectors` strides with the array at 0x30, sequence number 7 in each tail, saved words 0xA100 + the sector.
Block FixedRecord(std::size_t sectors, std::size_t stride = 512) {
    Block r(stride * sectors, 0x5A);
    std::copy_n("FILE", 4, r.begin());
    Put(r, 0x04, 0x30 | (sectors + 1) << 16, 4);
    Put(r, 0x30, 7, 2);
    for (std::size_t i = 0; i < sectors; ++i) {
        Put(r, 0x32 + 2 * i, 0xA100 + i, 2);
        Put(r, stride * (i + 1) - 2, 7, 2);
    }
    return r;
}

TEST(NtfsFixups, AllSectorsRestoredOrNoneTouchedAndArraysThatDoNotFitRefused) {
    Block r = FixedRecord(2), big = FixedRecord(1, 4096);
    ASSERT_EQ(ApplyNtfsFixups(r), NtfsFixup::Applied);
    EXPECT_EQ(le16(r, 510), 0xA100);
    EXPECT_EQ(le16(r, 1022), 0xA101);
    ASSERT_EQ(ApplyNtfsFixups(big, 4096), NtfsFixup::Applied);
    EXPECT_EQ(le16(big, 4094), 0xA100);
    // A torn sector anywhere: those that matched are not restored either.
    for (const std::size_t tail : {510, 1022, 2046}) {
        Block torn = FixedRecord(4);
        torn[tail] ^= 1;
        const Block before = torn;
        EXPECT_EQ(ApplyNtfsFixups(torn), NtfsFixup::Mismatch) << tail;
        EXPECT_EQ(torn, before) << tail;
    }

    Block bad = FixedRecord(2);
    std::copy_n("BAAD", 4, bad.begin());
    EXPECT_EQ(ApplyNtfsFixups(bad), NtfsFixup::NotARecord);
    EXPECT_EQ(ApplyNtfsFixups(std::span<std::uint8_t>()), NtfsFixup::NotARecord);
    // Covering one of two sectors, claiming a third, no sequence number, odd, into its own tail, far past.
    for (const auto& [at, count] : std::vector<std::pair<int, int>>{
             {0x30, 2}, {0x30, 4}, {0x30, 0}, {0x31, 3}, {0x1FA, 3}, {0xFFFE, 3}}) {
        Block r = FixedRecord(2);
        Put(r, 0x04, at | count << 16, 4);
        const Block before = r;
        EXPECT_EQ(ApplyNtfsFixups(r), NtfsFixup::BadHeader) << at << " " << count;
        EXPECT_EQ(r, before);
    }
    // 1000 bytes whose array covers the one whole sector: the ragged tail would go unchecked.
    Block ragged = FixedRecord(2);
    ragged.resize(1000);
    Put(ragged, 0x06, 2, 2);
    EXPECT_EQ(ApplyNtfsFixups(ragged), NtfsFixup::BadHeader);
}

// ---- records and attributes ----

// Resident: payload is the value, after the name. Non-resident: the runlist, after the 0x40 header.
Block Attribute(std::uint32_t type, bool nonResident, const std::u16string& name, const Block& payload) {
    const std::size_t head = nonResident ? 0x40 : 0x18, payloadAt = (head + 2 * name.size() + 7) & ~7u;
    Block a((payloadAt + payload.size() + 7) & ~7u, 0);
    Put(a, 0, type | std::uint64_t{a.size()} << 32, 8);
    // The id is the name's length, to tell the attributes apart.
    Put(a, 8, nonResident | name.size() << 8 | head << 16 | std::uint64_t{name.size()} << 48, 8);
    for (std::size_t i = 0; i < name.size(); ++i) Put(a, head + 2 * i, name[i], 2);
    Put(a, nonResident ? 0x20 : 0x14, payloadAt, 2);
    if (!nonResident) Put(a, 0x10, payload.size(), 4);
    std::copy(payload.begin(), payload.end(), a.begin() + static_cast<std::ptrdiff_t>(payloadAt));
    return a;
}

// A record, fixups applied: $STANDARD_INFORMATION, a resident stream "ads" at 0x98 and a non-resident $DATA
// at 0xC0 over VCNs 2..5, ending at 0x108.
Block Three() {
    Block r(1024, 0), data = Attribute(kNtfsData, true, u"", {0x11, 0x04, 0x20, 0x00});
    for (const auto& [at, v] : {std::pair{0x10, 2}, {0x18, 5}, {0x28, 16384}, {0x30, 16000}, {0x38, 8000}})
        Put(data, at, v, 8);
    std::copy_n("FILE", 4, r.begin());
    Put(r, 0x14, 0x38 | kNtfsRecordInUse << 16 | std::uint64_t{0x110} << 32, 8);
    auto out = r.begin() + 0x38;
    for (const Block& a : {Attribute(kNtfsStandardInformation, false, u"", Block(0x48, 0x11)),
                           Attribute(kNtfsData, false, u"ads", {'h', 'i'}), data})
        out = std::copy(a.begin(), a.end(), out);
    Put(r, 0x108, kNtfsEndMarker, 4);
    return r;
}

std::vector<NtfsAttribute> Walk(const Block& record) {
    const auto header = DecodeNtfsRecordHeader(record);
    std::vector<NtfsAttribute> out;
    if (!header) return out;
    for (NtfsAttributeWalk walk(record, *header); auto a = walk.Next();) out.push_back(*a);
    return out;
}

TEST(NtfsRecord, ResidentAndNonResidentFieldsComeFromTheirOwnLayouts) {
    const Block record = Three();
    const auto all = Walk(record);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].name, u"ads");
    EXPECT_EQ(all[1].id, 3);
    EXPECT_EQ(Block(all[1].value.begin(), all[1].value.end()), (Block{'h', 'i'}));
    EXPECT_EQ(all[1].bytes.data(), record.data() + 0x98);
    const NtfsAttribute& d = all[2];
    EXPECT_TRUE(d.nonResident && d.value.empty());
    EXPECT_EQ(
        (std::vector<std::uint64_t>{d.firstVcn, d.lastVcn, d.allocatedSize, d.dataSize, d.initializedSize}),
        (std::vector<std::uint64_t>{2, 5, 16384, 16000, 8000}));
    EXPECT_EQ(d.runlist.size(), d.length - 0x40u);
    EXPECT_EQ(Runs(DecodeNtfsRunlist(d.runlist, d.firstVcn, 100)), "2+4@32 ");
}

TEST(NtfsRecord, WalkStopsAtTheFirstDamagedAttribute) {
    // Bytes written into the stream at 0x98 (or the non-resident one after it); the attributes still found.
    for (const auto& [at, value, bytes, kept] :
         std::vector<std::tuple<std::size_t, std::uint32_t, int, std::size_t>>{
             {0x9C, 0, 4, 1},               // zero length
             {0x9C, 0x1C, 4, 1},            // unaligned length
             {0x9C, 0x10, 4, 1},            // no room for the header
             {0x9C, 0x100000, 4, 1},        // past the record
             {0xA8, 0x1000, 4, 1},          // value past the attribute
             {0xA1, 200, 1, 1},             // name past the attribute
             {0xA0, 2, 1, 1},               // neither resident nor not
             {0x98, kNtfsEndMarker, 4, 1},  // an early end
             {0xE0, 0x18, 2, 2},            // runlist inside the non-resident header
             {0xE0, 0x50, 2, 2},            // runlist past the attribute
             {0x18, 0xE0, 4, 2}}) {         // the used size cuts the walk
        Block r = Three();
        Put(r, at, value, bytes);
        EXPECT_EQ(Walk(r).size(), kept) << at << " " << value;
    }
    Block r = Three();
    Put(r, 0x18, 0xFFFFFFFF, 4);  // a used size past the buffer is held to it
    Put(r, 0x108, 0, 4);          // and with no end marker, the zero length ends the walk
    EXPECT_EQ(Walk(r).size(), 3u);
    EXPECT_EQ(Walk(Block(r.begin(), r.begin() + 0x100)).size(), 2u);
    EXPECT_FALSE(DecodeNtfsAttribute(r, 0x9C, r.size()));  // unaligned start
    Put(r, 0x14, 0x400, 2);
    EXPECT_FALSE(DecodeNtfsRecordHeader(r));
}

// ---- attribute values ----

Block FileNameValue(const std::u16string& name, std::uint8_t space) {
    Block v(0x42 + 2 * name.size(), 0);
    Put(v, 0x40, name.size() | space << 8, 2);
    for (std::size_t i = 0; i < name.size(); ++i) Put(v, 0x42 + 2 * i, name[i], 2);
    return v;
}

TEST(NtfsValues, FileNamesAndTheChoiceAmongThem) {
    const Block v = FileNameValue(u"Report.docx", 1);
    ASSERT_TRUE(DecodeNtfsFileName(v));
    EXPECT_EQ(DecodeNtfsFileName(v)->nameSpace, NtfsNamespace::Win32);
    EXPECT_FALSE(DecodeNtfsFileName(Bytes(v).first(v.size() - 1)));
    EXPECT_FALSE(DecodeNtfsFileName(FileNameValue(u"x", 4)));
    EXPECT_TRUE(DecodeNtfsFileName(FileNameValue(u"", 0)));
    EXPECT_FALSE(DecodeNtfsStandardInformation(Block(0x23, 0)));

    // The long name wins whichever order the record holds them in; the 8.3 alias never displaces it.
    using N = NtfsNamespace;
    for (const N longName : {N::Win32, N::Posix, N::Win32AndDos}) {
        EXPECT_TRUE(NtfsNameBetter(longName, N::Dos));
        EXPECT_FALSE(NtfsNameBetter(N::Dos, longName));
    }
    EXPECT_FALSE(NtfsNameBetter(N::Dos, N::Dos));
    EXPECT_FALSE(NtfsNameBetter(N::Win32, N::Win32AndDos));
}

TEST(NtfsValues, NamesBecomeUtf8WithSurrogatePairsJoined) {
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(NtfsNameUtf8(u"caf\u00e9"), "caf\xC3\xA9");
    EXPECT_EQ(NtfsNameUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
    EXPECT_EQ(NtfsNameUtf8(std::u16string{u'a', 0xD83D}), "a" + bad);    // high at the end
    EXPECT_EQ(NtfsNameUtf8(std::u16string{0xDE00, 0xD83D}), bad + bad);  // reversed
    EXPECT_EQ(NtfsNameUtf8(std::u16string{0xD83D, u'b'}), bad + "b");
}

// ---- runlists ----

TEST(NtfsRunlist, SignedOffsetsRelativeToTheLastRealRunInFieldsOfOneToEightBytes) {
    // 16 at 256; 8 at 256 - 16; a hole of 4; 2 at 240 + 32, the hole not having moved the base.
    const Block runs{0x21, 0x10, 0x00, 0x01, 0x11, 0x08, 0xF0, 0x01, 0x04, 0x11, 0x02, 0x20, 0x00};
    EXPECT_EQ(Runs(DecodeNtfsRunlist(runs, 10, 1000)), "10+16@256 26+8@240 34+4 38+2@272 ");
    // Without the terminator, the bytes' end ends the list.
    EXPECT_EQ(Runs(DecodeNtfsRunlist(Bytes(runs).first(runs.size() - 1), 10, 1000)),
              "10+16@256 26+8@240 34+4 38+2@272 ");
    EXPECT_EQ(Runs(DecodeNtfsRunlist(Block{0x00}, 0, 1)), "");

    for (int w = 1; w <= 8; ++w) {
        // Values that need all w bytes, the offset positive; then one cluster one back: -1 in w bytes.
        const std::uint64_t length = (0x01ull << (8 * (w - 1))) | 0x05,
                            offset = (0x41ull << (8 * (w - 1))) | 0x23;
        Block runs(1 + 2 * w, static_cast<std::uint8_t>(w << 4 | w));
        Put(runs, 1, length, w);
        Put(runs, 1 + w, offset, w);
        runs.insert(runs.end(), {static_cast<std::uint8_t>(w << 4 | 1), 1});
        runs.insert(runs.end(), w, 0xFF);
        runs.push_back(0);
        EXPECT_EQ(Runs(DecodeNtfsRunlist(runs, 0, UINT64_MAX)),
                  "0+" + std::to_string(length) + "@" + std::to_string(offset) + " " +
                      std::to_string(length) + "+1@" + std::to_string(offset - 1) + " ")
            << w;
    }
}

TEST(NtfsRunlist, ImpossibleRunsRefuseTheList) {
    Block wraps;
    for (int i = 0; i < 3; ++i) wraps.insert(wraps.end(), {0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x7F});
    for (const auto& [runs, limit, ok] : std::vector<std::tuple<Block, std::uint64_t, bool>>{
             {{0x11, 0x04, 0x10, 0x11, 0x01, 0xE0, 0x00}, 1000, false},     // 16 - 32 < 0
             {{0x11, 0x04, 0x10, 0x11, 0x01, 0xF0, 0x00}, 1000, true},      // 16 - 16 = 0, the boot sector
             {{0x11, 0x00, 0x10, 0x00}, 1000, false},                       // zero length
             {{0x10, 0x10, 0x00}, 1000, false},                             // no length bytes
             {{0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00}, 1000, false},  // 9 bytes of length
             {{0x91, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, 1000, false},     // 9 bytes of offset
             {{0x21, 0x04, 0x10}, 1000, false},                             // the pair runs past the bytes
             {{0x21, 0x0A, 0xDE, 0x03, 0x00}, 1000, true},                  // 10 at 990: 990..999
             {{0x21, 0x0B, 0xDE, 0x03, 0x00}, 1000, false},                 // 11 at 990
             {{0x21, 0x01, 0xE8, 0x03, 0x00}, 1000, false},                 // at 1000
             {Block(wraps.begin(), wraps.begin() + 20), UINT64_MAX, true},
             {wraps, UINT64_MAX, false},                                // the third sum wraps
             {{0x08, 0, 0, 0, 0, 0, 0, 0, 0x70, 0x00}, 1000, true}}) {  // a hole may lie anywhere
        EXPECT_EQ(DecodeNtfsRunlist(runs, 0, limit).has_value(), ok) << testing::PrintToString(runs);
    }
    EXPECT_FALSE(DecodeNtfsRunlist(Block{0x01, 0x02, 0x00}, UINT64_MAX - 1, 10));  // the VCNs wrap
}

// ---- LZNT1 ----

// The 142-byte text and the 59 bytes a Windows compressor makes of it, from the format's published
// description.
const std::string kTune =
    "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# D E F# G "
    "F# E D E A F# F# G A A G F# E D D E F# E D D";
const Block kTuneCompressed{0x38, 0xb0, 0x88, 0x46, 0x23, 0x20, 0x00, 0x20, 0x47, 0x20, 0x41, 0x00,
                            0x10, 0xa2, 0x47, 0x01, 0xa0, 0x45, 0x20, 0x44, 0x00, 0x08, 0x45, 0x01,
                            0x50, 0x79, 0x00, 0xc0, 0x45, 0x20, 0x05, 0x24, 0x13, 0x88, 0x05, 0xb4,
                            0x02, 0x4a, 0x44, 0xef, 0x03, 0x58, 0x02, 0x8c, 0x09, 0x16, 0x01, 0x48,
                            0x45, 0x00, 0xbe, 0x00, 0x9e, 0x00, 0x04, 0x01, 0x18, 0x90, 0x00};

std::string Text(const Block& out, std::size_t n) {
    return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

TEST(NtfsLznt1, BackReferencesAcrossDisplacementWidths) {
    Block out(4096, 0xEE);
    auto n = DecompressLznt1(kTuneCompressed, out);
    ASSERT_TRUE(n);
    EXPECT_EQ(Text(out, *n), kTune + '\0');
    EXPECT_EQ(out[*n], 0);  // zero-filled past what was produced

    // 16 literals, then references where 4, 5 and 12 bits of displacement apply.
    Block chunk{0,    0,   0x00, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                0x00, 'I', 'J',  'K', 'L', 'M', 'N', 'O', 'P', 0x0F};
    chunk.insert(chunk.end(), {0x00, 0xF0,    // at 16, 4|12 bits: 16 back, 3 long
                               0x01, 0x80,    // at 19, 5|11 bits: 17 back, 4 long
                               0xFF, 0x07,    // at 23, 5|11 bits: 1 back, 2050 long
                               0x8F, 0x81});  // at 2073, 12|4 bits: 2073 back, 18 long
    Put(chunk, 0, 0xB000 | (chunk.size() - 3), 2);
    n = DecompressLznt1(chunk, out);
    ASSERT_TRUE(n);
    EXPECT_EQ(Text(out, *n), "ABCDEFGHIJKLMNOPABCCDEF" + std::string(2050, 'F') + "ABCDEFGHIJKLMNOPAB");
}

TEST(NtfsLznt1, StoredChunksAndChunkBoundaries) {
    // A short compressed chunk, then a stored one: it starts at 4096, the gap and the rest stay zero.
    Block stored(4096), unit = kTuneCompressed, out(16384, 0xEE), expected(16384, 0);
    for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<std::uint8_t>(i * 7);
    unit.insert(unit.end(), {0xFF, 0x3F});
    unit.insert(unit.end(), stored.begin(), stored.end());
    unit.insert(unit.end(), {0, 0, 0x12});  // after the terminator: never read
    EXPECT_EQ(DecompressLznt1(unit, out), 8192u);
    std::copy(kTune.begin(), kTune.end(), expected.begin());
    std::copy(stored.begin(), stored.end(), expected.begin() + 4096);
    // The first byte that differs, if any.
    EXPECT_EQ(std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin(), 16384);

    // A full unit ends where out does, whatever slack follows.
    unit.resize(unit.size() - 3);
    unit.insert(unit.end(), {0xFF, 0xFF, 0x01});
    out.resize(8192);
    EXPECT_EQ(DecompressLznt1(unit, out), 8192u);
}

TEST(NtfsLznt1, MalformedChunksStopWithEarlierOutputKept) {
    Block out(8192);
    for (const auto& [second, ok] : std::vector<std::pair<Block, bool>>{
             {{0x02, 0xB0, 0x01, 0x00, 0x00}, false},                 // a reference with nothing before it
             {{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x00, 0x30}, false},  // at 3, 4 back
             {{0x10, 0xB0, 0x00, 'a'}, false},                        // the chunk runs past the unit
             {{0x03, 0xB0, 0x02, 'a', 0xFF, 0x0F}, false},            // at 1, 4098 long: past the chunk
             {{0x02, 0xB0, 0x02, 'a', 0x00}, false},                  // half a token
             {{0x03, 0xB0, 0x02, 'a', 0x00, 0x00}, true}}) {          // at 1, 1 back, 3 long
        Block unit = kTuneCompressed;
        unit.insert(unit.end(), second.begin(), second.end());
        EXPECT_EQ(DecompressLznt1(unit, out).has_value(), ok) << testing::PrintToString(second);
        EXPECT_EQ(Text(out, kTune.size()), kTune);
    }
}

}  // namespace
}  // namespace salvora
