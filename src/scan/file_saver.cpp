#include "scan/file_saver.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <unordered_set>
#include <vector>

#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::size_t kMaxNameBytes = 255;  // NAME_MAX of the Linux file systems an output folder lives on
constexpr std::size_t kMaxExtensionBytes = 32;
constexpr int kMaxNameTries = 1 << 20;

constexpr const char* kBlanks = " \t\n\v\f\r";

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string TrimRight(std::string text) {
    text.erase(text.find_last_not_of(kBlanks) + 1);
    return text;
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// Cuts text to at most maxBytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

// stem + suffix + extension, shortened in the stem so that the whole fits one path component.
std::string Compose(std::string stem, const std::string& suffix, std::string extension) {
    if (extension.size() > kMaxExtensionBytes) {
        stem += extension;
        extension.clear();
    }
    if (stem.size() + suffix.size() + extension.size() > kMaxNameBytes)
        stem = CutUtf8(stem, kMaxNameBytes - suffix.size() - extension.size());
    if (stem.empty()) stem = "_";
    return stem + suffix + extension;
}

// The n-th alternative of a name: "name (n).ext" for a file, "name (n)" for a folder.
std::string Numbered(const std::string& name, int n, bool keepExtension) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    const auto dot = keepExtension ? name.rfind('.') : std::string::npos;
    if (dot == std::string::npos || dot == 0) return Compose(name, suffix, {});
    return Compose(name.substr(0, dot), suffix, name.substr(dot));
}

enum class PathKind { Missing, Folder, Other, Unknown };

PathKind KindOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Unknown;
    return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
}

}  // namespace

std::string SafeName(const std::string& name) {
    std::string safe = name;
    for (auto& c : safe)
        if (c == '/' || c == '\0') c = '_';
    if (safe.empty()) return "_";
    if (safe == "." || safe == "..") return "_" + safe;
    if (safe.size() <= kMaxNameBytes) return safe;
    const auto dot = safe.rfind('.');
    if (dot == std::string::npos || dot == 0) return Compose(safe, {}, {});
    return Compose(safe.substr(0, dot), {}, safe.substr(dot));
}

std::string UniqueFilePath(const std::string& folder, const std::string& safeName) {
    for (int n = 0; n < kMaxNameTries; ++n) {
        const std::string path = Join(folder, n == 0 ? safeName : Numbered(safeName, n, true));
        const PathKind kind = KindOf(path);
        // An unreadable folder is left to the writer, which then fails; it cannot overwrite what it cannot
        // see.
        if (kind == PathKind::Missing || kind == PathKind::Unknown) return path;
    }
    return {};
}

std::string MakeFolderIn(const std::string& name, const std::string& parent) {
    for (int n = 0; n < kMaxNameTries; ++n) {
        const std::string path = Join(parent, n == 0 ? name : Numbered(name, n, false));
        if (::mkdir(path.c_str(), 0777) == 0) return path;
        if (errno != EEXIST) return {};
        const PathKind kind = KindOf(path);
        if (kind == PathKind::Folder) return path;  // a symlink is "Other": never followed out of the output
        if (kind != PathKind::Other) return {};
    }
    return {};
}

std::uint64_t FolderSaver::CountFiles(EntryId folder) const {
    std::uint64_t count = 0;
    std::unordered_set<EntryId> visited{folder};
    std::vector<std::optional<EntryId>> stack{parser_.FirstChild(folder)};
    while (!stack.empty()) {
        const auto child = stack.back();
        if (!child) {
            stack.pop_back();
            continue;
        }
        stack.back() = parser_.NextSibling(*child);
        if (!visited.insert(*child).second) continue;
        if (parser_.IsWalkFolder(*child))
            stack.push_back(parser_.FirstChild(*child));
        else if (parser_.IsWalkFile(*child))
            ++count;
    }
    return count;
}

void FolderSaver::SaveFile(EntryId entry, const std::string& path, SaveOutcome& outcome) {
    const std::string dest = UniqueFilePath(path, SafeName(Trim(parser_.EntryName(entry))));
    if (dest.empty()) {
        ++outcome.filesFailed;
        return;
    }
    ui_.SetStatus("saving File  " + dest);
    if (onFileSizeLine) {
        char line[64];
        std::snprintf(line, sizeof line, "File size: %" PRIu64 " kb", parser_.EntrySizeBytes(entry) / 1024);
        onFileSizeLine(line);
    }
    if (parser_.ExtractFile(entry, dest))
        ++outcome.filesWritten;
    else
        ++outcome.filesFailed;
    if (onFileSizeLine) onFileSizeLine({});
}

void FolderSaver::SaveWalk(EntryId folder, const std::string& path, std::uint64_t& counter,
                           SaveOutcome& outcome) {
    struct Level {
        std::optional<EntryId> next;
        std::string path;
    };
    // Iterative, so a deep tree cannot exhaust the stack; a record reached twice is written once.
    std::unordered_set<EntryId> visited{folder};
    std::vector<Level> stack{{parser_.FirstChild(folder), TrimRight(path)}};
    while (!stack.empty()) {
        if (!stack.back().next) {
            stack.pop_back();
            continue;
        }
        const EntryId child = *stack.back().next;
        stack.back().next = parser_.NextSibling(child);
        ThePauseGate().WaitWhilePaused(cancelFlag_);
        if (cancelFlag_.load()) {
            outcome.cancelled = true;
            return;
        }
        ui_.SetProgressPos(static_cast<std::int64_t>(counter));
        if (!visited.insert(child).second) continue;
        const std::string here = stack.back().path;
        if (parser_.IsWalkFolder(child)) {
            const std::string name = Trim(parser_.EntryName(child));
            std::string below = here;
            if (!name.empty()) {
                below = MakeFolderIn(SafeName(name), here);
                // Not reported: the files below then fail to be written and are counted as failed.
                if (below.empty()) below = Join(here, SafeName(name));
            }
            stack.push_back({parser_.FirstChild(child), below});
        } else if (parser_.IsWalkFile(child)) {
            ++counter;
            SaveFile(child, here, outcome);
        }
    }
}

SaveOutcome FolderSaver::SaveSelectedFolder(EntryId folder, const std::string& outputFolder) {
    SaveOutcome outcome;
    if (outputFolder.empty()) {
        ui_.ShowMessage("select output folder", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
        return outcome;
    }
    if (!parser_.IsSaveFolder(folder)) return outcome;
    outcome.fileCount = CountFiles(folder);
    ui_.SetProgressRange(0, static_cast<std::int64_t>(outcome.fileCount));
    char question[160];
    std::snprintf(
        question, sizeof question,
        "number of files found inside this folder = %lld .do u want to continue dumping these files..?",
        static_cast<long long>(outcome.fileCount));
    if (ui_.ShowMessage(question, "", MsgIcon::None, MsgButtons::YesNo) != MsgAnswer::Yes) return outcome;
    outcome.walked = true;
    std::uint64_t counter = 0;
    SaveWalk(folder, outputFolder, counter, outcome);
    ui_.SetProgressPos(static_cast<std::int64_t>(outcome.fileCount));
    ui_.ShowMessage("work done", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
    return outcome;
}

}  // namespace salvora
