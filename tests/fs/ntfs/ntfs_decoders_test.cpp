// The NTFS decoders on hand-made structures, and on volumes that mkntfs makes, compared with what The Sleuth
// Kit's fsstat and istat read from them (skipped when mkntfs is missing).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
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
using test::Quote;
using test::Shell;

void Put16(Block& b, std::size_t at, std::uint16_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8;
}
void Put32(Block& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}
void Put64(Block& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = (v >> (8 * i)) & 0xFF;
}

// ---- volumes made by mkntfs ----

bool HaveTools() {
    return std::system("command -v mkntfs >/dev/null 2>&1 || test -x /usr/sbin/mkntfs") == 0 &&
           std::system("command -v fsstat >/dev/null 2>&1 && command -v istat >/dev/null 2>&1") == 0;
}

class NtfsMadeVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTools()) GTEST_SKIP() << "mkntfs (ntfs-3g) or fsstat/istat (sleuthkit) is missing";
        std::string tmpl = (fs::temp_directory_path() / "salvora-ntfs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    // A sparse image of `bytes` formatted by mkntfs, with extra options.
    fs::path Make(std::uint64_t bytes, const std::string& options = "") {
        const fs::path image = dir_ / "ntfs.img";
        { std::ofstream(image, std::ios::binary | std::ios::trunc); }
        fs::resize_file(image, bytes);
        const std::string cmd = "PATH=$PATH:/usr/sbin mkntfs -F -Q -q " + options + " " +
                                Quote(image.string()) + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return image;
    }
    static Block Read(const fs::path& image, std::uint64_t at, std::size_t length) {
        Block b(length);
        std::ifstream in(image, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(at));
        in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(length));
        return in ? b : Block{};
    }
    fs::path dir_;
};

// The text after "key: " on its line of a tool's output.
std::string After(const std::string& text, const std::string& key) {
    const auto at = text.find(key + ": ");
    if (at == std::string::npos) return {};
    const auto from = at + key.size() + 2;
    return text.substr(from, text.find('\n', from) - from);
}

TEST_F(NtfsMadeVolume, BootSectorReadsAsFsstatReadsIt) {
    const fs::path image = Make(64u << 20);
    const auto boot = DecodeNtfsBoot(Read(image, 0, 512));
    ASSERT_TRUE(boot);
    const std::string stat = Shell("fsstat " + Quote(image.string()));
    EXPECT_EQ(std::to_string(boot->bytesPerSector), After(stat, "Sector Size"));
    EXPECT_EQ(std::to_string(boot->clusterBytes), After(stat, "Cluster Size"));
    EXPECT_EQ(std::to_string(boot->mftCluster), After(stat, "First Cluster of MFT"));
    EXPECT_EQ(std::to_string(boot->mirrorCluster), After(stat, "First Cluster of MFT Mirror"));
    EXPECT_EQ(std::to_string(boot->recordBytes) + " bytes", After(stat, "Size of MFT Entries"));
    EXPECT_EQ(std::to_string(boot->indexBlockBytes) + " bytes", After(stat, "Size of Index Records"));
    EXPECT_EQ(boot->serial, std::stoull(After(stat, "Volume Serial Number"), nullptr, 16));
    EXPECT_EQ("0 - " + std::to_string(boot->totalSectors - 1), After(stat, "Total Sector Range"));

    // The backup in the sector after the last one the volume counts says the same.
    const auto backup = DecodeNtfsBoot(Read(image, boot->VolumeBytes(), 512));
    ASSERT_TRUE(backup);
    EXPECT_EQ(backup->serial, boot->serial);
    EXPECT_EQ(backup->mftCluster, boot->mftCluster);
}

TEST_F(NtfsMadeVolume, ClustersAbove64KiBUseTheNegativeSectorCount) {
    const fs::path image = Make(256u << 20, "-c 131072");
    const Block sector = Read(image, 0, 512);
    ASSERT_EQ(sector.size(), 512u);
    EXPECT_EQ(sector[0x0D], 0xF8);  // 2^8 sectors of 512 bytes
    const auto boot = DecodeNtfsBoot(sector);
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->clusterBytes, 131072u);
    EXPECT_EQ(boot->recordBytes, 1024u);
    EXPECT_EQ(boot->indexBlockBytes, 4096u);
}

// What istat lists for one attribute: "Type: $DATA (128-1)   Name: $SDS   Non-Resident   size: N ..." and
// the clusters on the lines that follow.
struct IstatAttribute {
    std::uint32_t type = 0;
    std::uint16_t id = 0;
    std::string name;
    bool nonResident = false;
    std::uint64_t size = 0;
    std::vector<std::uint64_t> clusters;
};

std::vector<IstatAttribute> ParseIstat(const std::string& text) {
    static const std::regex line(
        R"(^Type: \S+ \((\d+)-(\d+)\)\s+Name: (\S+)\s+(Non-Resident|Resident)\s+size: (\d+))");
    std::vector<IstatAttribute> out;
    std::istringstream in(text.substr(text.find("\nAttributes:") + 1));
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_search(l, m, line)) {
            out.push_back({static_cast<std::uint32_t>(std::stoul(m[1])),
                           static_cast<std::uint16_t>(std::stoul(m[2])),
                           m[3] == "N/A" ? "" : m[3].str(),
                           m[4] == "Non-Resident",
                           std::stoull(m[5]),
                           {}});
        } else if (!out.empty() && !l.empty() && std::isdigit(static_cast<unsigned char>(l[0]))) {
            std::istringstream numbers(l);
            for (std::uint64_t c; numbers >> c;) out.back().clusters.push_back(c);
        }
    }
    return out;
}

TEST_F(NtfsMadeVolume, SystemRecordsDecodeAsIstatReadsThem) {
    const fs::path image = Make(64u << 20);
    const auto boot = DecodeNtfsBoot(Read(image, 0, 512));
    ASSERT_TRUE(boot);
    const std::uint64_t clusters = boot->VolumeBytes() / boot->clusterBytes;
    for (std::uint64_t n = 0; n < 12; ++n) {
        SCOPED_TRACE("record " + std::to_string(n));
        Block record =
            Read(image, boot->mftCluster * boot->clusterBytes + n * boot->recordBytes, boot->recordBytes);
        const Block raw = record;
        ASSERT_EQ(ApplyNtfsFixups(record), NtfsFixup::Applied);
        // The saved words went back: each sector's tail held the sequence number before.
        EXPECT_EQ(raw[510], raw[le16(raw, 4)]);
        EXPECT_EQ(record[510], raw[le16(raw, 4) + 2]);
        const auto header = DecodeNtfsRecordHeader(record);
        ASSERT_TRUE(header);
        EXPECT_TRUE(header->InUse());
        EXPECT_EQ(header->baseRecord, 0u);
        EXPECT_EQ(header->recordNumber, n);

        const auto expected = ParseIstat(Shell("istat " + Quote(image.string()) + " " + std::to_string(n)));
        ASSERT_FALSE(expected.empty());
        std::vector<NtfsAttribute> got;
        NtfsAttributeWalk walk(record, *header);
        while (auto a = walk.Next()) got.push_back(*a);
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            const NtfsAttribute& a = got[i];
            const IstatAttribute& e = expected[i];
            SCOPED_TRACE("attribute " + std::to_string(e.type) + "-" + std::to_string(e.id));
            EXPECT_EQ(a.type, e.type);
            EXPECT_EQ(a.id, e.id);
            EXPECT_EQ(NtfsNameUtf8(a.name), e.name);
            ASSERT_EQ(a.nonResident, e.nonResident);
            if (!a.nonResident) {
                EXPECT_EQ(a.value.size(), e.size);
                continue;
            }
            EXPECT_EQ(a.dataSize, e.size);
            const auto runs = DecodeNtfsRunlist(a.runlist, a.firstVcn, clusters);
            ASSERT_TRUE(runs);
            std::vector<std::uint64_t> real;
            std::uint64_t vcn = a.firstVcn;
            for (const NtfsRun& r : *runs) {
                EXPECT_EQ(r.vcn, vcn);
                vcn += r.length;
                for (std::uint64_t c = 0; r.lcn && c < r.length; ++c) real.push_back(*r.lcn + c);
            }
            EXPECT_EQ(vcn, a.lastVcn + 1);
            EXPECT_EQ(real, e.clusters);
        }
        // The first name is the one fsstat's tools show for these records.
        const auto name = DecodeNtfsFileName(got.at(1).value);
        ASSERT_TRUE(name);
        EXPECT_EQ(NtfsRefRecord(name->parent), 5u);
        EXPECT_EQ(NtfsNameUtf8(name->name),
                  After(Shell("istat " + Quote(image.string()) + " " + std::to_string(n)), "Name"));
        EXPECT_TRUE(DecodeNtfsStandardInformation(got.at(0).value));
    }
}

// ---- fixups ----

// A record of `sectors` strides of 512 whose array sits at 0x30 with sequence number 7, each tail holding it
// and each saved word 0xA100 + the sector.
Block FixedRecord(std::size_t sectors) {
    Block r(512 * sectors, 0x5A);
    std::copy_n("FILE", 4, r.begin());
    Put16(r, 0x04, 0x30);
    Put16(r, 0x06, static_cast<std::uint16_t>(sectors + 1));
    Put16(r, 0x30, 7);
    for (std::size_t i = 0; i < sectors; ++i) {
        Put16(r, 0x32 + 2 * i, static_cast<std::uint16_t>(0xA100 + i));
        Put16(r, 512 * (i + 1) - 2, 7);
    }
    return r;
}

TEST(NtfsFixups, AllSectorsRestoredOrNoneTouched) {
    Block r = FixedRecord(2);
    ASSERT_EQ(ApplyNtfsFixups(r), NtfsFixup::Applied);
    EXPECT_EQ(le16(r, 510), 0xA100);
    EXPECT_EQ(le16(r, 1022), 0xA101);

    // The second sector was torn: the first, which matched, must not be restored either.
    Block torn = FixedRecord(2);
    Put16(torn, 1022, 8);
    const Block before = torn;
    EXPECT_EQ(ApplyNtfsFixups(torn), NtfsFixup::Mismatch);
    EXPECT_EQ(torn, before);

    Block first = FixedRecord(4);
    first[510] ^= 1;
    EXPECT_EQ(ApplyNtfsFixups(first), NtfsFixup::Mismatch);

    // One 4096-byte stride protected by one word.
    Block big(4096, 0);
    std::copy_n("FILE", 4, big.begin());
    Put16(big, 0x04, 0x30);
    Put16(big, 0x06, 2);
    Put16(big, 0x30, 3);
    Put16(big, 0x32, 0xBEEF);
    Put16(big, 4094, 3);
    EXPECT_EQ(ApplyNtfsFixups(big, 4096), NtfsFixup::Applied);
    EXPECT_EQ(le16(big, 4094), 0xBEEF);
}

TEST(NtfsFixups, ArrayThatDoesNotFitOrCoverIsRefused) {
    Block bad = FixedRecord(2);
    std::copy_n("BAAD", 4, bad.begin());
    EXPECT_EQ(ApplyNtfsFixups(bad), NtfsFixup::NotARecord);
    EXPECT_EQ(ApplyNtfsFixups(std::span<std::uint8_t>()), NtfsFixup::NotARecord);

    const auto withHeader = [](std::uint16_t at, std::uint16_t count) {
        Block r = FixedRecord(2);
        Put16(r, 0x04, at);
        Put16(r, 0x06, count);
        return r;
    };
    for (const auto& [at, count] :
         std::vector<std::pair<int, int>>{{0x30, 2},       // covers one of two sectors
                                          {0x30, 4},       // claims a third
                                          {0x30, 0},       // no sequence number at all
                                          {0x31, 3},       // odd
                                          {0x1FA, 3},      // runs into the tail it protects
                                          {0xFFFE, 3}}) {  // far past the record
        Block r = withHeader(static_cast<std::uint16_t>(at), static_cast<std::uint16_t>(count));
        const Block before = r;
        EXPECT_EQ(ApplyNtfsFixups(r), NtfsFixup::BadHeader) << at << " " << count;
        EXPECT_EQ(r, before);
    }
    // 1000 bytes whose array covers the one whole sector: the ragged tail would go unchecked.
    Block ragged = FixedRecord(2);
    ragged.resize(1000);
    Put16(ragged, 0x06, 2);
    EXPECT_EQ(ApplyNtfsFixups(ragged), NtfsFixup::BadHeader);
}

// ---- records and attributes ----

// A 1024-byte record (fixups already applied) whose attributes start at 0x38.
struct RecordBuilder {
    Block r = Block(1024, 0);
    std::size_t at = 0x38;
    RecordBuilder() {
        std::copy_n("FILE", 4, r.begin());
        Put16(r, 0x10, 3);
        Put16(r, 0x12, 1);
        Put16(r, 0x14, 0x38);
        Put16(r, 0x16, kNtfsRecordInUse);
        Put32(r, 0x1C, 1024);
        Put32(r, 0x2C, 42);
    }
    std::size_t Resident(std::uint32_t type, std::u16string name, const Block& value, std::uint16_t id) {
        const std::size_t start = at;
        const std::size_t valueAt = (0x18 + 2 * name.size() + 7) & ~std::size_t{7};
        const std::size_t length = (valueAt + value.size() + 7) & ~std::size_t{7};
        Header(type, length, 0, name, 0x18, id);
        Put32(r, start + 0x10, static_cast<std::uint32_t>(value.size()));
        Put16(r, start + 0x14, static_cast<std::uint16_t>(valueAt));
        std::copy(value.begin(), value.end(), r.begin() + static_cast<std::ptrdiff_t>(start + valueAt));
        at += length;
        return start;
    }
    std::size_t NonResident(std::uint32_t type, const Block& runs, std::uint64_t lastVcn,
                            std::uint64_t size) {
        const std::size_t start = at;
        const std::size_t length = (0x40 + runs.size() + 7) & ~std::size_t{7};
        Header(type, length, 1, u"", 0x40, 5);
        Put64(r, start + 0x18, lastVcn);
        Put16(r, start + 0x20, 0x40);
        Put64(r, start + 0x28, (lastVcn + 1) * 4096);
        Put64(r, start + 0x30, size);
        Put64(r, start + 0x38, size / 2);
        std::copy(runs.begin(), runs.end(), r.begin() + static_cast<std::ptrdiff_t>(start + 0x40));
        at += length;
        return start;
    }
    void Header(std::uint32_t type, std::size_t length, std::uint8_t nonResident, const std::u16string& name,
                std::size_t nameAt, std::uint16_t id) {
        Put32(r, at, type);
        Put32(r, at + 4, static_cast<std::uint32_t>(length));
        r[at + 8] = nonResident;
        r[at + 9] = static_cast<std::uint8_t>(name.size());
        Put16(r, at + 0x0A, static_cast<std::uint16_t>(nameAt));
        Put16(r, at + 0x0E, id);
        for (std::size_t i = 0; i < name.size(); ++i) Put16(r, at + nameAt + 2 * i, name[i]);
    }
    Block Finish() {
        Put32(r, at, kNtfsEndMarker);
        Put32(r, 0x18, static_cast<std::uint32_t>(at + 8));
        return r;
    }
};

std::vector<NtfsAttribute> Walk(const Block& record) {
    const auto header = DecodeNtfsRecordHeader(record);
    if (!header) return {};
    std::vector<NtfsAttribute> out;
    NtfsAttributeWalk walk(record, *header);
    while (auto a = walk.Next()) out.push_back(*a);
    return out;
}

// Three attributes: $STANDARD_INFORMATION, a resident stream named "ads", a non-resident $DATA.
struct ThreeAttributes {
    RecordBuilder b;
    std::size_t info, stream, data;
    ThreeAttributes() {
        info = b.Resident(kNtfsStandardInformation, u"", Block(0x48, 0x11), 0);
        stream = b.Resident(kNtfsData, u"ads", Block{'h', 'i'}, 3);
        data = b.NonResident(kNtfsData, {0x11, 0x04, 0x20, 0x00}, 3, 16000);
    }
};

TEST(NtfsRecord, ResidentAndNonResidentFieldsComeFromTheirOwnLayouts) {
    ThreeAttributes t;
    const Block record = t.b.Finish();
    const auto header = DecodeNtfsRecordHeader(record);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->sequence, 3);
    EXPECT_EQ(header->recordNumber, 42u);
    EXPECT_TRUE(header->InUse());
    EXPECT_FALSE(header->Directory());

    const auto all = Walk(record);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].type, kNtfsStandardInformation);
    EXPECT_EQ(all[0].value.size(), 0x48u);
    EXPECT_EQ(all[0].value[0], 0x11);
    EXPECT_EQ(all[1].name, u"ads");
    EXPECT_EQ(all[1].id, 3);
    ASSERT_EQ(all[1].value.size(), 2u);
    EXPECT_EQ(all[1].value[1], 'i');
    EXPECT_EQ(all[1].bytes.data(), record.data() + t.stream);

    const NtfsAttribute& d = all[2];
    EXPECT_TRUE(d.nonResident);
    EXPECT_TRUE(d.value.empty());
    EXPECT_EQ(d.lastVcn, 3u);
    EXPECT_EQ(d.allocatedSize, 16384u);
    EXPECT_EQ(d.dataSize, 16000u);
    EXPECT_EQ(d.initializedSize, 8000u);
    EXPECT_EQ(d.runlist.size(), d.length - 0x40);
    const auto runs = DecodeNtfsRunlist(d.runlist, d.firstVcn, 100);
    ASSERT_TRUE(runs);
    ASSERT_EQ(runs->size(), 1u);
    EXPECT_EQ(runs->at(0).lcn, 0x20u);
}

TEST(NtfsRecord, WalkStopsAtTheFirstDamagedAttribute) {
    // Each damage in the stream attribute leaves only what precedes it.
    const auto damaged = [](auto damage) {
        ThreeAttributes t;
        Block r = t.b.Finish();
        damage(r, t.stream);
        return Walk(r).size();
    };
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put32(r, at + 4, 0); }), 1u);
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put32(r, at + 4, 0x1C); }), 1u);       // unaligned
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put32(r, at + 4, 0x10); }), 1u);       // no header
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put32(r, at + 4, 0x100000); }), 1u);   // past the record
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put32(r, at + 0x10, 0x1000); }), 1u);  // value past it
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { r[at + 9] = 200; }), 1u);              // name past it
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { r[at + 8] = 2; }), 1u);
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put32(r, at, kNtfsEndMarker); }), 1u);
    // The runlist offset of the non-resident one lies inside its header or past its end.
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put16(r, at + 0x28 + 0x20, 0x18); }), 2u);
    EXPECT_EQ(damaged([](Block& r, std::size_t at) { Put16(r, at + 0x28 + 0x20, 0x50); }), 2u);

    // usedBytes cuts the walk; a usedBytes beyond the buffer is held to it.
    ThreeAttributes t;
    Block r = t.b.Finish();
    Put32(r, 0x18, static_cast<std::uint32_t>(t.data + 0x20));
    EXPECT_EQ(Walk(r).size(), 2u);
    Put32(r, 0x18, 0xFFFFFFFF);
    Put32(r, t.b.at, 0);  // no end marker: the zero length ends it
    EXPECT_EQ(Walk(r).size(), 3u);
    Block shortRecord(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(t.data + 0x40));
    EXPECT_EQ(Walk(shortRecord).size(), 2u);

    Put16(r, 0x14, 0x400);
    EXPECT_FALSE(DecodeNtfsRecordHeader(r));
    EXPECT_FALSE(DecodeNtfsAttribute(r, t.stream + 4, r.size()));  // unaligned start
}

// ---- attribute values ----

Block FileNameValue(std::u16string name, std::uint8_t space) {
    Block v(0x42 + 2 * name.size(), 0);
    Put64(v, 0x00, (2ull << 48) | 77);
    Put64(v, 0x30, 1234);
    Put32(v, 0x38, 0x10000000);
    v[0x40] = static_cast<std::uint8_t>(name.size());
    v[0x41] = space;
    for (std::size_t i = 0; i < name.size(); ++i) Put16(v, 0x42 + 2 * i, name[i]);
    return v;
}

TEST(NtfsValues, FileNameAndTheChoiceAmongNames) {
    const Block v = FileNameValue(u"Report.docx", 1);
    const auto f = DecodeNtfsFileName(v);
    ASSERT_TRUE(f);
    EXPECT_EQ(NtfsRefRecord(f->parent), 77u);
    EXPECT_EQ(NtfsRefSequence(f->parent), 2);
    EXPECT_EQ(f->dataSize, 1234u);
    EXPECT_EQ(f->flags, 0x10000000u);
    EXPECT_EQ(f->nameSpace, NtfsNamespace::Win32);
    EXPECT_EQ(f->name, u"Report.docx");
    EXPECT_FALSE(DecodeNtfsFileName(Bytes(v).first(v.size() - 1)));
    EXPECT_FALSE(DecodeNtfsFileName(FileNameValue(u"x", 4)));
    EXPECT_TRUE(DecodeNtfsFileName(FileNameValue(u"", 0)));

    // The long name wins whichever order the record holds them in; the 8.3 alias never displaces it.
    using N = NtfsNamespace;
    for (const N longName : {N::Win32, N::Posix, N::Win32AndDos}) {
        EXPECT_TRUE(NtfsNameBetter(longName, N::Dos));
        EXPECT_FALSE(NtfsNameBetter(N::Dos, longName));
    }
    EXPECT_FALSE(NtfsNameBetter(N::Dos, N::Dos));
    EXPECT_FALSE(NtfsNameBetter(N::Win32, N::Win32AndDos));

    EXPECT_FALSE(DecodeNtfsStandardInformation(Block(0x23, 0)));
    Block info(0x48, 0);
    Put64(info, 0x18, 99);
    Put32(info, 0x20, 0x22);
    const auto si = DecodeNtfsStandardInformation(info);
    ASSERT_TRUE(si);
    EXPECT_EQ(si->accessed, 99u);
    EXPECT_EQ(si->dosAttributes, 0x22u);
}

TEST(NtfsValues, NamesBecomeUtf8WithSurrogatePairsJoined) {
    EXPECT_EQ(NtfsNameUtf8(u"caf\u00e9"), "caf\xC3\xA9");
    EXPECT_EQ(NtfsNameUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(NtfsNameUtf8(std::u16string{u'a', 0xD83D}), "a" + bad);    // high at the end
    EXPECT_EQ(NtfsNameUtf8(std::u16string{0xDE00, 0xD83D}), bad + bad);  // reversed
    EXPECT_EQ(NtfsNameUtf8(std::u16string{0xD83D, u'b'}), bad + "b");
}

Block ListEntry(std::uint32_t type, std::u16string name, std::uint64_t vcn, std::uint64_t ref,
                std::uint16_t id) {
    Block e((0x1A + 2 * name.size() + 7) & ~std::size_t{7}, 0);
    Put32(e, 0, type);
    Put16(e, 4, static_cast<std::uint16_t>(e.size()));
    e[6] = static_cast<std::uint8_t>(name.size());
    e[7] = 0x1A;
    Put64(e, 0x08, vcn);
    Put64(e, 0x10, ref);
    Put16(e, 0x18, id);
    for (std::size_t i = 0; i < name.size(); ++i) Put16(e, 0x1A + 2 * i, name[i]);
    return e;
}

TEST(NtfsValues, AttributeListEndsAtAZeroOrOverlongEntry) {
    Block list = ListEntry(kNtfsStandardInformation, u"", 0, 40, 0);
    for (const Block& e :
         {ListEntry(kNtfsData, u"$SDS", 0, 41, 2), ListEntry(kNtfsData, u"$SDS", 300, 52, 7)})
        list.insert(list.end(), e.begin(), e.end());
    auto entries = DecodeNtfsAttributeList(list);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].name, u"$SDS");
    EXPECT_EQ(entries[2].firstVcn, 300u);
    EXPECT_EQ(entries[2].record, 52u);
    EXPECT_EQ(entries[2].id, 7);
    EXPECT_EQ(entries[2].length, 0x28);

    const std::size_t second = entries[0].length;
    Block zero = list;
    Put16(zero, second + 4, 0);
    EXPECT_EQ(DecodeNtfsAttributeList(zero).size(), 1u);
    Block overlong = list;
    Put16(overlong, second + 0x28 + 4, 0x30);
    EXPECT_EQ(DecodeNtfsAttributeList(overlong).size(), 2u);
    Block badName = list;
    badName[second + 6] = 40;
    EXPECT_EQ(DecodeNtfsAttributeList(badName).size(), 1u);
}

// ---- runlists ----

TEST(NtfsRunlist, OffsetsAreSignedAndRelativeToTheLastRealRun) {
    const Block runs{0x21, 0x10, 0x00, 0x01,  // 16 clusters at 256
                     0x11, 0x08, 0xF0,        // 8 at 256 - 16
                     0x01, 0x04,              // a hole of 4
                     0x11, 0x02, 0x20,        // 2 at 240 + 32: the hole did not move the base
                     0x00};
    const auto r = DecodeNtfsRunlist(runs, 10, 1000);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 4u);
    EXPECT_EQ(r->at(0).vcn, 10u);
    EXPECT_EQ(r->at(0).lcn, 256u);
    EXPECT_EQ(r->at(1).vcn, 26u);
    EXPECT_EQ(r->at(1).lcn, 240u);
    EXPECT_EQ(r->at(2).vcn, 34u);
    EXPECT_EQ(r->at(2).length, 4u);
    EXPECT_FALSE(r->at(2).lcn);
    EXPECT_EQ(r->at(3).vcn, 38u);
    EXPECT_EQ(r->at(3).lcn, 272u);

    // Without the terminator, the bytes' end ends the list.
    EXPECT_EQ(DecodeNtfsRunlist(Bytes(runs).first(runs.size() - 1), 10, 1000)->size(), 4u);
    EXPECT_TRUE(DecodeNtfsRunlist(Block{0x00}, 0, 1)->empty());
}

TEST(NtfsRunlist, FieldsOfOneToEightBytes) {
    for (std::size_t w = 1; w <= 8; ++w) {
        SCOPED_TRACE(w);
        // Values that need all w bytes; the offset's top bit stays clear so it is positive.
        const std::uint64_t length = (0x01ull << (8 * (w - 1))) | 0x05;
        const std::uint64_t offset = (0x41ull << (8 * (w - 1))) | 0x23;
        Block runs{static_cast<std::uint8_t>((w << 4) | w)};
        for (std::size_t i = 0; i < w; ++i) runs.push_back((length >> (8 * i)) & 0xFF);
        for (std::size_t i = 0; i < w; ++i) runs.push_back((offset >> (8 * i)) & 0xFF);
        // Then one cluster one back: -1 in w bytes.
        runs.push_back(static_cast<std::uint8_t>((w << 4) | 1));
        runs.push_back(1);
        runs.insert(runs.end(), w, 0xFF);
        runs.push_back(0);
        const auto r = DecodeNtfsRunlist(runs, 0, UINT64_MAX);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->size(), 2u);
        EXPECT_EQ(r->at(0).length, length);
        EXPECT_EQ(r->at(0).lcn, offset);
        EXPECT_EQ(r->at(1).vcn, length);
        EXPECT_EQ(r->at(1).lcn, offset - 1);
    }
}

TEST(NtfsRunlist, ImpossibleRunsRefuseTheList) {
    const auto decode = [](Block runs, std::uint64_t limit = 1000) {
        return DecodeNtfsRunlist(runs, 0, limit);
    };
    EXPECT_FALSE(decode({0x11, 0x04, 0x10, 0x11, 0x01, 0xE0, 0x00}));     // 16 - 32 < 0
    EXPECT_TRUE(decode({0x11, 0x04, 0x10, 0x11, 0x01, 0xF0, 0x00}));      // 16 - 16 = 0 is the boot sector
    EXPECT_FALSE(decode({0x11, 0x00, 0x10, 0x00}));                       // zero length
    EXPECT_FALSE(decode({0x10, 0x10, 0x00}));                             // no length bytes
    EXPECT_FALSE(decode({0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00}));  // 9 bytes of length
    EXPECT_FALSE(decode({0x91, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}));     // 9 bytes of offset
    EXPECT_FALSE(decode({0x21, 0x04, 0x10}));                             // the pair runs past the bytes
    // The run's last cluster must lie before the limit.
    EXPECT_TRUE(decode({0x21, 0x0A, 0xDE, 0x03, 0x00}));   // 10 at 990: 990..999
    EXPECT_FALSE(decode({0x21, 0x0B, 0xDE, 0x03, 0x00}));  // 11 at 990
    EXPECT_FALSE(decode({0x21, 0x01, 0xE8, 0x03, 0x00}));  // at 1000
    Block wraps;
    for (int i = 0; i < 3; ++i) wraps.insert(wraps.end(), {0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x7F});
    wraps.push_back(0);
    EXPECT_TRUE(decode(Block(wraps.begin(), wraps.begin() + 20), UINT64_MAX));
    EXPECT_FALSE(decode(wraps, UINT64_MAX));  // the third sum wraps
    // A hole may lie anywhere, but the VCNs may not wrap.
    EXPECT_TRUE(decode({0x08, 0, 0, 0, 0, 0, 0, 0, 0x70, 0x00}));
    EXPECT_FALSE(DecodeNtfsRunlist(Block{0x01, 0x02, 0x00}, UINT64_MAX - 1, 10));
}

// ---- LZNT1 ----

// The 142-byte text and the 59 bytes a Windows compressor makes of it, from the published description of the
// format.
const std::string kTune =
    "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# D E F# G F# E D "
    "E A "
    "F# F# G A A G F# E D D E F# E D D";
const Block kTuneCompressed{0x38, 0xb0, 0x88, 0x46, 0x23, 0x20, 0x00, 0x20, 0x47, 0x20, 0x41, 0x00,
                            0x10, 0xa2, 0x47, 0x01, 0xa0, 0x45, 0x20, 0x44, 0x00, 0x08, 0x45, 0x01,
                            0x50, 0x79, 0x00, 0xc0, 0x45, 0x20, 0x05, 0x24, 0x13, 0x88, 0x05, 0xb4,
                            0x02, 0x4a, 0x44, 0xef, 0x03, 0x58, 0x02, 0x8c, 0x09, 0x16, 0x01, 0x48,
                            0x45, 0x00, 0xbe, 0x00, 0x9e, 0x00, 0x04, 0x01, 0x18, 0x90, 0x00};

std::string Text(const Block& out, std::size_t n) {
    return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

// A compressed chunk whose back references fall where 4, 5 and 12 bits of displacement apply.
Block WidthChunk() {
    Block body{0x00};  // 8 literals
    for (char c = 'A'; c <= 'H'; ++c) body.push_back(static_cast<std::uint8_t>(c));
    body.push_back(0x00);
    for (char c = 'I'; c <= 'P'; ++c) body.push_back(static_cast<std::uint8_t>(c));
    body.push_back(0x0F);  // four references
    for (const std::uint16_t token :
         {0xF000,   // at 16, 4|12 bits: 16 back, 3 long: "ABC"
          0x8001,   // at 19, 5|11 bits: 17 back, 4 long: "CDEF"
          0x07FF,   // at 23, 5|11 bits: 1 back, 2050 long: 'F' repeated
          0x818F})  // at 2073, 12|4 bits: 2073 back, 18 long: "ABCDEFGHIJKLMNOPAB"
    {
        body.push_back(token & 0xFF);
        body.push_back(token >> 8);
    }
    Block chunk{0, 0};
    Put16(chunk, 0, static_cast<std::uint16_t>(0xB000 | (body.size() - 1)));
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
}

TEST(NtfsLznt1, BackReferencesAcrossDisplacementWidths) {
    Block out(4096, 0xEE);
    auto n = DecompressLznt1(kTuneCompressed, out);
    ASSERT_TRUE(n);
    EXPECT_EQ(Text(out, *n), kTune + '\0');
    EXPECT_EQ(out[*n], 0);  // zero-filled past what was produced

    const Block chunk = WidthChunk();
    n = DecompressLznt1(chunk, out);
    ASSERT_TRUE(n);
    const std::string expected =
        "ABCDEFGHIJKLMNOP"
        "ABC"
        "CDEF" +
        std::string(2050, 'F') + "ABCDEFGHIJKLMNOPAB";
    EXPECT_EQ(*n, expected.size());
    EXPECT_EQ(Text(out, *n), expected);
}

TEST(NtfsLznt1, StoredChunksAndChunkBoundaries) {
    // A short compressed chunk, then a stored one: the second starts at 4096, the gap stays zero.
    Block unit = kTuneCompressed;
    unit.push_back(0xFF);
    unit.push_back(0x3F);
    for (int i = 0; i < 4096; ++i) unit.push_back(static_cast<std::uint8_t>(i * 7));
    unit.push_back(0);
    unit.push_back(0);
    unit.push_back(0x12);  // after the terminator: never read
    Block out(16384, 0xEE);
    const auto n = DecompressLznt1(unit, out);
    ASSERT_TRUE(n);
    EXPECT_EQ(*n, 8192u);
    EXPECT_EQ(Text(out, kTune.size()), kTune);
    EXPECT_EQ(std::count(out.begin() + 142, out.begin() + 4096, 0), 4096 - 142);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(out[4096 + i], static_cast<std::uint8_t>(i * 7)) << i;
    EXPECT_EQ(std::count(out.begin() + 8192, out.end(), 0), 8192);

    // A full unit ends where out does, whatever slack follows.
    unit.resize(unit.size() - 3);
    unit.insert(unit.end(), {0xFF, 0xFF, 0x01});
    Block full(8192);
    EXPECT_EQ(DecompressLznt1(unit, full), 8192u);
}

TEST(NtfsLznt1, MalformedChunksStopWithEarlierOutputKept) {
    Block out(8192);
    const auto refused = [&](Block second) {
        Block unit = kTuneCompressed;
        unit.insert(unit.end(), second.begin(), second.end());
        const bool ok = DecompressLznt1(unit, out).has_value();
        EXPECT_EQ(Text(out, kTune.size()), kTune);
        return !ok;
    };
    EXPECT_TRUE(refused({0x02, 0xB0, 0x01, 0x00, 0x00}));  // a reference with nothing before it
    EXPECT_TRUE(refused({0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x00, 0x30}));  // at 3, 4 back
    EXPECT_TRUE(refused({0x10, 0xB0, 0x00, 'a'}));                        // the chunk runs past the unit
    EXPECT_TRUE(refused({0x03, 0xB0, 0x02, 'a', 0xFF, 0x0F}));            // at 1, 4098 long: past the chunk
    EXPECT_TRUE(refused({0x02, 0xB0, 0x02, 'a', 0x00}));                  // half a token
    EXPECT_FALSE(refused({0x03, 0xB0, 0x02, 'a', 0x00, 0x00}));           // at 1, 1 back, 3 long
}

}  // namespace
}  // namespace salvora
