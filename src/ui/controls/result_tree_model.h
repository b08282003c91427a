#pragma once
// The Qt model over the core's ResultTree, after Qt's simpletreemodel and fetchmore examples. The model keeps
// a shadow of the tree's structure that only the UI thread touches: the core's notifications (which may come
// from a worker) are queued and applied here in order, so the views never see a row the model has not
// announced. The placeholder "..DUMY.." is not a row: it makes hasChildren true and canFetchMore ask for the
// real children.
#include <QAbstractItemModel>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "model/result_tree.h"

namespace salvora::gui {

class ResultTreeModel final : public QAbstractItemModel, private ResultTreeObserver {
    Q_OBJECT
  public:
    enum Role { ItemIdRole = Qt::UserRole + 1, EntryIdRole, IsFolderRole };

    explicit ResultTreeModel(ResultTree& tree, QObject* parent = nullptr);
    ~ResultTreeModel() override;

    // Called on the UI thread by fetchMore for a folder that still holds the placeholder.
    void SetFolderFiller(std::function<void(ItemId)> filler) { filler_ = std::move(filler); }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    ItemId ItemAt(const QModelIndex& index) const;
    QModelIndex IndexOf(ItemId item) const;
    // Applies every notification queued so far (the UI thread does this on its own; tests call it directly).
    void Sync();

  Q_SIGNALS:
    // The core expanded an item (a parser's root item, for example); the view should follow.
    void expandRequested(const QModelIndex& index);

  private:
    struct Event {
        enum Kind { Insert, Remove, Clear } kind;
        ItemId parent;
        int row;
        ItemId item;
    };
    struct Node {
        bool known = false;
        bool placeholder = false;
        ItemId parent = kNoItem;
        int row = 0;  // among the parent's rows (placeholders excluded)
        std::vector<ItemId> children;
        std::vector<int> placeholderSlots;  // positions of placeholders in the core's child order
        QString text;
        QString extension;
        bool isFolder = false;
        bool expanded = false;
        std::optional<std::uint32_t> colour;
        bool unreadable = false;
        std::optional<EntryId> entry;
    };

    void ItemInserted(ItemId parent, int row, ItemId item) override;
    void ItemRemoved(ItemId parent, int row, ItemId item) override;
    void ItemChanged(ItemId item) override;
    void TreeCleared() override;
    void Queue(const Event& event);
    void ScheduleSync();

    void ApplyInserts(const std::vector<Event>& events, std::size_t& i);
    void ApplyRemove(const Event& event);
    void ApplyChanges(std::unordered_set<ItemId> changed);
    void Refresh(ItemId item, Node& node);
    Node* NodeOf(ItemId item);
    const Node* NodeOf(ItemId item) const;
    std::vector<ItemId>& RowsOf(ItemId parent);
    const std::vector<ItemId>& RowsOf(ItemId parent) const;
    std::vector<int>& SlotsOf(ItemId parent);
    void Renumber(std::vector<ItemId>& rows, int from);

    ResultTree& tree_;
    std::function<void(ItemId)> filler_;
    std::vector<Node> nodes_;
    std::vector<ItemId> topRows_;
    std::vector<int> topSlots_;

    std::mutex queueMutex_;
    std::vector<Event> queue_;
    std::unordered_set<ItemId> changed_;
    bool syncPosted_ = false;
    int batching_ = 0;  // while > 0, notifications on the UI thread wait for the batch's end
};

}  // namespace salvora::gui
