#pragma once
// Saving a folder of the results with everything below it: count, ask, re-create the sub-folders under the
// output folder and have the parser write each file. Nothing already in the output folder is ever
// overwritten.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "io/ui_sink.h"
#include "scan/parser_base.h"

namespace salvora {

struct SaveOutcome {
    bool walked = false;          // false: refused, declined or nothing selected; nothing was written
    std::uint64_t fileCount = 0;  // what CountFiles found and the question showed
    std::uint64_t filesWritten = 0;
    std::uint64_t filesFailed = 0;  // reached but not fully written
    bool cancelled = false;
};

// A name that is safe as one path component: '/' and NUL become '_', "." and ".." get a leading '_', an empty
// name becomes "_", and a name too long for the file system is shortened keeping its extension.
std::string SafeName(const std::string& name);

// "name.ext" in folder, or the first of "name (1).ext", "name (2).ext" ... that does not exist yet.
std::string UniqueFilePath(const std::string& folder, const std::string& safeName);

// Creates folder/name (without touching the process's current directory) and returns its path. An existing
// folder of that name is used as it is (sibling folders of one name merge); when the name is taken by
// something that is not a folder, "name (1)" ... is used instead. Empty when no folder could be had.
std::string MakeFolderIn(const std::string& name, const std::string& parent);

class FolderSaver {
  public:
    FolderSaver(ParserBase& parser, UiSink& ui, const std::atomic<bool>& cancelFlag)
        : parser_(parser), ui_(ui), cancelFlag_(cancelFlag) {}

    // The "File size: N kb" line beside the status while a file is written; empty afterwards.
    std::function<void(const std::string&)> onFileSizeLine;

    std::uint64_t CountFiles(EntryId folder) const;
    // Writes the folder's children below path; counter counts the files reached (the progress position).
    void SaveWalk(EntryId folder, const std::string& path, std::uint64_t& counter, SaveOutcome& outcome);
    // The whole save of one selected folder: checks, count question, walk, "work done".
    SaveOutcome SaveSelectedFolder(EntryId folder, const std::string& outputFolder);

  private:
    void SaveFile(EntryId entry, const std::string& path, SaveOutcome& outcome);

    ParserBase& parser_;
    UiSink& ui_;
    const std::atomic<bool>& cancelFlag_;
};

}  // namespace salvora
