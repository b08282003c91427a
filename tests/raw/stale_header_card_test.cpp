// A camera card whose first sectors hold stale headers claiming about 1 GiB (a BMP file header with no
// bitmap behind it, a RIFF and a CAB header whose structure was overwritten), carved with the shipped
// signatures: every real file behind them comes back byte for byte, and a valid sized file is still carved at
// the size it states, even with another file's header inside it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "raw/carved_saver.h"
#include "raw/carving_engine.h"
#include "raw/settings_file.h"
#include "raw_test_support.h"

namespace salvora {
namespace {

using Bytes8 = std::vector<std::uint8_t>;
constexpr std::int64_t kGiB = std::int64_t{1} << 30;

void Le(Bytes8& v, std::uint32_t x, int width = 4) {
    for (int i = 0; i < width; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void Be32(Bytes8& v, std::uint32_t x) {
    for (int i = 3; i >= 0; --i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void Add(Bytes8& v, const Bytes8& more) { v.insert(v.end(), more.begin(), more.end()); }
void Add(Bytes8& v, const char* text) { v.insert(v.end(), text, text + std::strlen(text)); }

Bytes8 Noise(std::size_t n, std::uint32_t seed) {
    Bytes8 out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    return out;
}

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// Baseline JPEG segments, then entropy-coded data with stuffed 0xFF bytes and a restart marker.
Bytes8 Jpeg(std::size_t entropyBytes, std::uint32_t seed) {
    Bytes8 j{0xFF, 0xD8, 0xFF, 0xE0, 0, 16};
    Add(j, "JFIF");
    Add(j, {0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    Add(j, {0xFF, 0xDB, 0, 67, 0});
    Add(j, Bytes8(64, 1));
    Add(j, {0xFF, 0xC0, 0, 11, 8, 0, 16, 0, 16, 1, 1, 0x11, 0});
    Add(j, {0xFF, 0xC4, 0, 20, 0, 1});
    Add(j, Bytes8(15, 0));
    Add(j, {0, 0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0x3F, 0});
    for (const std::uint8_t b : Noise(entropyBytes, seed)) {
        j.push_back(b);
        if (b == 0xFF) j.push_back(0);
    }
    Add(j, {0xFF, 0xD0, 0x12, 0x34, 0xFF, 0xD9});
    return j;
}

// An 8-bit grey PNG whose rows are stored in one uncompressed deflate block.
Bytes8 Png(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    const auto chunk = [](Bytes8& png, const char* type, const Bytes8& data) {
        Be32(png, static_cast<std::uint32_t>(data.size()));
        const std::size_t from = png.size();
        Add(png, type);
        Add(png, data);
        Be32(png, Crc32(png.data() + from, png.size() - from));
    };
    Bytes8 raw;
    for (std::uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        Add(raw, Noise(width, seed + y));
    }
    std::uint32_t a = 1, b = 0;
    for (const std::uint8_t x : raw) a = (a + x) % 65521, b = (b + a) % 65521;
    Bytes8 z{0x78, 0x01, 0x01};
    Le(z, static_cast<std::uint32_t>(raw.size()), 2);
    Le(z, static_cast<std::uint32_t>(~raw.size()), 2);
    Add(z, raw);
    Be32(z, (b << 16) | a);
    Bytes8 ihdr;
    Be32(ihdr, width);
    Be32(ihdr, height);
    Add(ihdr, {8, 0, 0, 0, 0});
    Bytes8 png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", {});
    return png;
}

// 24 bits a pixel, rows padded to four bytes.
Bytes8 Bmp(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    const std::uint32_t pixels = (width * 3 + 3) / 4 * 4 * height;
    Bytes8 bmp{'B', 'M'};
    Le(bmp, 54 + pixels);
    Le(bmp, 0);
    Le(bmp, 54);
    Le(bmp, 40);
    Le(bmp, width);
    Le(bmp, height);
    Add(bmp, {1, 0, 24, 0});
    Le(bmp, 0);
    Le(bmp, pixels);
    Add(bmp, Bytes8(16, 0));
    Add(bmp, Noise(pixels, seed));
    return bmp;
}

// 16-bit PCM with an odd-sized LIST chunk (padded) between "fmt " and "data".
Bytes8 Wav(const Bytes8& samples) {
    Bytes8 body;
    Add(body, "WAVEfmt ");
    Le(body, 16);
    Add(body, {1, 0, 1, 0});
    Le(body, 8000);
    Le(body, 16000);
    Add(body, {2, 0, 16, 0});
    Add(body, "LIST");
    Le(body, 13);
    Add(body, "INFOISFT");
    Le(body, 1);
    Add(body, {'x', 0});
    Add(body, "data");
    Le(body, static_cast<std::uint32_t>(samples.size()));
    Add(body, samples);
    Bytes8 wav;
    Add(wav, "RIFF");
    Le(wav, static_cast<std::uint32_t>(body.size()));
    Add(wav, body);
    return wav;
}

// One folder, one file stored without compression in data blocks of at most 32 KiB.
Bytes8 Cab(const Bytes8& content) {
    constexpr std::size_t kBlock = 32768;
    const std::size_t blocks = (content.size() + kBlock - 1) / kBlock;
    const std::uint32_t filesAt = 36 + 8, dataAt = filesAt + 16 + 6;
    const auto total = static_cast<std::uint32_t>(dataAt + 8 * blocks + content.size());
    Bytes8 cab;
    Add(cab, "MSCF");
    for (const std::uint32_t x : {0u, total, 0u, filesAt, 0u}) Le(cab, x);
    Add(cab, {3, 1, 1, 0, 1, 0, 0, 0, 0x34, 0x12, 0, 0});
    Le(cab, dataAt);
    Le(cab, static_cast<std::uint32_t>(blocks), 2);
    Le(cab, 0, 2);
    Le(cab, static_cast<std::uint32_t>(content.size()));
    Add(cab, {0, 0, 0, 0, 0, 0, 0x21, 0x57, 0, 0, 0x20, 0});
    cab.insert(cab.end(), "a.txt", "a.txt" + 6);
    for (std::size_t at = 0; at < content.size(); at += kBlock) {
        const auto n = static_cast<std::uint32_t>(std::min(kBlock, content.size() - at));
        Le(cab, 0);
        Le(cab, n, 2);
        Le(cab, n, 2);
        cab.insert(cab.end(), content.begin() + static_cast<std::ptrdiff_t>(at),
                   content.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    return cab;
}

std::map<std::int64_t, std::int64_t> CarveCard(const Bytes8& card, std::int64_t volumeSize,
                                               std::map<std::int64_t, Bytes8>* saved = nullptr) {
    rawtest::RecordingUi ui;
    rawtest::MemoryReader reader(card);  // zeros past the written bytes
    ResultTree tree;
    myJpg engine;
    EXPECT_TRUE(LoadSettingsFile(engine, DefaultSettingsPath(), SettingsKind::Default));
    // A camera card's settings may let a bitmap be as large as a RIFF file: its size field alone then
    // decides.
    for (FileTypeEntry& f : engine.fileTypeTable)
        if (f.extension == "bmp") f.approxSize = 2 * kGiB;
    engine.tree = &tree;
    engine.volumeSize = volumeSize;
    engine.window = VolumeWindow(&reader, 0, static_cast<std::uint64_t>(volumeSize));
    engine.RunCarving();
    std::map<std::int64_t, std::int64_t> carved;
    for (const CarvedFile& f : engine.CarvedFiles()) EXPECT_TRUE(carved.emplace(f.start, f.size).second);
    if (saved) {
        const auto out =
            std::filesystem::temp_directory_path() / ("salvora-stale-" + std::to_string(::getpid()));
        std::filesystem::remove_all(out);
        std::filesystem::create_directories(out);
        const std::atomic<bool> cancel{false};
        // A claim of a gibibyte that got through is reported above; it is not written out.
        std::vector<std::size_t> rows;
        for (const std::size_t row : CarvedRowsUnder(tree, tree.Root()))
            if (engine.CarvedRow(row)->size < 64 * std::int64_t{rawtest::kMiB}) rows.push_back(row);
        const auto outcome = SaveCarvedFiles(engine, rows, out.string(), cancel);
        EXPECT_EQ(outcome.failed, 0u);
        for (const CarvedFile& f : engine.CarvedFiles()) {
            std::ifstream in(out / CarvedFileName(f.start, engine.fileTypeTable[f.type].extension),
                             std::ios::binary);
            (*saved)[f.start] = Bytes8(std::istreambuf_iterator<char>(in), {});
        }
        std::filesystem::remove_all(out);
    }
    return carved;
}

TEST(RawStaleHeaders, ClaimsOfAGibibyteHideNoFileBehindThem) {
    Bytes8 card(2 * rawtest::kMiB);
    // Sector 0: the 14-byte file header of a bitmap long gone, then a directory listing's text.
    Bytes8 stale{'B', 'M'};
    Le(stale, 0x3FFFFC00);
    Le(stale, 0);
    Le(stale, 54);
    Add(stale, "DCIM/100CANON/IMG_0001.JPG DCIM/100CANON/IMG_0002.JPG");
    rawtest::Put(card, 0, stale);
    // Sectors 1 and 2: a RIFF WAVE header claiming 1 GiB and a cabinet claiming 400 MiB, the bytes after
    // them zeroed.
    rawtest::Put(card, 512, {'R', 'I', 'F', 'F', 0x00, 0x00, 0xFF, 0x3F, 'W', 'A', 'V', 'E'});
    rawtest::Put(card, 1024, {'M', 'S', 'C', 'F', 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x19});

    // A WAV whose samples hold a JPEG at a sector start: both are files.
    const Bytes8 inner = Jpeg(700, 8);
    Bytes8 wavWithJpeg = Wav(Noise(6000, 7));
    std::copy(inner.begin(), inner.end(), wavWithJpeg.begin() + 2048);
    const std::map<std::int64_t, Bytes8> files{
        {4096, Jpeg(20000, 1)},       {32768, Png(120, 90, 2)}, {49152, Bmp(37, 20, 3)},
        {53248, Wav(Noise(4000, 4))}, {61440, wavWithJpeg},     {61440 + 2048, inner},
        {73728, Cab(Noise(1500, 5))},
    };
    for (const auto& [at, bytes] : files) rawtest::Put(card, static_cast<std::size_t>(at), bytes);

    std::map<std::int64_t, Bytes8> saved;
    const auto carved = CarveCard(card, kGiB + rawtest::kMiB, &saved);
    std::map<std::int64_t, std::int64_t> expected;
    for (const auto& [at, bytes] : files) expected[at] = static_cast<std::int64_t>(bytes.size());
    EXPECT_EQ(carved, expected);
    for (const auto& [at, bytes] : files) EXPECT_TRUE(saved[at] == bytes) << "file at " << at;
}

TEST(RawStaleHeaders, ValidSizedFilesAloneKeepTheirStatedSize) {
    const Bytes8 bmp = Bmp(300, 200, 11), wav = Wav(Noise(300000, 12)), cab = Cab(Noise(90000, 13));
    Bytes8 card(2 * rawtest::kMiB);
    rawtest::Put(card, 0, bmp);
    rawtest::Put(card, 512 * 1024, wav);
    rawtest::Put(card, 1536 * 1024, cab);
    const auto carved = CarveCard(card, static_cast<std::int64_t>(card.size()));
    EXPECT_EQ(carved,
              (std::map<std::int64_t, std::int64_t>{{0, static_cast<std::int64_t>(bmp.size())},
                                                    {512 * 1024, static_cast<std::int64_t>(wav.size())},
                                                    {1536 * 1024, static_cast<std::int64_t>(cab.size())}}));
}

}  // namespace
}  // namespace salvora
