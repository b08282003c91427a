#pragma once
// An entry's content as byte runs on the source, and the reader built on them. Every parser describes where a
// file's bytes lie; anything that needs the bytes (the Recycle Bin pass, `cat`, `stat`) reads them the same way.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "io/file_read_seek.h"

namespace salvora {

enum class RunKind : std::uint8_t {
    Source,    // bytes at `at` on the source (absolute, not from the volume's start)
    Hole,      // zeros: a sparse file's hole, an unwritten extent
    Resident,  // bytes at `at` of EntryContent::resident (inline data, a short link's target)
};

struct ContentRun {
    std::uint64_t fileOffset = 0;
    std::uint64_t length = 0;
    RunKind kind = RunKind::Source;
    std::uint64_t at = 0;
    // Guessed rather than stated by the file system: a deleted file read on from its first cluster, a drive
    // read as formatted.
    bool inferred = false;
};

struct EntryContent {
    std::uint64_t size = 0;  // the file's stated size; runs cover [0, size) in order unless `whole` is false
    std::vector<ContentRun> runs;
    std::vector<std::uint8_t> resident;
    // False when the runs cannot cover the size: a chain that ends early or loops, blocks past the volume.
    bool whole = true;
    // Bytes placed by a guess where the file system's own map of them could not be read (a FAT sector that no
    // copy holds): written, but counted as unreadable, since they may be another file's.
    std::uint64_t unsure = 0;

    // Appends a run, joining it to the last one when it continues it on the source.
    void Add(std::uint64_t length, RunKind kind, std::uint64_t at, bool inferred = false);
    std::uint64_t Covered() const { return runs.empty() ? 0 : runs.back().fileOffset + runs.back().length; }
};

struct ContentRead {
    std::uint64_t bytes = 0;  // delivered into the buffer (zeros where nothing could be read)
    // File ranges [first, second) that could not be read: past the runs, past the source, unreadable sectors.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable;
};

// What writing an entry's content to a file came to.
struct CopyResult {
    bool written = false;       // the file was created and every write to it succeeded
    std::uint64_t missing = 0;  // content bytes that could not be read (zeros in the file) or that no run reaches
    std::uint64_t size = 0;     // the content's stated size
    // Whole: written, nothing missing.
    explicit operator bool() const { return written && missing == 0; }
};

// Reads [offset, offset + out.size()) of the content, cut at its size; without a source only resident bytes and
// holes can be read. Unreadable sectors are named to the byte range, not the whole piece.
ContentRead ReadContent(readWriteInterface* source, const EntryContent& content, std::uint64_t offset,
                        std::span<std::uint8_t> out);

}  // namespace salvora
