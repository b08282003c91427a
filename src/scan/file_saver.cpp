#include "scan/file_saver.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <unordered_set>
#include <vector>

#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::size_t kMaxNameBytes = 255;  // NAME_MAX of the Linux file systems an output folder lives on
constexpr std::size_t kMaxExtensionBytes = 32;
constexpr int kMaxNameTries = 1 << 20;
// Files up to this size are read whole and handed to the writers; larger ones are copied piece by piece.
constexpr std::uint64_t kStagedBytes = 4u << 20;
constexpr std::uint64_t kBytesInFlight = 32u << 20;

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

}  // namespace

std::string Numbered(const std::string& name, int n, bool keepExtension) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    const auto dot = keepExtension ? name.rfind('.') : std::string::npos;
    if (dot == std::string::npos || dot == 0) return Compose(name, suffix, {});
    return Compose(name.substr(0, dot), suffix, name.substr(dot));
}

std::string SavedName(const std::string& entryName) { return SafeName(Trim(entryName)); }

namespace {

enum class PathKind { Missing, Folder, Other, Unknown };

PathKind KindOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Unknown;
    return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
}

}  // namespace

std::string SafeName(const std::string& name) {
    std::string safe = name;
    // Names are data: no path separator, and no control character (ESC, BEL, CR, LF, BS, DEL ...) reaches a
    // file name where a shell or a terminal would act on it.
    for (auto& c : safe) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (safe.size() > kMaxNameBytes) {
        const auto dot = safe.rfind('.');
        safe = dot == std::string::npos || dot == 0 ? Compose(safe, {}, {})
                                                    : Compose(safe.substr(0, dot), {}, safe.substr(dot));
    }
    // Also after shortening: a long name of dots and broken UTF-8 can be cut down to "..", the folder above.
    if (safe.empty()) return "_";
    if (safe == "." || safe == "..") return "_" + safe;
    return safe;
}

std::string UniqueFilePath(const std::string& folder, const std::string& safeName,
                           const std::function<bool(const std::string&)>& taken, bool folderIsNew) {
    for (int n = 0; n < kMaxNameTries; ++n) {
        const std::string path = Join(folder, n == 0 ? safeName : Numbered(safeName, n, true));
        if (taken && taken(path)) continue;
        if (folderIsNew) return path;
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

std::optional<FileOwner> InvokingUser() {
    if (::geteuid() != 0) return std::nullopt;
    const char* uid = std::getenv("SUDO_UID");
    const char* gid = std::getenv("SUDO_GID");
    if (uid == nullptr || gid == nullptr) return std::nullopt;
    char* end = nullptr;
    const unsigned long u = std::strtoul(uid, &end, 10);
    if (*uid == '\0' || *end != '\0') return std::nullopt;
    const unsigned long g = std::strtoul(gid, &end, 10);
    if (*gid == '\0' || *end != '\0' || u == 0) return std::nullopt;
    return FileOwner{static_cast<unsigned>(u), static_cast<unsigned>(g)};
}

void FolderSaver::GiveAway(const std::string& path) const {
    if (owner && !path.empty()) (void)::lchown(path.c_str(), owner->uid, owner->gid);
}

std::string FolderSaver::Folder(const std::string& name, const std::string& parent) {
    const bool existed = KindOf(Join(parent, name)) == PathKind::Folder;
    const std::string made = MakeFolderIn(name, parent);
    if (!existed) {
        GiveAway(made);
        if (made == Join(parent, name)) madeFolders_.insert(std::hash<std::string>{}(made));
    }
    return made;
}

std::string SaveSummaryText(const SaveOutcome& outcome) {
    std::string text = std::to_string(outcome.filesWritten) + " file(s) saved in " + outcome.outputFolder;
    if (outcome.filesDamaged > 0) text += ", " + std::to_string(outcome.filesDamaged) + " saved damaged";
    if (outcome.filesFailed > 0) text += ", " + std::to_string(outcome.filesFailed) + " could not be written";
    if (outcome.cancelled) {
        text += ", stopped after " +
                std::to_string(outcome.filesWritten + outcome.filesDamaged + outcome.filesFailed) + " of " +
                std::to_string(outcome.fileCount);
    }
    return text;
}

std::string UnreadableFolderLine(const std::string& folder) {
    return (folder.empty() ? std::string("the top folder") : "folder " + folder) +
           " could not be read: files in it are missing";
}

std::string DamagedLine(const DamagedFile& file) {
    const auto grouped = [](std::uint64_t n) {
        std::string digits = std::to_string(n);
        for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
        return digits;
    };
    return "damaged: " + file.path + " (" + grouped(file.missing) + " of " + grouped(file.size) +
           " bytes unreadable)";
}

std::string OutputFolderProblem(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return "The folder " + folder + " cannot be used: " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return folder + " is not a folder.";
    std::string probe = Join(folder, ".salvora-write-test-XXXXXX");
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return "The folder " + folder + " cannot be written: " + std::strerror(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) == 0 && fs.f_bavail == 0 && fs.f_blocks > 0)
        return "The disk that holds " + folder + " is full.";
    return {};
}

void DiscardIncompleteFile(const std::string& path, bool keepPartial) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (keepPartial) {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        for (int attempt = 0; attempt < 8; ++attempt) {
            const std::string kept = UniqueFilePath(folder, SafeName(name + ".incomplete"));
            if (kept.empty()) break;
            if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0) return;
            if (errno == EEXIST) continue;
            // A file system without RENAME_NOREPLACE: the name was free a moment ago.
            if (errno == EINVAL && ::rename(path.c_str(), kept.c_str()) == 0) return;
            break;
        }
    }
    ::unlink(path.c_str());
}

// A link is made only where following it cannot leave the output folder, whatever other links it passes
// through: a relative target whose ".." all come first and climb no higher than the output folder. A ".." after
// a name could climb out of a directory that is itself a link. Anything else would point into the machine
// doing the recovery.
bool LinkStaysInside(const std::string& linkPath, const std::string& target, const std::string& outputFolder) {
    namespace fs = std::filesystem;
    if (target.empty() || target.front() == '/' || outputFolder.empty()) return false;
    const fs::path root = fs::path(outputFolder).lexically_normal();
    const fs::path folder = fs::path(linkPath).parent_path().lexically_normal();
    const fs::path inside = folder.lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..") return false;
    std::size_t depth = 0;
    for (const auto& part : inside)
        if (part != "." && !part.empty()) ++depth;
    std::size_t ups = 0;
    bool named = false;
    for (const auto& part : fs::path(target)) {
        if (part == "." || part.empty()) continue;
        if (part == "..") {
            if (named || ++ups > depth) return false;
        } else {
            named = true;
        }
    }
    return true;
}

FolderSaver::~FolderSaver() = default;

CopyPool& FolderSaver::Pool() {
    if (!pool_) {
        pool_ = std::make_unique<CopyPool>(writers, kBytesInFlight, cancelFlag_, [this](StagedCopy& copy) {
            if (copy.result.written)
                GiveAway(copy.destPath);
            else
                DiscardIncompleteFile(copy.destPath, keepPartial);
        });
    }
    return *pool_;
}

void FolderSaver::SaveFile(EntryId entry, const std::string& path, SaveOutcome& outcome) {
    CopyPool& pool = Pool();
    const std::string name = SafeName(Trim(parser_.EntryName(entry)));
    const std::hash<std::string> hash;
    const std::string dest = UniqueFilePath(
        path, name, [&](const std::string& candidate) { return handedOut_.count(hash(candidate)) != 0; },
        madeFolders_.count(hash(path)) != 0);
    if (!dest.empty()) handedOut_.insert(hash(dest));
    const std::uint64_t seq = seq_++;
    if (dest.empty()) {
        settled_.push_back({seq, Join(path, name), {}});
        return;
    }
    ui_.SetStatus("saving File  " + dest);
    if (onFileSizeLine) {
        char line[64];
        std::snprintf(line, sizeof line, "File size: %" PRIu64 " kb", parser_.EntrySizeBytes(entry) / 1024);
        onFileSizeLine(line);
    }
    const auto target = parser_.LinkTarget(entry);
    const bool link = target && LinkStaysInside(dest, *target, outcome.outputFolder);
    std::optional<StagedCopy> staged;
    if (!link) staged = parser_.StageFile(entry, dest, kStagedBytes);
    if (staged) {
        pool.Submit(seq, std::move(*staged));
    } else {
        pool.Flush();
        CopyResult copy;
        if (link)
            copy.written = ::symlink(target->c_str(), dest.c_str()) == 0;
        else
            copy = parser_.ExtractFile(entry, dest);
        if (copy.written)
            GiveAway(dest);
        else
            DiscardIncompleteFile(dest, keepPartial);
        settled_.push_back({seq, dest, copy});
    }
    if (onFileSizeLine) onFileSizeLine({});
}

void FolderSaver::Settle(SaveOutcome& outcome) {
    std::vector<CopyPool::Done> all = pool_ ? pool_->Drain() : std::vector<CopyPool::Done>{};
    all.insert(all.end(), std::make_move_iterator(settled_.begin()), std::make_move_iterator(settled_.end()));
    settled_.clear();
    std::sort(all.begin(), all.end(),
              [](const CopyPool::Done& a, const CopyPool::Done& b) { return a.seq < b.seq; });
    const std::string& top = outcome.outputFolder;
    const auto below = [&](std::string where) {
        if (!top.empty() && where.compare(0, top.size(), top) == 0) {
            where.erase(0, top.size());
            while (!where.empty() && where.front() == '/') where.erase(0, 1);
        }
        return where;
    };
    for (const CopyPool::Done& file : all) {
        if (!file.result.written) {
            ++outcome.filesFailed;
            outcome.failedFiles.push_back(below(file.destPath));
        } else if (file.result.missing == 0) {
            ++outcome.filesWritten;
        } else {
            // Kept: the bytes that were read may be all a person has left of it. Named, never passed as whole.
            ++outcome.filesDamaged;
            outcome.damagedFiles.push_back({below(file.destPath), file.result.missing, file.result.size});
        }
    }
}

bool FolderSaver::Cancelled(SaveOutcome& outcome) {
    ThePauseGate().WaitWhilePaused(cancelFlag_);
    if (cancelFlag_.load()) outcome.cancelled = true;
    return outcome.cancelled;
}

void FolderSaver::SaveWalk(EntryId folder, const std::string& path, std::uint64_t& counter,
                           SaveOutcome& outcome) {
    Walk(folder, path, counter, outcome);
    Settle(outcome);
}

void FolderSaver::Walk(EntryId folder, const std::string& path, std::uint64_t& counter, SaveOutcome& outcome) {
    struct Level {
        std::optional<EntryId> next;
        std::string path;
    };
    // Iterative, so a deep tree cannot exhaust the stack; a record reached twice is written once.
    std::unordered_set<EntryId> visited{folder};
    const std::vector<EntryId>& unreadable = parser_.UnreadableFolders();
    const auto noteUnreadable = [&](EntryId id, const std::string& where) {
        if (std::find(unreadable.begin(), unreadable.end(), id) == unreadable.end()) return;
        std::string shown = where;
        const std::string& top = outcome.outputFolder;
        if (!top.empty() && shown.compare(0, top.size(), top) == 0) shown.erase(0, top.size());
        while (!shown.empty() && shown.front() == '/') shown.erase(0, 1);
        outcome.unreadableFolders.push_back(shown);
    };
    noteUnreadable(folder, TrimRight(path));
    std::vector<Level> stack{{parser_.FirstChild(folder), TrimRight(path)}};
    while (!stack.empty()) {
        if (!stack.back().next) {
            stack.pop_back();
            continue;
        }
        const EntryId child = *stack.back().next;
        stack.back().next = parser_.NextSibling(child);
        if (Cancelled(outcome)) return;
        ui_.SetProgressPos(static_cast<std::int64_t>(counter));
        if (!visited.insert(child).second) continue;
        const std::string here = stack.back().path;
        if (parser_.IsWalkFolder(child)) {
            const std::string name = Trim(parser_.EntryName(child));
            std::string below = here;
            if (!name.empty()) {
                below = Folder(SafeName(name), here);
                // The files below then fail to be written, each named in the failures.
                if (below.empty()) below = Join(here, SafeName(name));
            }
            noteUnreadable(child, below);
            stack.push_back({parser_.FirstChild(child), below});
        } else if (parser_.IsWalkFile(child)) {
            ++counter;
            SaveFile(child, here, outcome);
        }
    }
}

bool FolderSaver::Confirm(std::uint64_t count, const std::string& outputFolder) {
    ui_.SetProgressRange(0, static_cast<std::int64_t>(count));
    char question[160];
    std::snprintf(
        question, sizeof question,
        "number of files found inside this folder = %lld .do u want to continue dumping these files..?",
        static_cast<long long>(count));
    const std::string text = std::string(question) + "\n\nThey will be saved in " + outputFolder + ".";
    if (ui_.ShowMessage(text, "", MsgIcon::None, MsgButtons::YesNo) == MsgAnswer::Yes) return true;
    ui_.SetStatus("Nothing was saved: the save was cancelled.");
    return false;
}

void FolderSaver::Finish(SaveOutcome& outcome) {
    Settle(outcome);
    // A later save meets these names on the disk, or free again where they failed.
    handedOut_.clear();
    madeFolders_.clear();
    // The bar shows how far the save got, so a stopped save does not look complete.
    ui_.SetProgressPos(static_cast<std::int64_t>(outcome.filesWritten + outcome.filesDamaged + outcome.filesFailed));
    ui_.SetStatus({});
    if (onFinished) {
        onFinished(outcome);
        return;
    }
    std::string text = std::string(outcome.cancelled ? "(stopped)\n" : "") + "work done\n\n" + SaveSummaryText(outcome);
    constexpr std::size_t kNamesShown = 20;
    for (const std::string& folder : outcome.unreadableFolders) text += "\n  " + UnreadableFolderLine(folder);
    for (std::size_t i = 0; i < outcome.damagedFiles.size() && i < kNamesShown; ++i)
        text += "\n  " + DamagedLine(outcome.damagedFiles[i]);
    for (std::size_t i = 0; i < outcome.failedFiles.size() && i < kNamesShown; ++i)
        text += "\n  " + outcome.failedFiles[i];
    if (outcome.failedFiles.size() > kNamesShown)
        text += "\n  ... and " + std::to_string(outcome.failedFiles.size() - kNamesShown) + " more";
    const bool warn = outcome.filesFailed > 0 || outcome.filesDamaged > 0 || !outcome.unreadableFolders.empty();
    ui_.ShowMessage(text, kAppTitle, warn ? MsgIcon::Warning : MsgIcon::Information, MsgButtons::Ok);
}

SaveOutcome FolderSaver::SaveSelectedFolder(EntryId folder, const std::string& outputFolder) {
    SaveOutcome outcome;
    outcome.outputFolder = outputFolder;
    if (outputFolder.empty()) {
        ui_.ShowMessage("select output folder", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
        return outcome;
    }
    if (!parser_.IsSaveFolder(folder)) return outcome;
    outcome.fileCount = CountFiles(folder);
    if (!Confirm(outcome.fileCount, outputFolder)) return outcome;
    outcome.walked = true;
    std::uint64_t counter = 0;
    SaveWalk(folder, outputFolder, counter, outcome);
    Finish(outcome);
    return outcome;
}

SaveOutcome FolderSaver::SaveItems(const ResultTree& tree, const std::vector<ItemId>& roots,
                                   const std::string& outputFolder) {
    SaveOutcome outcome;
    outcome.outputFolder = outputFolder;
    const ItemId top = tree.Root();
    for (ItemId item : roots) {
        const ResultItem it = tree.Item(item);
        if (!it.entry) continue;
        outcome.fileCount += parser_.IsWalkFolder(*it.entry) || item == top ? CountFiles(*it.entry)
                                                                           : parser_.IsWalkFile(*it.entry);
    }
    if (!Confirm(outcome.fileCount, outputFolder)) return outcome;
    outcome.walked = true;
    std::uint64_t counter = 0;
    for (ItemId item : roots) {
        if (Cancelled(outcome)) break;
        const ResultItem it = tree.Item(item);
        if (!it.entry) continue;
        // The folders between the root item and this one, outermost first.
        std::vector<std::string> names;
        for (ItemId up = it.parent; up != kNoItem && up != top; up = tree.Item(up).parent)
            names.insert(names.begin(), tree.Item(up).text);
        std::string dir = outputFolder;
        for (const std::string& name : names) {
            const std::string next = Folder(SafeName(Trim(name)), dir);
            dir = next.empty() ? Join(dir, SafeName(Trim(name))) : next;
        }
        const EntryId entry = *it.entry;
        if (item == top) {
            Walk(entry, dir, counter, outcome);
        } else if (parser_.IsWalkFolder(entry)) {
            const std::string name = SafeName(Trim(parser_.EntryName(entry)));
            const std::string sub = Folder(name, dir);
            Walk(entry, sub.empty() ? Join(dir, name) : sub, counter, outcome);
        } else if (parser_.IsWalkFile(entry)) {
            ++counter;
            ui_.SetProgressPos(static_cast<std::int64_t>(counter));
            SaveFile(entry, dir, outcome);
        }
    }
    Finish(outcome);
    return outcome;
}

SaveOutcome FolderSaver::SaveFiles(const std::vector<EntryId>& files, const std::string& outputFolder) {
    SaveOutcome outcome;
    outcome.outputFolder = outputFolder;
    for (EntryId entry : files) outcome.fileCount += parser_.IsWalkFile(entry);
    if (!Confirm(outcome.fileCount, outputFolder)) return outcome;
    outcome.walked = true;
    std::uint64_t counter = 0;
    for (EntryId entry : files) {
        if (Cancelled(outcome)) break;
        if (!parser_.IsWalkFile(entry)) continue;
        ui_.SetProgressPos(static_cast<std::int64_t>(++counter));
        SaveFile(entry, outputFolder, outcome);
    }
    Finish(outcome);
    return outcome;
}

std::string FolderSaver::SaveOneFile(EntryId entry, const std::string& folder, std::uint64_t* missing) {
    const std::string dest = UniqueFilePath(folder, SafeName(Trim(parser_.EntryName(entry))));
    if (dest.empty()) return {};
    if (const CopyResult copy = parser_.ExtractFile(entry, dest); copy.written) {
        GiveAway(dest);
        if (missing) *missing = copy.missing;
        return dest;
    }
    DiscardIncompleteFile(dest, keepPartial);
    return {};
}

}  // namespace salvora
