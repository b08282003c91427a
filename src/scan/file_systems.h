#pragma once
// The one table of the file systems Salvora reads, by the label a volume row carries: which parser class, which
// recovery modes the recovery-mode page offers, and which searches an Advanced run of a damaged volume makes.
// A new file system plugs in with a folder under src/fs and a row here.
#include <memory>
#include <string>

#include "model/parser_base.h"
#include "scan/deep_discovery.h"
#include "scan/recovery_options.h"

namespace salvora {

// Which parser class a label selects.
enum class ParserKind { Fat16, Fat32, ExFat, Ext, HfsPlus, Fat12, Ntfs };

struct FileSystemRow {
    const char* label;  // matched without letter case
    ParserKind kind;
    DiscoveryKind discovery;  // the damaged-volume searches of an Advanced run; None: no Advanced run
    bool advanced;            // modes the recovery-mode page offers besides Standard
    bool deep;
    bool formattedSwitch;  // "Is Drive Formated..?" beside Advanced
    // What a finished scan says: the box naming the file system the volume is not (null: a status line only,
    // "Work Done." or "Work Aborted...."), and whether the Recycle Bin's files get their former names.
    const char* notThisText;
    bool recycleBin;
    std::unique_ptr<ParserBase> (*create)();
};

// The row of a label, or null for a file system no parser reads ("NTFS", "UNKNOWN", a partition's name).
const FileSystemRow* FindFileSystem(const std::string& fileSystemLabel);
// The first row of a discovery kind, or null for None.
const FileSystemRow* FindFileSystem(DiscoveryKind kind);

}  // namespace salvora
