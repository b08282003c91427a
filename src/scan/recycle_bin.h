#pragma once
// Gives the content files of a Windows Recycle Bin ($R...) the names they had before deletion, read from
// their index files ($I...).
#include <optional>
#include <string>

#include "io/bytes.h"
#include "model/parser_base.h"
#include "model/result_tree.h"

namespace salvora {

// The full former path held by a $I index file, UTF-8; empty for an unknown version or no path. Version 1
// (Vista to 8.1) holds it at byte 24, version 2 (10 and later) holds a character count at 24 and it at 28.
std::optional<std::string> RecycleIndexFormerPath(Bytes index);

// Renames, in the parser's records, every "$R..." entry of each user folder below a first-level
// "$RECYCLE.BIN" or "$RECYCLEBIN" folder whose "$I..." index could be read. Index files are read from the
// volume through the parser's content runs; nothing is written.
void RenameRecycledFiles(const ResultTree& tree, ParserBase& parser);

}  // namespace salvora
