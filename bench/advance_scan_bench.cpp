// Driver for advance-scan.sh: makes the benchmark image, or runs the advance scan over an image and prints
// what it found and how long it took.
//   advance_scan_bench --make IMG MIB   pseudo-random image with a few boot sectors in it
//   advance_scan_bench IMG [--skip]     advance scan (without --skip every sector is read, as cat does)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "io/file_read_seek.h"
#include "volumes/partition.h"

namespace {

void Put(std::vector<std::uint8_t>& s, std::size_t off, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) s[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A boot sector of the given kind declaring a 64 MiB volume.
std::vector<std::uint8_t> BootSector(int kind) {
    std::vector<std::uint8_t> s(512, 0);
    s[0] = 0xEB;
    s[2] = 0x90;
    switch (kind) {
        case 0:  // NTFS
            s[1] = 0x52;
            std::memcpy(&s[3], "NTFS    ", 8);
            Put(s, 11, 512, 2);
            Put(s, 40, 131071, 8);
            break;
        case 1:  // FAT32
            s[1] = 0x58;
            std::memcpy(&s[3], "MSDOS5.0", 8);
            Put(s, 11, 512, 2);
            Put(s, 32, 131072, 4);
            break;
        default:  // exFAT
            s[1] = 0x76;
            std::memcpy(&s[3], "EXFAT   ", 8);
            Put(s, 72, 131072, 8);
            break;
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

int Make(const char* path, std::uint64_t mib) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> block((1u << 20) / 8);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t m = 0; m < mib; ++m) {
        for (auto& w : block) {  // xorshift64*
            x ^= x >> 12;
            x ^= x << 25;
            x ^= x >> 27;
            w = x * 0x2545F4914F6CDD1Dull;
        }
        // Every 200th MiB holds a volume start a little past the MiB boundary.
        if (m % 200 == 3) {
            const auto boot = BootSector(static_cast<int>(m / 200 % 3));
            std::memcpy(reinterpret_cast<std::uint8_t*>(block.data()) + 63 * 512, boot.data(), boot.size());
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * 8));
    }
    return out ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--make") == 0) return Make(argv[2], std::stoull(argv[3]));
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s --make IMG MIB | %s IMG [--skip]\n", argv[0], argv[0]);
        return 2;
    }
    salvora::FileReadSeek reader;
    if (!reader.OpenSource(argv[1])) return 1;
    salvora::theReader = &reader;
    std::vector<salvora::VolumeEntry> volumes;
    salvora::Partition scanner;
    scanner.volumeList = &volumes;
    scanner.skipFoundVolumes = argc > 2 && std::strcmp(argv[2], "--skip") == 0;
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t code = scanner.ScanForBootSectors(reader);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const auto& v : volumes)
        std::printf("%s\t%s\t%llu\n", v.fileSystemLabel.c_str(), v.sizeText.c_str(),
                    static_cast<unsigned long long>(v.startSector));
    std::fprintf(stderr, "%zu volumes, code %u, %.3f s\n", volumes.size(), code, seconds);
    salvora::theReader = nullptr;
    return code == 0 ? 0 : 1;
}
