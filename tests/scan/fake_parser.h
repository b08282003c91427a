#pragma once
// An in-memory parser for the results-side tests: records with names, kinds, contents and a first-child /
// next-sibling tree, and a recording UI sink. No disk, no file system.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "io/ui_sink.h"
#include "model/parser_base.h"
#include "model/result_tree.h"

namespace salvora::test {

class FakeParser final : public ParserBase {
  public:
    struct Record {
        std::string name;
        bool folder = false;
        bool deleted = false;
        std::string content;
        EntryId parent = 0;
        std::vector<EntryId> children;
    };

    FakeParser() { records_.push_back({"ROOT", true, false, {}, 0, {}}); }

    EntryId Add(EntryId parent, const std::string& name, bool folder, std::string content = {},
                bool deleted = false) {
        const EntryId id = records_.size();
        records_.push_back({name, folder, deleted, std::move(content), parent, {}});
        records_[parent].children.push_back(id);
        return id;
    }
    EntryId Folder(EntryId parent, const std::string& name, bool deleted = false) {
        return Add(parent, name, true, {}, deleted);
    }
    EntryId File(EntryId parent, const std::string& name, std::string content = "x", bool deleted = false) {
        return Add(parent, name, false, std::move(content), deleted);
    }

    // What the FAT parsers' CreateTreeStructure does: the root item and the first level.
    ItemId FillTop(ResultTree& t) {
        const ItemId root = t.InsertItem(kNoItem, "ROOT", true, 0);
        for (EntryId c : records_[0].children) {
            const ItemId item = t.InsertItem(root, records_[c].name, records_[c].folder, c);
            if (records_[c].deleted) t.SetTextColour(item, DeletedColour());
        }
        return root;
    }

    std::set<EntryId> failing;  // ExtractFile writes half of these, then fails (as on a full disk)
    // Files go through the engine's staged copies and its writer threads; failing ones and all of them when
    // false through ExtractFile below.
    bool staged = true;
    std::vector<std::string> extracted;

    EntryId RootEntry() const override { return 0; }
    std::optional<EntryId> FirstChild(EntryId id) const override {
        if (id >= records_.size() || records_[id].children.empty()) return std::nullopt;
        return records_[id].children.front();
    }
    std::optional<EntryId> NextSibling(EntryId id) const override {
        if (id == 0 || id >= records_.size()) return std::nullopt;
        const auto& siblings = records_[records_[id].parent].children;
        for (std::size_t i = 0; i + 1 < siblings.size(); ++i)
            if (siblings[i] == id) return siblings[i + 1];
        return std::nullopt;
    }
    std::string EntryName(EntryId id) const override { return records_.at(id).name; }
    void RenameEntry(EntryId id, const std::string& name) override { records_.at(id).name = name; }
    bool IsDeleted(EntryId id) const override { return records_.at(id).deleted; }
    bool IsFolder(EntryId id) const override { return records_.at(id).folder; }
    bool IsSaveFolder(EntryId id) const override { return records_.at(id).folder; }
    bool IsWalkFolder(EntryId id) const override { return records_.at(id).folder; }
    bool IsWalkFile(EntryId id) const override { return !records_.at(id).folder; }
    std::uint64_t EntrySizeBytes(EntryId id) const override { return records_.at(id).content.size(); }
    std::string FormatEntrySize(EntryId id) const override {
        return std::to_string(records_.at(id).content.size()) + " Bytes";
    }
    EntryTexts FormatEntryTimes(EntryId id) const override {
        const auto& n = records_.at(id).name;
        return {"c:" + n, "a:" + n, "m:" + n, "-A"};
    }
    // Refuses an existing destination, so a test sees any attempt to overwrite.
    CopyResult ExtractFile(EntryId id, const std::string& destPath) override {
        extracted.push_back(destPath);
        const auto& c = records_.at(id).content;
        CopyResult result{false, 0, c.size()};
        const int fd = ::open(destPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) return result;
        const std::size_t size = failing.count(id) ? c.size() / 2 : c.size();
        const bool ok = ::write(fd, c.data(), size) == static_cast<ssize_t>(size);
        ::close(fd);
        result.written = ok && !failing.count(id);
        return result;
    }

    std::optional<StagedCopy> StageFile(EntryId id, const std::string& destPath, std::uint64_t maxBytes) override {
        if (!staged || failing.count(id)) return std::nullopt;
        return ParserBase::StageFile(id, destPath, maxBytes);
    }

    std::optional<EntryContent> Content(EntryId id) override {
        if (records_.at(id).folder) return std::nullopt;
        EntryContent content;
        const std::string& c = records_.at(id).content;
        content.resident.assign(c.begin(), c.end());
        content.size = c.size();
        content.Add(c.size(), RunKind::Resident, 0);
        return content;
    }

  private:
    std::vector<Record> records_;
};

class RecordingUi final : public UiSink {
  public:
    struct Message {
        std::string text, title;
        MsgIcon icon;
        MsgButtons buttons;
    };
    MsgAnswer answer = MsgAnswer::Yes;
    std::vector<Message> messages;
    std::vector<std::string> statuses;
    std::int64_t rangeHigh = -1;
    std::int64_t lastPos = -1;
    std::function<void(std::int64_t)> onPos;  // called with each progress position
    std::mutex mutex;

    MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                          MsgButtons buttons) override {
        std::lock_guard lock(mutex);
        messages.push_back({text, title, icon, buttons});
        return buttons == MsgButtons::YesNo ? answer : MsgAnswer::Ok;
    }
    void SetStatus(const std::string& text) override {
        std::lock_guard lock(mutex);
        statuses.push_back(text);
    }
    void SetProgressRange(std::int64_t, std::int64_t high) override {
        std::lock_guard lock(mutex);
        rangeHigh = high;
    }
    void SetProgressPos(std::int64_t pos) override {
        {
            std::lock_guard lock(mutex);
            lastPos = pos;
        }
        if (onPos) onPos(pos);
    }

    std::vector<std::string> Texts() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& m : messages) out.push_back(m.text);
        return out;
    }
};

}  // namespace salvora::test
