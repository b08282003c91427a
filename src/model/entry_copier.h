#pragma once
// The one writer of recovered files: an entry's content, read through its byte runs, into a new file with the
// entry's stored times. Every save (folder, checked items, single file, recover) goes through it.
#include <ctime>
#include <optional>
#include <string>

#include "model/parser_base.h"

namespace salvora {

// Creates destPath exclusively (an existing file is never overwritten), mode 0644, writes the content (holes
// stay holes, unreadable bytes are zeros, content whose runs stop short leaves the file short), sets the stored
// access and modification times. What was written stays for the caller to keep or remove.
CopyResult CopyEntry(ParserBase& parser, EntryId id, const std::string& destPath);
// The same for content that no parser holds (a carved file).
CopyResult CopyContent(readWriteInterface* source, const EntryContent& content, const StoredTimes& stored,
                       const std::string& destPath);

// Reads content for WriteStaged; nullopt when more than maxBytes are stored (such a file goes through
// CopyContent, piece by piece).
std::optional<StagedCopy> StageContent(readWriteInterface* source, const EntryContent& content,
                                       const StoredTimes& stored, std::string destPath, std::uint64_t maxBytes);
std::optional<StagedCopy> StageEntry(ParserBase& parser, EntryId id, std::string destPath, std::uint64_t maxBytes);
// Creates and writes the file as CopyContent does; sets copy.result.written.
void WriteStaged(StagedCopy& copy);

}  // namespace salvora
