#pragma once
// What a partition holds, read from its content rather than from the table: the label the parsers go by and
// the file system's everyday name.
#include <cstdint>
#include <string>

#include "io/file_read_seek.h"

namespace salvora {

// The label of a file system Salvora reads that starts at startSector ("FAT12", "FAT16", "FAT32", "FAT64",
// "extX", "HFS+", "NTFS"); empty when none does. Reads the first 2 KiB there.
std::string ContentLabel(FileReadSeek& reader, std::uint64_t startSector);

// A label that some parser reads, so that a row of it opens without custom settings.
bool IsReadableLabel(const std::string& label);

// libblkid's name of the file system at startSector ("FAT32", "exFAT", "ext4", "HFS+", "NTFS", or its own type
// name), followed by the file system's label in quotes when it has one; empty when libblkid finds none.
// sizeBytes 0 probes to the end of the source.
// A source read through a container is probed on a copy of the volume's first MiBs, which hold the type and
// most labels.
std::string CommonVolumeName(FileReadSeek& reader, std::uint64_t startSector, std::uint64_t sizeBytes);

}  // namespace salvora
