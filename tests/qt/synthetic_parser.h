#pragma once
// A parser without a disk: entry 0 is the root, 1 a folder "big" holding `files` files, every third one
// deleted, then "small" with one sub-folder "inner" holding "a.txt". Enough to drive the tree model and its
// benchmark.
#include <string>

#include "model/parser_base.h"
#include "model/result_tree.h"

namespace salvora::gui::test {

class SyntheticParser final : public ParserBase {
  public:
    explicit SyntheticParser(std::uint64_t files) : files_(files) {}
    // ids: 0 root, 1 big, 2 small, 3 inner, 4 a.txt, 5.. the files of big
    EntryId RootEntry() const override { return 0; }
    std::optional<EntryId> FirstChild(EntryId id) const override {
        switch (id) {
            case 0:
                return 1;
            case 1:
                return files_ ? std::optional<EntryId>(5) : std::nullopt;
            case 2:
                return 3;
            case 3:
                return 4;
            default:
                return std::nullopt;
        }
    }
    std::optional<EntryId> NextSibling(EntryId id) const override {
        if (id == 1) return 2;
        if (id >= 5 && id + 1 < 5 + files_) return id + 1;
        return std::nullopt;
    }
    std::string EntryName(EntryId id) const override {
        switch (id) {
            case 0:
                return "ROOT";
            case 1:
                return "big";
            case 2:
                return "small";
            case 3:
                return "inner";
            case 4:
                return "a.txt";
            default:
                return "file" + std::to_string(id - 5) + ".jpg";
        }
    }
    void RenameEntry(EntryId, const std::string&) override {}
    bool IsDeleted(EntryId id) const override { return id >= 5 && (id - 5) % 3 == 0; }
    bool IsFolder(EntryId id) const override { return id <= 3; }
    bool IsSaveFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFile(EntryId id) const override { return !IsFolder(id); }
    std::uint64_t EntrySizeBytes(EntryId) const override { return 1024; }
    std::string FormatEntrySize(EntryId) const override { return "1.00 KB"; }
    EntryTexts FormatEntryTimes(EntryId) const override { return {}; }
    CopyResult ExtractFile(EntryId, const std::string&) override { return {}; }

    // What a parser's CreateTreeStructure and the end of a scan leave: the root, the first level,
    // placeholders.
    void FillTop(ResultTree& tree) {
        const ItemId root = tree.InsertItem(kNoItem, "ROOT", true, 0);
        tree.InsertItem(root, "big", true, 1);
        tree.InsertItem(root, "small", true, 2);
        tree.Expand(root);
    }

  private:
    std::uint64_t files_;
};

}  // namespace salvora::gui::test
