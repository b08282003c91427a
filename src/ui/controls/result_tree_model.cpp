#include "ui/controls/result_tree_model.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QMetaObject>
#include <QStyle>
#include <QThread>
#include <algorithm>
#include <map>

#include "ui/controls/file_icons.h"

namespace salvora::gui {
namespace {

int CountBelow(const std::vector<int>& gaps, int row) {
    return static_cast<int>(std::count_if(gaps.begin(), gaps.end(), [row](int s) { return s < row; }));
}

}  // namespace

ResultTreeModel::ResultTreeModel(ResultTree& tree, QObject* parent)
    : QAbstractItemModel(parent), tree_(tree) {
    // Adopt whatever the tree holds already, then follow its changes.
    std::vector<ItemId> pending = tree_.TopLevel();
    for (std::size_t i = 0; i < pending.size(); ++i) {
        const ItemId id = pending[i];
        const ResultItem item = tree_.Item(id);
        if (nodes_.size() <= static_cast<std::size_t>(id)) nodes_.resize(id + 1);
        Node& node = nodes_[id];
        node.known = true;
        node.parent = item.parent;
        node.placeholder = !item.entry && item.text == PlaceholderText;
        Refresh(id, node);
        auto& rows = RowsOf(item.parent);
        auto& gaps = SlotsOf(item.parent);
        if (node.placeholder) {
            gaps.push_back(static_cast<int>(rows.size() + gaps.size()));
        } else {
            node.row = static_cast<int>(rows.size());
            rows.push_back(id);
        }
        pending.insert(pending.end(), item.children.begin(), item.children.end());
    }
    tree_.SetObserver(this);
}

ResultTreeModel::~ResultTreeModel() { tree_.SetObserver(nullptr); }

// ---- notifications (any thread) ----

void ResultTreeModel::ItemInserted(ItemId parent, int row, ItemId item) {
    Queue({Event::Insert, parent, row, item});
}
void ResultTreeModel::ItemRemoved(ItemId parent, int row, ItemId item) {
    Queue({Event::Remove, parent, row, item});
}
void ResultTreeModel::TreeCleared() { Queue({Event::Clear, kNoItem, 0, kNoItem}); }

void ResultTreeModel::ItemChanged(ItemId item) {
    {
        std::lock_guard lock(queueMutex_);
        changed_.insert(item);
    }
    ScheduleSync();
}

void ResultTreeModel::Queue(const Event& event) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(event);
    }
    // Structure changes made on the UI thread are applied at once, so a fetchMore is complete when it
    // returns.
    if (QThread::currentThread() == thread() && batching_ == 0) {
        Sync();
    } else {
        ScheduleSync();
    }
}

void ResultTreeModel::ScheduleSync() {
    std::lock_guard lock(queueMutex_);
    if (syncPosted_) return;
    syncPosted_ = true;
    QMetaObject::invokeMethod(this, &ResultTreeModel::Sync, Qt::QueuedConnection);
}

// ---- applying them (UI thread) ----

void ResultTreeModel::Sync() {
    std::vector<Event> events;
    std::unordered_set<ItemId> changed;
    {
        std::lock_guard lock(queueMutex_);
        events.swap(queue_);
        changed.swap(changed_);
        syncPosted_ = false;
    }
    for (std::size_t i = 0; i < events.size();) {
        switch (events[i].kind) {
            case Event::Insert:
                ApplyInserts(events, i);
                break;
            case Event::Remove:
                ApplyRemove(events[i++]);
                break;
            case Event::Clear:
                beginResetModel();
                nodes_.clear();
                topRows_.clear();
                topSlots_.clear();
                endResetModel();
                ++i;
                break;
        }
    }
    if (!changed.empty()) ApplyChanges(std::move(changed));
}

void ResultTreeModel::ApplyInserts(const std::vector<Event>& events, std::size_t& i) {
    const ItemId parent = events[i].parent;
    if (parent != kNoItem && !NodeOf(parent)) {  // parent unknown: already cleared away
        ++i;
        return;
    }
    auto& rows = RowsOf(parent);
    auto& gaps = SlotsOf(parent);
    const QModelIndex parentIndex = IndexOf(parent);

    const ResultItem first = tree_.Item(events[i].item);
    if (!first.entry && first.text == PlaceholderText) {
        const int at = events[i].row;
        for (int& s : gaps)
            if (s >= at) ++s;
        gaps.push_back(at);
        if (nodes_.size() <= static_cast<std::size_t>(events[i].item)) nodes_.resize(events[i].item + 1);
        Node& node = nodes_[events[i].item];
        node = Node{};
        node.known = true;
        node.placeholder = true;
        node.parent = parent;
        ++i;
        // The view learns of the expand button from a change of the folder itself.
        if (parentIndex.isValid() && RowsOf(parent).empty()) Q_EMIT dataChanged(parentIndex, parentIndex);
        return;
    }

    // A run of appends under one parent becomes one insertion: a folder of 100,000 files is one signal.
    const int firstRow = events[i].row - CountBelow(gaps, events[i].row);
    std::size_t end = i + 1;
    if (firstRow == static_cast<int>(rows.size()) && gaps.empty()) {
        while (end < events.size() && events[end].kind == Event::Insert && events[end].parent == parent &&
               events[end].row == events[end - 1].row + 1) {
            const ResultItem next = tree_.Item(events[end].item);
            if (!next.entry && next.text == PlaceholderText) break;
            ++end;
        }
    }
    const int count = static_cast<int>(end - i);
    beginInsertRows(parentIndex, firstRow, firstRow + count - 1);
    for (int s = 0; s < static_cast<int>(gaps.size()); ++s)
        if (gaps[s] >= events[i].row) gaps[s] += count;
    // Growing nodes_ may move the parent's vectors: look them up again afterwards.
    std::vector<ItemId> added;
    added.reserve(count);
    for (std::size_t k = i; k < end; ++k) {
        const ItemId id = events[k].item;
        if (nodes_.size() <= static_cast<std::size_t>(id)) nodes_.resize(id + 1);
        added.push_back(id);
    }
    auto& rowsAfter = RowsOf(parent);
    rowsAfter.insert(rowsAfter.begin() + firstRow, added.begin(), added.end());
    for (int k = 0; k < count; ++k) {
        Node& node = nodes_[added[k]];
        node = Node{};
        node.known = true;
        node.parent = parent;
        Refresh(added[k], node);
    }
    Renumber(rowsAfter, firstRow);
    endInsertRows();
    for (ItemId id : added)
        if (nodes_[id].expanded) Q_EMIT expandRequested(IndexOf(id));
    i = end;
}

void ResultTreeModel::ApplyRemove(const Event& event) {
    if (event.parent != kNoItem && !NodeOf(event.parent)) return;
    auto& gaps = SlotsOf(event.parent);
    const auto slot = std::find(gaps.begin(), gaps.end(), event.row);
    if (slot != gaps.end()) {
        gaps.erase(slot);
        for (int& s : gaps)
            if (s > event.row) --s;
        if (nodes_.size() > static_cast<std::size_t>(event.item)) nodes_[event.item] = Node{};
        const QModelIndex parentIndex = IndexOf(event.parent);
        if (parentIndex.isValid() && RowsOf(event.parent).empty())
            Q_EMIT dataChanged(parentIndex, parentIndex);
        return;
    }
    const int modelRow = event.row - CountBelow(gaps, event.row);
    auto& rows = RowsOf(event.parent);
    if (modelRow < 0 || modelRow >= static_cast<int>(rows.size())) return;
    beginRemoveRows(IndexOf(event.parent), modelRow, modelRow);
    for (int& s : gaps)
        if (s > event.row) --s;
    rows.erase(rows.begin() + modelRow);
    Renumber(rows, modelRow);
    if (nodes_.size() > static_cast<std::size_t>(event.item)) nodes_[event.item] = Node{};
    endRemoveRows();
}

void ResultTreeModel::ApplyChanges(std::unordered_set<ItemId> changed) {
    // One dataChanged per parent, over the rows that changed: checking 100,000 files is one signal.
    std::map<ItemId, std::pair<int, int>> spans;
    std::vector<ItemId> expand;
    for (ItemId id : changed) {
        Node* node = NodeOf(id);
        if (!node || node->placeholder) continue;
        const bool wasExpanded = node->expanded;
        Refresh(id, *node);
        if (node->expanded && !wasExpanded) expand.push_back(id);
        auto [it, fresh] = spans.try_emplace(node->parent, node->row, node->row);
        if (!fresh) {
            it->second.first = std::min(it->second.first, node->row);
            it->second.second = std::max(it->second.second, node->row);
        }
    }
    for (const auto& [parent, span] : spans) {
        const QModelIndex p = IndexOf(parent);
        Q_EMIT dataChanged(index(span.first, 0, p), index(span.second, 0, p));
    }
    for (ItemId id : expand) Q_EMIT expandRequested(IndexOf(id));
}

void ResultTreeModel::Refresh(ItemId item, Node& node) {
    const ResultItem it = tree_.Item(item);
    node.text = QString::fromStdString(it.text);
    node.extension = QString::fromStdString(it.extension);
    node.isFolder = it.isFolder;
    node.expanded = it.expanded;
    node.colour = it.textColour;
    node.unreadable = it.unreadable;
    node.entry = it.entry;
}

void ResultTreeModel::Renumber(std::vector<ItemId>& rows, int from) {
    for (int r = std::max(from, 0); r < static_cast<int>(rows.size()); ++r) nodes_[rows[r]].row = r;
}

ResultTreeModel::Node* ResultTreeModel::NodeOf(ItemId item) {
    if (item < 0 || static_cast<std::size_t>(item) >= nodes_.size() || !nodes_[item].known) return nullptr;
    return &nodes_[item];
}
const ResultTreeModel::Node* ResultTreeModel::NodeOf(ItemId item) const {
    if (item < 0 || static_cast<std::size_t>(item) >= nodes_.size() || !nodes_[item].known) return nullptr;
    return &nodes_[item];
}
std::vector<ItemId>& ResultTreeModel::RowsOf(ItemId parent) {
    return parent == kNoItem ? topRows_ : nodes_[parent].children;
}
const std::vector<ItemId>& ResultTreeModel::RowsOf(ItemId parent) const {
    return parent == kNoItem ? topRows_ : nodes_[parent].children;
}
std::vector<int>& ResultTreeModel::SlotsOf(ItemId parent) {
    return parent == kNoItem ? topSlots_ : nodes_[parent].placeholderSlots;
}

// ---- the model ----

ItemId ResultTreeModel::ItemAt(const QModelIndex& index) const {
    return index.isValid() ? static_cast<ItemId>(index.internalId()) : kNoItem;
}

QModelIndex ResultTreeModel::IndexOf(ItemId item) const {
    const Node* node = NodeOf(item);
    if (!node || node->placeholder) return {};
    return createIndex(node->row, 0, static_cast<quintptr>(item));
}

QModelIndex ResultTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) return {};
    const ItemId p = ItemAt(parent);
    if (p != kNoItem && !NodeOf(p)) return {};
    const auto& rows = RowsOf(p);
    if (row >= static_cast<int>(rows.size())) return {};
    return createIndex(row, 0, static_cast<quintptr>(rows[row]));
}

QModelIndex ResultTreeModel::parent(const QModelIndex& child) const {
    const Node* node = NodeOf(ItemAt(child));
    if (!node || node->parent == kNoItem) return {};
    return IndexOf(node->parent);
}

int ResultTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    const ItemId p = ItemAt(parent);
    if (p != kNoItem && !NodeOf(p)) return 0;
    return static_cast<int>(RowsOf(p).size());
}

int ResultTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool ResultTreeModel::hasChildren(const QModelIndex& parent) const {
    const ItemId p = ItemAt(parent);
    if (p == kNoItem) return !topRows_.empty();
    const Node* node = NodeOf(p);
    return node && (!node->children.empty() || !node->placeholderSlots.empty());
}

bool ResultTreeModel::canFetchMore(const QModelIndex& parent) const {
    const Node* node = NodeOf(ItemAt(parent));
    return node && !node->placeholderSlots.empty() && filler_;
}

void ResultTreeModel::fetchMore(const QModelIndex& parent) {
    const ItemId item = ItemAt(parent);
    if (!canFetchMore(parent)) return;
    ++batching_;
    filler_(item);
    --batching_;
    Sync();
}

QVariant ResultTreeModel::data(const QModelIndex& index, int role) const {
    const ItemId id = ItemAt(index);
    const Node* node = NodeOf(id);
    if (!node) return {};
    switch (role) {
        case Qt::DisplayRole:
            return node->unreadable ? node->text + tr(" (unreadable)") : node->text;
        case Qt::ToolTipRole:  // the whole name when the column is narrower
            return node->unreadable ? node->text + tr(": this folder could not be read whole (unreadable sectors); "
                                                      "files in it are missing")
                                    : node->text;
        case Qt::DecorationRole:
            if (node->unreadable) return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
            return node->isFolder ? TheFileIcons().Folder() : TheFileIcons().ForExtension(node->extension);
        case Qt::ForegroundRole:
            if (!node->colour) return {};
            // 0x00BBGGRR, as the parsers give it.
            return QBrush(
                QColor(*node->colour & 0xFF, (*node->colour >> 8) & 0xFF, (*node->colour >> 16) & 0xFF));
        case Qt::CheckStateRole:
            switch (tree_.Check(id)) {
                case CheckState::Checked:
                    return Qt::Checked;
                case CheckState::Partial:
                    return Qt::PartiallyChecked;
                case CheckState::Unchecked:
                    return Qt::Unchecked;
            }
            return {};
        case ItemIdRole:
            return id;
        case EntryIdRole:
            return node->entry ? QVariant::fromValue<qulonglong>(*node->entry) : QVariant();
        case IsFolderRole:
            return node->isFolder;
        default:
            return {};
    }
}

bool ResultTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const ItemId id = ItemAt(index);
    if (role != Qt::CheckStateRole || !NodeOf(id)) return false;
    const auto state = static_cast<Qt::CheckState>(value.toInt());
    ++batching_;
    tree_.SetCheck(id, state != Qt::Unchecked);
    --batching_;
    Sync();
    return true;
}

Qt::ItemFlags ResultTreeModel::flags(const QModelIndex& index) const {
    if (!NodeOf(ItemAt(index))) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

}  // namespace salvora::gui
