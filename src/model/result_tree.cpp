#include "model/result_tree.h"

#include <algorithm>
#include <cctype>

namespace salvora {
namespace {

std::string ExtensionOf(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size()) return {};
    std::string ext = name.substr(dot + 1);
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace

bool ResultTree::ValidLocked(ItemId item) const {
    return item >= 0 && static_cast<std::size_t>(item) < items_.size() && !items_[item].removed;
}

bool ResultTree::Valid(ItemId item) const {
    std::lock_guard lock(mutex_);
    return ValidLocked(item);
}

ItemId ResultTree::InsertItem(ItemId parent, const std::string& text, bool isFolder, std::optional<EntryId> entry) {
    std::lock_guard lock(mutex_);
    if (parent != kNoItem && !ValidLocked(parent)) return kNoItem;
    ResultItem item;
    item.text = text;
    item.isFolder = isFolder;
    if (!isFolder) item.extension = ExtensionOf(text);
    item.entry = entry;
    item.parent = parent;
    const auto id = static_cast<ItemId>(items_.size());
    int row;
    if (parent == kNoItem) {
        row = static_cast<int>(topLevel_.size());
        topLevel_.push_back(id);
    } else {
        auto& p = items_[parent];
        row = static_cast<int>(p.children.size());
        if (p.check == CheckState::Checked) item.check = CheckState::Checked;
        p.children.push_back(id);
    }
    // No parent update: a child of a checked folder starts checked, any other change of state comes from
    // SetCheck. Rescanning the siblings here would make filling a big folder quadratic.
    items_.push_back(std::move(item));
    if (observer_) observer_->ItemInserted(parent, row, id);
    return id;
}

void ResultTree::SetTextColour(ItemId item, std::uint32_t colour) {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(item)) return;
    items_[item].textColour = colour;
    if (observer_) observer_->ItemChanged(item);
}

void ResultTree::SetUnreadable(ItemId item) {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(item) || items_[item].unreadable) return;
    items_[item].unreadable = true;
    if (observer_) observer_->ItemChanged(item);
}

void ResultTree::SetText(ItemId item, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(item)) return;
    items_[item].text = text;
    if (!items_[item].isFolder) items_[item].extension = ExtensionOf(text);
    if (observer_) observer_->ItemChanged(item);
}

void ResultTree::Expand(ItemId item) {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(item)) return;
    items_[item].expanded = true;
    if (observer_) observer_->ItemChanged(item);
}

void ResultTree::DeleteItem(ItemId item) {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(item) || !items_[item].children.empty()) return;
    const ItemId parent = items_[item].parent;
    auto& siblings = parent == kNoItem ? topLevel_ : items_[parent].children;
    const auto it = std::find(siblings.begin(), siblings.end(), item);
    if (it == siblings.end()) return;
    const int row = static_cast<int>(it - siblings.begin());
    siblings.erase(it);
    items_[item].removed = true;
    if (observer_) observer_->ItemRemoved(parent, row, item);
}

void ResultTree::Clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
    topLevel_.clear();
    if (observer_) observer_->TreeCleared();
}

void ResultTree::InsertPlaceholder(ItemId folder) { InsertItem(folder, PlaceholderText, false, std::nullopt); }

bool ResultTree::IsPlaceholder(ItemId item) const {
    std::lock_guard lock(mutex_);
    return ValidLocked(item) && !items_[item].entry && items_[item].text == PlaceholderText;
}

ItemId ResultTree::Root() const {
    std::lock_guard lock(mutex_);
    return topLevel_.empty() ? kNoItem : topLevel_.front();
}

std::vector<ItemId> ResultTree::TopLevel() const {
    std::lock_guard lock(mutex_);
    return topLevel_;
}

std::vector<ItemId> ResultTree::Children(ItemId item) const {
    std::lock_guard lock(mutex_);
    if (item == kNoItem) return topLevel_;
    return ValidLocked(item) ? items_[item].children : std::vector<ItemId>{};
}

ItemId ResultTree::FirstChild(ItemId item) const {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(item) || items_[item].children.empty()) return kNoItem;
    return items_[item].children.front();
}

ResultItem ResultTree::Item(ItemId item) const {
    std::lock_guard lock(mutex_);
    return ValidLocked(item) ? items_[item] : ResultItem{};
}

std::size_t ResultTree::Size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void ResultTree::SetCheckDown(ItemId item, CheckState state) {
    // Iterative: a deep tree must not exhaust the stack.
    std::vector<ItemId> stack{item};
    while (!stack.empty()) {
        const ItemId id = stack.back();
        stack.pop_back();
        auto& it = items_[id];
        if (it.check != state) {
            it.check = state;
            if (observer_) observer_->ItemChanged(id);
        }
        stack.insert(stack.end(), it.children.begin(), it.children.end());
    }
}

void ResultTree::UpdateParents(ItemId item) {
    for (ItemId parent = items_[item].parent; parent != kNoItem; parent = items_[parent].parent) {
        bool any = false, all = true;
        for (ItemId child : items_[parent].children) {
            const auto c = items_[child].check;
            any = any || c != CheckState::Unchecked;
            all = all && c == CheckState::Checked;
        }
        const CheckState state = all ? CheckState::Checked : any ? CheckState::Partial : CheckState::Unchecked;
        if (items_[parent].check == state) break;
        items_[parent].check = state;
        if (observer_) observer_->ItemChanged(parent);
    }
}

void ResultTree::SetCheck(ItemId item, bool checked) {
    std::lock_guard lock(mutex_);
    if (!ValidLocked(item)) return;
    SetCheckDown(item, checked ? CheckState::Checked : CheckState::Unchecked);
    UpdateParents(item);
}

CheckState ResultTree::Check(ItemId item) const {
    std::lock_guard lock(mutex_);
    return ValidLocked(item) ? items_[item].check : CheckState::Unchecked;
}

void ResultTree::CollectCheckedRoots(ItemId item, std::vector<ItemId>& out) const {
    std::vector<ItemId> stack{item};
    while (!stack.empty()) {
        const ItemId id = stack.back();
        stack.pop_back();
        const auto& it = items_[id];
        if (it.check == CheckState::Checked) {
            if (it.entry) out.push_back(id);
        } else if (it.check == CheckState::Partial) {
            for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) stack.push_back(*c);
        }
    }
}

std::vector<ItemId> ResultTree::CheckedRoots() const {
    std::lock_guard lock(mutex_);
    std::vector<ItemId> out;
    for (ItemId top : topLevel_) CollectCheckedRoots(top, out);
    return out;
}

void ResultTree::SetObserver(ResultTreeObserver* observer) {
    std::lock_guard lock(mutex_);
    observer_ = observer;
}

}  // namespace salvora
