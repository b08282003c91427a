#include "fs/ntfs/ntfs_class.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "fs/ext/ext_list_texts.h"
#include "fs/fat/fat_list_texts.h"
#include "fs/ntfs/ntfs_attributes.h"
#include "fs/ntfs/ntfs_record.h"
#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::uint64_t kReadBytes = 4u << 20;  // records are read in blocks of this much
constexpr std::uint64_t kEpochDelta = 116444736000000000ull;  // 1601 to 1970 in 100 ns
constexpr std::size_t kMaxDepth = 4096;
// Compressed files are decompressed whole into memory; past this a file is saved up to here and said damaged.
constexpr std::uint64_t kMaxDecompressedBytes = 1ull << 30;

std::optional<timespec> NtfsTime(std::uint64_t t) {
    if (t == 0) return std::nullopt;
    const auto ticks = static_cast<std::int64_t>(t - kEpochDelta);
    std::int64_t seconds = ticks / 10000000, rest = ticks % 10000000;
    if (rest < 0) {
        --seconds;
        rest += 10000000;
    }
    return timespec{static_cast<std::time_t>(seconds), static_cast<long>(rest * 100)};
}

std::string TimeText(std::uint64_t t) {
    const auto ts = NtfsTime(t);
    return ts ? FormatExtDateTime(ts->tv_sec) : std::string();
}

std::string AttributeText(std::uint32_t dos, const NtfsClass::Stream* stream) {
    std::string text;
    if (dos & 0x01) text += "-R";
    if (dos & 0x02) text += "-H";
    if (dos & 0x04) text += "-S";
    if (dos & 0x20) text += "-A";
    if ((dos & 0x800) || (stream && (stream->flags & 0x0001))) text += "-C";
    if ((dos & 0x4000) || (stream && (stream->flags & 0x4000))) text += "-E";
    return text;
}

// A piece of a $DATA attribute joins the stream of its name (a long runlist is split over several attribute
// headers, in one record or in extension records); only the first piece states the sizes.
void JoinPiece(std::vector<NtfsClass::Stream>& streams, NtfsClass::Stream&& piece) {
    auto same = std::find_if(streams.begin(), streams.end(),
                             [&](const NtfsClass::Stream& s) { return s.name == piece.name; });
    if (same == streams.end()) {
        streams.push_back(std::move(piece));
    } else if (!same->resident && !piece.resident) {
        same->runs.insert(same->runs.end(), piece.runs.begin(), piece.runs.end());
        same->runsBroken |= piece.runsBroken;
        if (same->dataSize == 0) {
            same->dataSize = piece.dataSize;
            same->initializedSize = piece.initializedSize;
        }
    }
}

}  // namespace

// ---- boot sector and MFT

bool NtfsClass::FindBoot(const ScanRequest& request) {
    reader_ = request.source;
    const std::uint64_t first = request.volume.startSector * 512;
    window_ = VolumeWindow::Over(reader_, first, request.volume.sizeBytes);
    std::array<std::uint8_t, 512> sector{};
    window_.ReadAt(0, sector);
    if (auto boot = DecodeNtfsBoot(sector)) {
        boot_ = *boot;
        return true;
    }
    // The backup lies in the volume's last sector, which the boot sector's count leaves out; a table row may
    // end on it or one sector before it.
    std::vector<std::uint64_t> places;
    if (request.volume.sizeBytes >= 1024) {
        places.push_back(request.volume.sizeBytes - 512);
        places.push_back(request.volume.sizeBytes);
    }
    if (reader_ && reader_->sourceLength > first + 1024) places.push_back((reader_->sourceLength - first) / 512 * 512 - 512);
    for (const std::uint64_t at : places) {
        if (!window_.ReadAt(at, sector)) continue;
        if (auto boot = DecodeNtfsBoot(sector)) {
            boot_ = *boot;
            char text[160];
            std::snprintf(text, sizeof text, "boot sector not valid: the backup boot sector at sector %llu is used",
                          static_cast<unsigned long long>(at / 512));
            Status().SetStatus(text);
            return true;
        }
    }
    return false;
}

// Clusters past the source hold nothing to read: a boot sector that claims more is not taken at its word.
std::uint64_t NtfsClass::ReadableBytes() const { return std::min(boot_.VolumeBytes() + 512, window_.Length()); }

std::uint64_t NtfsClass::ClusterLimit() const {
    return boot_.clusterBytes == 0 ? 0 : ReadableBytes() / boot_.clusterBytes + 1;
}

// Where byte `offset` of an attribute lies on the volume, by its runs (in VCN order); nothing in a hole or past them.
std::optional<std::uint64_t> NtfsClass::Mapped(const std::vector<NtfsRun>& runs, std::uint64_t offset) const {
    const std::uint64_t cluster = boot_.clusterBytes;
    const std::uint64_t vcn = offset / cluster;
    for (const NtfsRun& r : runs)
        if (vcn >= r.vcn && vcn - r.vcn < r.length)
            return r.lcn ? std::optional<std::uint64_t>((*r.lcn + (vcn - r.vcn)) * cluster + offset % cluster) : std::nullopt;
    return std::nullopt;
}

bool NtfsClass::ReadMftRuns() {
    const std::uint64_t cluster = boot_.clusterBytes;
    std::vector<std::uint8_t> record(boot_.recordBytes);
    const auto readRecord = [&](std::uint64_t at) -> std::optional<NtfsRecordHeader> {
        window_.ReadAt(at, record);
        if (ApplyNtfsFixups(record) != NtfsFixup::Applied) return std::nullopt;
        return DecodeNtfsRecordHeader(record);
    };
    // Record 0 describes the whole MFT; the mirror holds a copy of it.
    for (const std::uint64_t lcn : {boot_.mftCluster, boot_.mirrorCluster}) {
        if (lcn >= ClusterLimit()) continue;
        const auto header = readRecord(lcn * cluster);
        if (!header) continue;
        std::vector<NtfsRun> runs;
        std::uint64_t dataSize = 0;
        std::vector<NtfsAttributeListEntry> list;
        NtfsAttributeWalk walk(record, *header);
        while (auto a = walk.Next()) {
            if (a->type == kNtfsData && a->name.empty() && a->nonResident) {
                auto piece = DecodeNtfsRunlist(a->runlist, a->firstVcn, ClusterLimit());
                if (!piece) continue;
                runs.insert(runs.end(), piece->begin(), piece->end());
                if (a->firstVcn == 0) dataSize = a->dataSize;
            } else if (a->type == kNtfsAttributeList && !a->nonResident) {
                list = DecodeNtfsAttributeList(a->value);
            } else if (a->type == kNtfsAttributeList) {
                // A long list lies in clusters of its own.
                auto listRuns = DecodeNtfsRunlist(a->runlist, 0, ClusterLimit());
                std::vector<std::uint8_t> value(static_cast<std::size_t>(std::min<std::uint64_t>(a->dataSize, 1u << 20)));
                for (std::size_t at = 0; listRuns && at < value.size(); at += static_cast<std::size_t>(cluster)) {
                    const auto where = Mapped(*listRuns, at);
                    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(cluster, value.size() - at));
                    if (where) window_.ReadAt(*where, {value.data() + at, n});
                }
                list = DecodeNtfsAttributeList(value);
            }
        }
        // A long runlist goes on in extension records the attribute list names, in VCN order; each lies in the
        // part of the MFT already mapped.
        for (const NtfsAttributeListEntry& e : list) {
            const std::uint64_t number = NtfsRefRecord(e.record);
            if (e.type != kNtfsData || !e.name.empty() || number == 0 || e.firstVcn == 0) continue;
            std::sort(runs.begin(), runs.end(), [](const NtfsRun& x, const NtfsRun& y) { return x.vcn < y.vcn; });
            const auto where = Mapped(runs, number * boot_.recordBytes);
            const auto extension = where ? readRecord(*where) : std::nullopt;
            if (!extension || NtfsRefRecord(extension->baseRecord) != 0) continue;
            NtfsAttributeWalk pieces(record, *extension);
            while (auto a = pieces.Next()) {
                if (a->type != kNtfsData || !a->name.empty() || !a->nonResident || a->firstVcn != e.firstVcn) continue;
                if (auto piece = DecodeNtfsRunlist(a->runlist, a->firstVcn, ClusterLimit()))
                    runs.insert(runs.end(), piece->begin(), piece->end());
            }
        }
        if (runs.empty()) continue;
        std::sort(runs.begin(), runs.end(), [](const NtfsRun& x, const NtfsRun& y) { return x.vcn < y.vcn; });
        mftRuns_ = std::move(runs);
        mftBytes_ = dataSize;
        if (lcn != boot_.mftCluster) Status().SetStatus("MFT record 0 not valid: its mirror copy is used");
        break;
    }
    if (mftRuns_.empty()) return false;
    // The MFT cannot be larger than its runs or the volume.
    std::uint64_t runBytes = 0;
    for (const NtfsRun& r : mftRuns_) runBytes += r.length * cluster;
    mftBytes_ = std::min({mftBytes_ == 0 ? runBytes : mftBytes_, runBytes, ReadableBytes()});
    return mftBytes_ >= boot_.recordBytes;
}

void NtfsClass::ReadRecords() {
    const std::uint64_t cluster = boot_.clusterBytes;
    const std::uint64_t recordBytes = boot_.recordBytes;
    const std::uint64_t total = mftBytes_ / recordBytes;
    slots_.assign(static_cast<std::size_t>(total), 0);
    auto& status = Status();
    status.SetProgressRange(0, 1000);
    // Blocks of whole records in MFT order, each put together from the runs it overlaps: with small clusters a
    // record may begin in one run and end in the next.
    const std::uint64_t blockBytes = kReadBytes - kReadBytes % recordBytes;
    std::vector<std::uint8_t> block;
    std::size_t first = 0;  // the first run that can still overlap
    for (std::uint64_t at = 0; at + recordBytes <= mftBytes_; at += blockBytes) {
        if (PollStop(stopRequested)) break;
        const std::uint64_t n = std::min(blockBytes, total * recordBytes - at);
        block.assign(static_cast<std::size_t>(n), 0);
        while (first < mftRuns_.size() && (mftRuns_[first].vcn + mftRuns_[first].length) * cluster <= at) ++first;
        for (std::size_t i = first; i < mftRuns_.size() && mftRuns_[i].vcn * cluster < at + n; ++i) {
            const NtfsRun& run = mftRuns_[i];
            const std::uint64_t from = std::max(at, run.vcn * cluster);
            const std::uint64_t to = std::min(at + n, (run.vcn + run.length) * cluster);
            if (run.lcn && from < to)
                window_.ReadAt(*run.lcn * cluster + (from - run.vcn * cluster),
                               {block.data() + (from - at), static_cast<std::size_t>(to - from)});
        }
        for (std::uint64_t r = 0; r + recordBytes <= n; r += recordBytes)
            TakeRecord((at + r) / recordBytes, {block.data() + r, static_cast<std::size_t>(recordBytes)});
        status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(at + n) / mftBytes_ * 1000));
        char text[96];
        std::snprintf(text, sizeof text, "reading MFT record %llu of %llu",
                      static_cast<unsigned long long>((at + n) / recordBytes), static_cast<unsigned long long>(total));
        status.SetStatus(text);
    }
}

void NtfsClass::TakeRecord(std::uint64_t number, std::span<std::uint8_t> bytes) {
    const NtfsFixup fixup = ApplyNtfsFixups(bytes);
    if (fixup == NtfsFixup::NotARecord) return;
    const auto header = fixup == NtfsFixup::Applied ? DecodeNtfsRecordHeader(bytes) : std::nullopt;
    if (!header) {
        ++damagedRecords_;
        return;
    }
    const std::uint64_t base = NtfsRefRecord(header->baseRecord);
    const bool extension = header->baseRecord != 0 && base != number;
    RecordInfo info;
    info.seen = true;
    info.inUse = header->InUse();
    info.directory = header->Directory();
    info.sequence = header->sequence;
    std::vector<Stream> pieces;
    std::vector<std::uint64_t> firstVcns;
    NtfsAttributeWalk walk(bytes, *header);
    while (auto a = walk.Next()) {
        if (a->type == kNtfsStandardInformation && !a->nonResident) {
            if (auto si = DecodeNtfsStandardInformation(a->value)) {
                info.created = si->created;
                info.modified = si->modified;
                info.changed = si->changed;
                info.accessed = si->accessed;
                info.dosAttributes = si->dosAttributes;
            }
        } else if (a->type == kNtfsFileName && !a->nonResident) {
            auto fn = DecodeNtfsFileName(a->value);
            if (!fn || fn->name.empty()) continue;
            const auto nameSpace = static_cast<std::uint8_t>(fn->nameSpace);
            auto same = std::find_if(info.names.begin(), info.names.end(),
                                     [&](const RecordInfo::Name& n) { return n.parent == fn->parent; });
            if (same == info.names.end())
                info.names.push_back({fn->parent, std::move(fn->name), nameSpace});
            else if (NtfsNameBetter(fn->nameSpace, static_cast<NtfsNamespace>(same->nameSpace)))
                *same = {fn->parent, std::move(fn->name), nameSpace};
        } else if (a->type == kNtfsData) {
            Stream s;
            s.name = a->name;
            s.flags = a->flags;
            if (!a->nonResident) {
                s.resident = true;
                s.value.assign(a->value.begin(), a->value.end());
                s.dataSize = s.initializedSize = s.value.size();
            } else {
                auto runs = DecodeNtfsRunlist(a->runlist, a->firstVcn, ClusterLimit());
                s.runsBroken = !runs;
                if (runs) s.runs = std::move(*runs);
                s.compressionUnit = a->compressionUnit;
                if (a->firstVcn == 0) {
                    s.dataSize = a->dataSize;
                    s.initializedSize = std::min(a->initializedSize, a->dataSize);
                }
            }
            pieces.push_back(std::move(s));
            firstVcns.push_back(a->nonResident ? a->firstVcn : 0);
        }
    }
    if (extension) {
        // Kept for the base record, which may come later in the MFT.
        auto& names = extensionNames_[base];
        for (auto& n : info.names) names.push_back(std::move(n));
        auto& streams = extensionStreams_[base];
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (firstVcns[i] == 0 && !pieces[i].resident && pieces[i].dataSize == 0 && pieces[i].runs.empty()) continue;
            streams.push_back(std::move(pieces[i]));
        }
        return;
    }
    for (auto& p : pieces) JoinPiece(info.streams, std::move(p));
    if (number >= slots_.size()) return;
    records_.push_back(std::move(info));
    slots_[number] = static_cast<std::uint32_t>(records_.size());
}

const NtfsClass::RecordInfo* NtfsClass::Record(std::uint64_t number) const {
    if (number >= slots_.size() || slots_[number] == 0) return nullptr;
    return &records_[slots_[number] - 1];
}

// ---- the tree

EntryId NtfsClass::AddEntry(Entry entry) {
    entries_.push_back(std::move(entry));
    return entries_.size() - 1;
}

void NtfsClass::Link(EntryId parent, EntryId child) {
    Entry& p = entries_[parent];
    entries_[child].parent = parent;
    if (p.lastChild == kNone)
        p.firstChild = child;
    else
        entries_[p.lastChild].nextSibling = child;
    p.lastChild = child;
}

void NtfsClass::BuildTree() {
    // Extension records' names and streams join their base records.
    for (auto& [base, names] : extensionNames_) {
        if (base >= slots_.size() || slots_[base] == 0) continue;
        RecordInfo& info = records_[slots_[base] - 1];
        for (auto& n : names)
            if (std::none_of(info.names.begin(), info.names.end(), [&](const auto& m) { return m.parent == n.parent; }))
                info.names.push_back(std::move(n));
    }
    for (auto& [base, pieces] : extensionStreams_) {
        if (base >= slots_.size() || slots_[base] == 0) continue;
        RecordInfo& info = records_[slots_[base] - 1];
        std::stable_sort(pieces.begin(), pieces.end(), [](const Stream& a, const Stream& b) {
            return (a.runs.empty() ? 0 : a.runs.front().vcn) < (b.runs.empty() ? 0 : b.runs.front().vcn);
        });
        for (auto& p : pieces) JoinPiece(info.streams, std::move(p));
        for (Stream& s : info.streams)
            std::stable_sort(s.runs.begin(), s.runs.end(), [](const NtfsRun& a, const NtfsRun& b) { return a.vcn < b.vcn; });
    }
    extensionNames_.clear();
    extensionStreams_.clear();

    entries_.clear();
    Entry root;
    root.name = "ROOT";
    root.record = kNtfsRootRecord;
    root.folder = true;
    AddEntry(root);
    Entry orphans;
    orphans.name = kNtfsOrphanName;
    orphans.folder = true;
    orphans.record = ~std::uint64_t{0};
    AddEntry(orphans);

    // One entry per name of a record (hard links each), and one per named stream beside it.
    std::vector<EntryId> folderEntry(slots_.size(), kNone);
    std::vector<std::pair<EntryId, std::uint64_t>> wanted;  // entry, parent reference
    for (std::uint64_t number = 0; number < slots_.size(); ++number) {
        if (slots_[number] == 0 || number == kNtfsRootRecord) continue;
        const RecordInfo& info = records_[slots_[number] - 1];
        if (info.dosAttributes & 0x4000) encryptedSeen_ = true;
        for (const auto& n : info.names) {
            Entry e;
            e.name = NtfsNameUtf8(n.name);
            e.record = number;
            e.folder = info.directory;
            e.deleted = !info.inUse;
            for (std::size_t s = 0; s < info.streams.size(); ++s)
                if (info.streams[s].name.empty()) e.stream = static_cast<int>(s);
            // A file that has only named streams ($Secure, $Extend's files) is listed by its streams alone.
            const bool streamsOnly = !info.directory && e.stream < 0 && !info.streams.empty();
            if (!streamsOnly) {
                const EntryId id = AddEntry(e);
                if (info.directory && folderEntry[number] == kNone) folderEntry[number] = id;
                wanted.emplace_back(id, n.parent);
            }
            for (std::size_t s = 0; s < info.streams.size(); ++s) {
                if (info.streams[s].name.empty()) continue;
                Entry stream = e;
                stream.name = e.name + ":" + NtfsNameUtf8(info.streams[s].name);
                stream.folder = false;
                stream.stream = static_cast<int>(s);
                wanted.emplace_back(AddEntry(stream), n.parent);
            }
        }
    }
    folderEntry[kNtfsRootRecord] = 0;

    // The parent a name states, when that record is a folder and still the one named (same sequence number;
    // a folder deleted after its files counts its deletion as one more).
    std::vector<EntryId> parentOf(entries_.size(), 1);
    for (const auto& [id, ref] : wanted) {
        const std::uint64_t number = NtfsRefRecord(ref);
        const std::uint16_t sequence = NtfsRefSequence(ref);
        const RecordInfo* p = Record(number);
        if (number >= folderEntry.size() || folderEntry[number] == kNone || !p || !p->directory) continue;
        const bool same = sequence == 0 || p->sequence == sequence || (!p->inUse && p->sequence == sequence + 1);
        if (same) parentOf[id] = folderEntry[number];
    }
    parentOf[0] = 0;
    parentOf[1] = 0;
    // Deleted folders may name each other: a chain that does not reach the root goes under the lost entries.
    for (EntryId id = 2; id < entries_.size(); ++id) {
        if (!entries_[id].folder) continue;
        EntryId at = parentOf[id];
        std::size_t depth = 0;
        while (at > 1 && at != id && depth++ < kMaxDepth) at = parentOf[at];
        if (at == id || depth >= kMaxDepth) parentOf[id] = 1;
    }
    for (EntryId id = 2; id < entries_.size(); ++id) Link(parentOf[id], id);
    if (entries_[1].firstChild != kNone) {
        // The lost entries lead the root's children, as on the other file systems.
        entries_[1].nextSibling = entries_[0].firstChild;
        entries_[0].firstChild = 1;
        entries_[1].parent = 0;
    }
}

void NtfsClass::FillResultTree() {
    if (!tree) return;
    Status().SetStatus("filling root entries in  tree....");
    const ItemId rootItem = tree->InsertItem(kNoItem, "ROOT", true, EntryId{0});
    for (auto c = FirstChild(0); c; c = NextSibling(*c)) {
        const ItemId item = tree->InsertItem(rootItem, entries_[*c].name, IsFolder(*c), *c);
        if (entries_[*c].deleted) tree->SetTextColour(item, DeletedColour());
    }
    tree->Expand(rootItem);
}

ScanOutcome NtfsClass::Scan(const ScanRequest& request) {
    records_.clear();
    slots_.clear();
    mftRuns_.clear();
    entries_.clear();
    damagedRecords_ = 0;
    encryptedSeen_ = false;
    if (!request.source) return ScanOutcome::NotThisFileSystem;
    if (!FindBoot(request) && (request.mode != RecoveryMode::Advanced || !InferBootFromRecords(request)))
        return ScanOutcome::NotThisFileSystem;
    if (!ReadMftRuns()) {
        Status().SetStatus("the MFT's first record could not be read, nor its mirror copy");
        return ScanOutcome::RootUnreadable;
    }
    ReadRecords();
    BuildTree();
    FillResultTree();
    if (damagedRecords_ > 0) {
        char text[160];
        std::snprintf(text, sizeof text, "%llu MFT records are damaged (their sector checks do not match): not read",
                      static_cast<unsigned long long>(damagedRecords_));
        Status().SetStatus(text);
    }
    if (encryptedSeen_)
        Status().SetStatus("encrypted files are listed; they are saved as stored on the volume, still encrypted");
    return ScanOutcome::Done;
}

// ---- results side

const NtfsClass::Stream* NtfsClass::StreamOf(EntryId id) const {
    if (id >= entries_.size() || entries_[id].stream < 0) return nullptr;
    const RecordInfo* info = Record(entries_[id].record);
    if (!info || static_cast<std::size_t>(entries_[id].stream) >= info->streams.size()) return nullptr;
    return &info->streams[static_cast<std::size_t>(entries_[id].stream)];
}

std::optional<EntryId> NtfsClass::FirstChild(EntryId id) const {
    if (id >= entries_.size() || entries_[id].firstChild == kNone) return std::nullopt;
    return entries_[id].firstChild;
}

std::optional<EntryId> NtfsClass::NextSibling(EntryId id) const {
    if (id >= entries_.size() || entries_[id].nextSibling == kNone) return std::nullopt;
    return entries_[id].nextSibling;
}

std::string NtfsClass::EntryName(EntryId id) const { return id < entries_.size() ? entries_[id].name : std::string(); }

void NtfsClass::RenameEntry(EntryId id, const std::string& name) {
    if (id < entries_.size()) entries_[id].name = name;
}

bool NtfsClass::IsDeleted(EntryId id) const { return id < entries_.size() && entries_[id].deleted; }

bool NtfsClass::IsFolder(EntryId id) const { return id < entries_.size() && entries_[id].folder; }

std::uint64_t NtfsClass::EntrySizeBytes(EntryId id) const {
    if (IsFolder(id)) return 0;
    const Stream* s = StreamOf(id);
    return s ? s->dataSize : 0;
}

std::string NtfsClass::FormatEntrySize(EntryId id) const { return FormatFatSize(EntrySizeBytes(id)); }

EntryTexts NtfsClass::FormatEntryTimes(EntryId id) const {
    const RecordInfo* info = id < entries_.size() ? Record(entries_[id].record) : nullptr;
    if (!info) return {};
    return {TimeText(info->created), TimeText(info->accessed), TimeText(info->modified),
            AttributeText(info->dosAttributes, StreamOf(id))};
}

StoredTimes NtfsClass::EntryStoredTimes(EntryId id) {
    const RecordInfo* info = id < entries_.size() ? Record(entries_[id].record) : nullptr;
    if (!info) return {};
    return {NtfsTime(info->accessed), NtfsTime(info->modified), NtfsTime(info->created), NtfsTime(info->changed)};
}

std::optional<EntryContent> NtfsClass::Content(EntryId id) {
    if (id >= entries_.size() || IsFolder(id)) return std::nullopt;
    EntryContent c;
    const Stream* s = StreamOf(id);
    if (!s) return c;  // no $DATA: an empty file
    c.size = s->dataSize;
    if (s->resident) {
        c.resident = s->value;
        c.Add(c.size, RunKind::Resident, 0);
        return c;
    }
    const std::uint64_t cluster = boot_.clusterBytes;
    const std::uint64_t first = window_.First();
    c.whole = !s->runsBroken;
    const bool compressed = (s->flags & 0x0001) && s->compressionUnit != 0 && s->compressionUnit < 16;
    if (!compressed) {
        for (const NtfsRun& run : s->runs) {
            const std::uint64_t from = run.vcn * cluster;
            if (from >= c.size) break;
            if (from != c.Covered()) {
                c.whole = false;  // a piece of the runlist is missing
                break;
            }
            std::uint64_t length = std::min(run.length * cluster, c.size - from);
            if (!run.lcn) {
                c.Add(length, RunKind::Hole, 0);
                continue;
            }
            // Bytes past the initialized size read as zeros whatever the clusters hold.
            const std::uint64_t stored = from >= s->initializedSize ? 0 : std::min(length, s->initializedSize - from);
            if (stored > 0) c.Add(stored, RunKind::Source, first + *run.lcn * cluster);
            if (stored < length) c.Add(length - stored, RunKind::Hole, 0);
        }
        if (c.Covered() < c.size) c.whole = false;
        return c;
    }
    // Compression units: a unit whose clusters are all allocated is stored as it is; a unit with a sparse tail
    // holds LZNT1 chunks in its allocated head; a unit with nothing allocated is zeros.
    const std::uint64_t unitClusters = std::uint64_t{1} << s->compressionUnit;
    const std::uint64_t unitBytes = unitClusters * cluster;
    std::vector<std::uint8_t> packed, unpacked(static_cast<std::size_t>(unitBytes));
    for (std::uint64_t unit = 0; unit * unitBytes < c.size; ++unit) {
        const std::uint64_t vcn0 = unit * unitClusters;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> allocated;  // lcn, clusters (in order)
        std::uint64_t known = 0;
        for (const NtfsRun& run : s->runs) {
            const std::uint64_t lo = std::max(run.vcn, vcn0), hi = std::min(run.vcn + run.length, vcn0 + unitClusters);
            if (lo >= hi) continue;
            known += hi - lo;
            if (run.lcn) allocated.emplace_back(*run.lcn + (lo - run.vcn), hi - lo);
        }
        const std::uint64_t length = std::min(unitBytes, c.size - unit * unitBytes);
        std::uint64_t stored = 0;
        for (const auto& a : allocated) stored += a.second;
        if (known < std::min(unitClusters, (c.size - unit * unitBytes + cluster - 1) / cluster)) {
            c.whole = false;
            break;
        }
        if (stored == 0) {
            c.Add(length, RunKind::Hole, 0);
        } else if (stored >= unitClusters) {
            std::uint64_t placed = 0;
            for (const auto& [lcn, n] : allocated) {
                const std::uint64_t piece = std::min(n * cluster, length - placed);
                if (piece == 0) break;
                c.Add(piece, RunKind::Source, first + lcn * cluster);
                placed += piece;
            }
        } else {
            if (c.resident.size() + length > kMaxDecompressedBytes) {
                c.whole = false;
                break;
            }
            packed.assign(static_cast<std::size_t>(stored * cluster), 0);
            std::size_t at = 0;
            ByteRanges missing;
            for (const auto& [lcn, n] : allocated) {
                window_.ReadAt(lcn * cluster, {packed.data() + at, static_cast<std::size_t>(n * cluster)}, &missing);
                at += static_cast<std::size_t>(n * cluster);
            }
            const auto made = DecompressLznt1(packed, unpacked);
            if (!made || !missing.empty()) c.unsure += length;
            const std::uint64_t offset = c.resident.size();
            c.resident.insert(c.resident.end(), unpacked.begin(), unpacked.begin() + static_cast<std::ptrdiff_t>(length));
            c.Add(length, RunKind::Resident, offset);
        }
    }
    if (c.Covered() < c.size) c.whole = false;
    return c;
}

std::optional<EntryContent> NtfsClass::Placement(EntryId id) {
    const Stream* s = id < entries_.size() && !IsFolder(id) ? StreamOf(id) : nullptr;
    if (!s || s->resident || !(s->flags & 0x0001)) return Content(id);
    EntryContent stored;
    const std::uint64_t cluster = boot_.clusterBytes;
    for (const NtfsRun& run : s->runs) {
        if (run.vcn * cluster != stored.Covered()) break;
        stored.Add(run.length * cluster, run.lcn ? RunKind::Source : RunKind::Hole,
                   run.lcn ? window_.First() + *run.lcn * cluster : 0);
    }
    stored.size = stored.Covered();
    stored.whole = !s->runsBroken;
    return stored;
}

const AllocationMap* NtfsClass::Allocation() {
    if (allocationTried_) return allocation_ ? &*allocation_ : nullptr;
    allocationTried_ = true;
    constexpr std::uint64_t kBitmapRecord = 6;
    const RecordInfo* info = Record(kBitmapRecord);
    const std::uint64_t cluster = boot_.clusterBytes;
    if (!info || !info->inUse || info->damaged || cluster == 0) return nullptr;
    const std::uint64_t units = boot_.VolumeBytes() / cluster;
    const std::uint64_t bytes = (units + 7) / 8;
    for (const Stream& s : info->streams) {
        if (!s.name.empty() || s.dataSize < bytes || s.runsBroken) continue;
        EntryContent bitmap;
        bitmap.size = bytes;
        if (s.resident) {
            bitmap.resident = s.value;
            bitmap.Add(bytes, RunKind::Resident, 0);
        } else {
            for (const NtfsRun& run : s.runs) {
                if (run.vcn * cluster != bitmap.Covered() || !run.lcn) return nullptr;
                bitmap.Add(std::min(run.length * cluster, bytes - bitmap.Covered()), RunKind::Source,
                           window_.First() + *run.lcn * cluster);
                if (bitmap.Covered() >= bytes) break;
            }
        }
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(bytes));
        const ContentRead read = ReadContent(reader_, bitmap, 0, bits);
        // An unreadable piece may hide anything: no verdicts rather than wrong ones.
        if (!read.unreadable.empty()) return nullptr;
        AllocationMap map(window_.First(), cluster, units);
        map.MarkFromBitmap(bits.data(), units, 0);
        allocation_ = std::move(map);
        return &*allocation_;
    }
    return nullptr;
}

}  // namespace salvora
