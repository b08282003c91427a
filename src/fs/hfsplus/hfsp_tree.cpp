// Linking the records into folders, the first level of the tree, and what the results side reads.
#include <cstdio>
#include <unordered_map>

#include "fs/fat/fat_list_texts.h"
#include "fs/hfsplus/hfs_list_texts.h"
#include "fs/hfsplus/hfsp.h"
#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::int64_t kStatusEvery = 1024;
constexpr const char* kOrphanFolderName = "ORPHAN_ENTRY";

}  // namespace

void HFSP::Append(EntryId parent, EntryId child, std::map<EntryId, EntryId>& lastChild) {
    const auto last = lastChild.find(parent);
    if (last == lastChild.end())
        map_.at(parent).firstChild = child;
    else
        map_.at(last->second).nextSibling = child;
    lastChild[parent] = child;
}

void HFSP::Link(const std::vector<bool>& forceOrphan) {
    for (auto& [key, r] : map_) r.firstChild = r.nextSibling = kHfsNoEntry, r.orphan = false;
    std::map<EntryId, EntryId> lastChild;
    const auto count = static_cast<std::int64_t>(map_.size());
    char status[96];
    std::int64_t index = 0;
    for (auto& [key, r] : map_) {
        if (index % kStatusEvery == 0) {
            if (PollStop(stopRequested)) break;
            std::snprintf(status, sizeof status, "Maintaining Parent Child for record %d of %d....",
                          static_cast<int>(index + 1), static_cast<int>(count));
            Status().SetStatus(status);
            Status().SetProgressPos(index);
        }
        const bool forced = forceOrphan[static_cast<std::size_t>(index++)];
        // The root folder and "ORPHAN_ENTRY" hang under nothing: the tree starts at them.
        if (key == kHfsRootFolderId || key == kHfsOrphanKey || r.parentId == 0) continue;
        const auto parent = map_.find(r.parentId);
        if (!forced && parent != map_.end() && parent->first != key &&
            parent->second.recordType == kHfsFolderRecord) {
            Append(parent->first, key, lastChild);
        } else {
            r.orphan = true;
            Append(kHfsOrphanKey, key, lastChild);
        }
    }
    Append(kHfsRootFolderId, kHfsOrphanKey, lastChild);
    Status().SetProgressPos(count);
}

void HFSP::LinkParentsAndChildren() {
    Status().SetStatus("Maintaining Parent Child....");
    Status().SetProgressRange(0, static_cast<std::int64_t>(map_.size()));
    if (!map_.count(kHfsRootFolderId)) {
        // The root's own record is lost: its entries still need a folder to hang under.
        HfsEntryRecord root;
        root.name = "ROOT";
        root.entryId = kHfsRootFolderId;
        root.parentId = kHfsRootParentId;
        root.recordType = kHfsFolderRecord;
        map_.emplace(kHfsRootFolderId, std::move(root));
    }
    HfsEntryRecord orphans;
    orphans.name = kOrphanFolderName;
    orphans.parentId = kHfsRootFolderId;
    orphans.recordType = kHfsFolderRecord;
    map_.insert_or_assign(kHfsOrphanKey, std::move(orphans));

    std::vector<bool> forceOrphan(map_.size(), false);
    Link(forceOrphan);
    if (stopRequested) return;

    // Folders whose parents lead round in a circle never reach the root: one folder of each circle is moved
    // under "ORPHAN_ENTRY", which brings the rest along.
    std::map<EntryId, bool> reached;
    std::vector<EntryId> stack{kHfsRootFolderId};
    while (!stack.empty()) {
        const EntryId id = stack.back();
        stack.pop_back();
        if (!reached.emplace(id, true).second) continue;
        const HfsEntryRecord& r = map_.at(id);
        if (r.firstChild != kHfsNoEntry) stack.push_back(r.firstChild);
        if (r.nextSibling != kHfsNoEntry) stack.push_back(r.nextSibling);
    }
    if (reached.size() == map_.size()) {
        BreakFolderLinkCircles();
        return;
    }
    std::map<EntryId, std::size_t> indexOf;
    std::size_t i = 0;
    for (const auto& [key, r] : map_) indexOf[key] = i++;
    bool any = false;
    std::map<EntryId, int> state;  // 1 on the current path, 2 done
    for (const auto& [key, r] : map_) {
        if (reached.count(key) || state.count(key)) continue;
        std::vector<EntryId> path;
        EntryId at = key;
        while (true) {
            const auto s = state.find(at);
            if (s != state.end()) {
                if (s->second == 1) forceOrphan[indexOf.at(at)] = any = true;
                break;
            }
            if (reached.count(at)) break;
            state[at] = 1;
            path.push_back(at);
            const auto p = map_.find(map_.at(at).parentId);
            if (p == map_.end() || p->first == at) break;
            at = p->first;
        }
        for (const EntryId id : path) state[id] = 2;
    }
    if (any) Link(forceOrphan);
    BreakFolderLinkCircles();
}

void HFSP::BreakFolderLinkCircles() {
    if (!folderLinks_) return;
    // Depth first over what the links show, each folder entered once; a link to a folder still open on the
    // path would make the walks below it endless, so it shows nothing.
    enum : std::uint8_t { kOpen = 1, kDone = 2 };
    std::unordered_map<EntryId, std::uint8_t> state;
    struct Frame {
        EntryId folder;
        EntryId next;
    };
    std::vector<Frame> stack;
    const auto enter = [&](EntryId folder) {
        state[folder] = kOpen;
        stack.push_back({folder, map_.at(folder).firstChild});
    };
    enter(kHfsRootFolderId);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == kHfsNoEntry || !map_.count(top.next)) {
            state[top.folder] = kDone;
            stack.pop_back();
            continue;
        }
        const EntryId childKey = top.next;
        HfsEntryRecord& child = map_.at(childKey);
        top.next = child.nextSibling;
        EntryId folder = kHfsNoEntry;
        if (child.folderLinkTarget != kHfsNoEntry && map_.count(child.folderLinkTarget))
            folder = child.folderLinkTarget;
        else if (child.recordType == kHfsFolderRecord)
            folder = childKey;
        if (folder == kHfsNoEntry) continue;
        const auto seen = state.find(folder);
        if (seen == state.end()) {
            enter(folder);
        } else if (seen->second == kOpen && child.folderLinkTarget != kHfsNoEntry) {
            child.folderLinkTarget = kHfsNoEntry;
        }
    }
}

void HFSP::FillResultTree() {
    if (!tree) return;
    if (rootItem_ == kNoItem) {
        rootItem_ = tree->InsertItem(kNoItem, "ROOT", true, EntryId{kHfsRootFolderId});
        tree->Expand(rootItem_);
    }
    char status[64];
    for (auto c = FirstChild(kHfsRootFolderId); c; c = NextSibling(*c)) {
        if (PollStop(stopRequested)) break;
        const HfsEntryRecord& r = map_.at(*c);
        const bool folder = IsFolder(*c);
        std::snprintf(status, sizeof status, folder ? "found folder at Node %lld" : "found file at Node %lld",
                      static_cast<long long>(*c));
        Status().SetStatus(status);
        const ItemId item = tree->InsertItem(rootItem_, r.name, folder, *c);
        if (r.orphan) tree->SetTextColour(item, DeletedColour());
    }
    tree->Expand(rootItem_);
}

// ---- results side

const HfsEntryRecord* HFSP::Record(EntryId id) const {
    const auto it = map_.find(id);
    return it == map_.end() ? nullptr : &it->second;
}

std::optional<EntryId> HFSP::FirstChild(EntryId id) const {
    const auto* r = Record(id);
    if (r && r->folderLinkTarget != kHfsNoEntry) r = Record(r->folderLinkTarget);
    if (!r || r->firstChild == kHfsNoEntry || !map_.count(r->firstChild)) return std::nullopt;
    return r->firstChild;
}

std::optional<EntryId> HFSP::NextSibling(EntryId id) const {
    const auto* r = Record(id);
    if (!r || r->nextSibling == kHfsNoEntry || !map_.count(r->nextSibling)) return std::nullopt;
    return r->nextSibling;
}

std::string HFSP::EntryName(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->name : std::string{};
}

void HFSP::RenameEntry(EntryId id, const std::string& name) {
    const auto it = map_.find(id);
    if (it != map_.end()) it->second.name = name;
}

bool HFSP::IsDeleted(EntryId id) const {
    const auto* r = Record(id);
    return r && r->orphan;
}

bool HFSP::IsFolder(EntryId id) const {
    const auto* r = Record(id);
    return r && (r->recordType == kHfsFolderRecord || r->folderLinkTarget != kHfsNoEntry);
}

bool HFSP::IsWalkFile(EntryId id) const {
    const auto* r = Record(id);
    return r && r->recordType == kHfsFileRecord && r->folderLinkTarget == kHfsNoEntry;
}

std::uint64_t HFSP::EntrySizeBytes(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->logicalSize : 0;
}

std::string HFSP::FormatEntrySize(EntryId id) const { return FormatFatSize(EntrySizeBytes(id)); }

EntryTexts HFSP::FormatEntryDetails(EntryId id) const {
    const auto* r = Record(id);
    if (!r || id == kHfsOrphanKey) return {};
    return {FormatHfsDate(r->createDate), FormatHfsDate(r->accessDate), FormatHfsDate(r->modifyDate),
            HfsPermissionText(r->fileMode)};
}

}  // namespace salvora
