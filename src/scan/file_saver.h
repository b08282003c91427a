#pragma once
// Saving a folder of the results with everything below it: count, ask, re-create the sub-folders under the
// output folder and have the parser write each file. Nothing already in the output folder is ever
// overwritten.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "io/ui_sink.h"
#include "model/copy_pool.h"
#include "model/parser_base.h"
#include "model/result_tree.h"

namespace salvora {

// A file saved with bytes that could not be read: kept (its good bytes matter), under its own name.
struct DamagedFile {
    std::string path;  // below the output folder
    std::uint64_t missing = 0;
    std::uint64_t size = 0;
};
// "damaged: PATH (1,024 of 2,310,144 bytes unreadable)"
std::string DamagedLine(const DamagedFile& file);

struct SaveOutcome {
    bool walked = false;          // false: refused, declined or nothing selected; nothing was written
    std::uint64_t fileCount = 0;  // what CountFiles found and the question showed
    std::uint64_t filesWritten = 0;
    std::uint64_t filesFailed = 0;  // reached but not fully written
    std::uint64_t filesDamaged = 0;  // written, but with bytes that could not be read (not in filesWritten)
    bool cancelled = false;
    std::string outputFolder;
    // The files not fully written, as paths below outputFolder, in the order the walk reached them. None of them
    // is left on disk looking complete: each was removed, or kept as "NAME.incomplete".
    std::vector<std::string> failedFiles;
    std::vector<DamagedFile> damagedFiles;  // in the order the walk reached them
    // Folders the scan could not read whole, below outputFolder ("" for the top one): files in them are missing.
    std::vector<std::string> unreadableFolders;
};
// "folder DCIM/100CANON could not be read: files in it are missing"
std::string UnreadableFolderLine(const std::string& folder);

// "N file(s) saved in PATH", then ", D saved damaged", ", M could not be written" and ", stopped after K of N" as
// they apply.
std::string SaveSummaryText(const SaveOutcome& outcome);

// Why no file can be written into folder ("... cannot be written: Permission denied", "... is full"); empty
// when one can. Tries a real write: permission bits say nothing of a read-only mount or of root.
std::string OutputFolderProblem(const std::string& folder);

// Who should own what a save writes: the user who ran the program through sudo, when it runs as root with
// SUDO_UID set, so that a person does not find root's files in their home. nullopt otherwise.
struct FileOwner {
    unsigned uid = 0;
    unsigned gid = 0;
};
std::optional<FileOwner> InvokingUser();

// After a failed write of a new file at path: removes what was written, or with keepPartial renames it to
// "NAME.incomplete" (never over an existing file) so that nothing incomplete carries the real name.
void DiscardIncompleteFile(const std::string& path, bool keepPartial);

// A name that is safe as one path component: '/', NUL and the other control characters become '_', "." and ".." get a leading '_', an empty
// name becomes "_", and a name too long for the file system is shortened keeping its extension.
std::string SafeName(const std::string& name);

// Would a symbolic link at linkPath with this target, followed, stay inside outputFolder? Only relative
// targets can; the saver writes any other link as a text file holding its target.
bool LinkStaysInside(const std::string& linkPath, const std::string& target, const std::string& outputFolder);

// The n-th alternative of a name: "name (n).ext" for a file (keepExtension), "name (n)" for a folder.
std::string Numbered(const std::string& name, int n, bool keepExtension);
// The name a save gives an entry before any numbering: SafeName of its name without surrounding blanks.
std::string SavedName(const std::string& entryName);

// "name.ext" in folder, or the first of "name (1).ext", "name (2).ext" ... that does not exist yet and that
// taken, when given, does not claim. In a folder known to be new (folderIsNew), taken alone decides.
std::string UniqueFilePath(const std::string& folder, const std::string& safeName,
                           const std::function<bool(const std::string&)>& taken = {}, bool folderIsNew = false);

// Creates folder/name (without touching the process's current directory) and returns its path. An existing
// folder of that name is used as it is (sibling folders of one name merge); when the name is taken by
// something that is not a folder, "name (1)" ... is used instead. Empty when no folder could be had.
std::string MakeFolderIn(const std::string& name, const std::string& parent);

class FolderSaver {
  public:
    FolderSaver(ParserBase& parser, UiSink& ui, const std::atomic<bool>& cancelFlag)
        : parser_(parser), ui_(ui), cancelFlag_(cancelFlag) {}
    ~FolderSaver();

    // The "File size: N kb" line beside the status while a file is written; empty afterwards.
    std::function<void(const std::string&)> onFileSizeLine;
    // Called at the end of every save that was walked, in place of the "work done" box with the summary.
    std::function<void(const SaveOutcome&)> onFinished;
    // Keep a file that could not be written whole as "NAME.incomplete" instead of removing it.
    bool keepPartial = false;
    // Every file and folder the save creates is given to this user (see InvokingUser).
    std::optional<FileOwner> owner;
    // Threads that create and write the files while the walk reads the next ones; 0 writes each on the walk's
    // thread. Outcomes and their lists come out in walk order either way.
    unsigned writers = CopyPool::DefaultThreads();

    std::uint64_t CountFiles(EntryId folder) const;
    // Writes the folder's children below path; counter counts the files reached (the progress position).
    // Returns once every file is written and counted in outcome.
    void SaveWalk(EntryId folder, const std::string& path, std::uint64_t& counter, SaveOutcome& outcome);
    // The whole save of one selected folder: checks, count question, walk, summary.
    SaveOutcome SaveSelectedFolder(EntryId folder, const std::string& outputFolder);
    // The checked items of the tree (ResultTree::CheckedRoots), each below the folders that lead to it from the
    // root item.
    SaveOutcome SaveItems(const ResultTree& tree, const std::vector<ItemId>& roots,
                          const std::string& outputFolder);
    // Files picked one by one (a search's hits), side by side in the output folder.
    SaveOutcome SaveFiles(const std::vector<EntryId>& files, const std::string& outputFolder);
    // One file into folder without a question: the path written, empty when it could not be written. A file
    // written with unreadable bytes is kept; *missing (when given) says how many.
    std::string SaveOneFile(EntryId entry, const std::string& folder, std::uint64_t* missing = nullptr);

  private:
    void SaveFile(EntryId entry, const std::string& path, SaveOutcome& outcome);
    void Walk(EntryId folder, const std::string& path, std::uint64_t& counter, SaveOutcome& outcome);
    // Waits for the writers and counts every file handed to them, in walk order.
    void Settle(SaveOutcome& outcome);
    CopyPool& Pool();
    // MakeFolderIn, and the new folder given to the owner.
    std::string Folder(const std::string& name, const std::string& parent);
    void GiveAway(const std::string& path) const;
    // The count question naming the destination; false when declined (then said on the status line).
    bool Confirm(std::uint64_t count, const std::string& outputFolder);
    bool Cancelled(SaveOutcome& outcome);
    void Finish(SaveOutcome& outcome);

    ParserBase& parser_;
    UiSink& ui_;
    const std::atomic<bool>& cancelFlag_;
    std::unique_ptr<CopyPool> pool_;
    std::uint64_t seq_ = 0;
    // Hashes of the paths this save has handed out (written, failed or still with a writer) and of the folders
    // it made itself: in those, a name is free unless handed out, without asking the disk.
    std::unordered_set<std::uint64_t> handedOut_;
    std::unordered_set<std::uint64_t> madeFolders_;
    // Files written or failed on the walk's thread, kept until Settle counts them with the writers' ones, so
    // that the lists stay in walk order whichever finished first.
    std::vector<CopyPool::Done> settled_;
};

}  // namespace salvora
