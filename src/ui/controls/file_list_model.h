#pragma once
// The file list beside the tree: "File(s) List", the three times, "Size", "Attribute", "State". Rows of a
// clicked folder mirror their tree items' check boxes both ways; rows of search hits keep checks of their own
// and leave the tree alone.
#include <QAbstractTableModel>
#include <unordered_map>
#include <vector>

#include "scan/list_rows.h"
#include "model/result_tree.h"

namespace salvora::gui {

class FileListModel final : public QAbstractTableModel {
    Q_OBJECT
  public:
    static constexpr int kColumns = 7;
    static constexpr int kStateColumn = 6;
    static constexpr int kVerdictRole = Qt::UserRole + 1;  // the Verdict as an int; none before judging
    static const int kColumnWidths[kColumns];

    explicit FileListModel(ResultTree& tree, QObject* parent = nullptr);

    void SetRows(std::vector<ListRow> rows);  // a folder's files: clears the search flag
    void BeginSearch();                       // empties the list and sets the search flag
    void AppendHit(const ListRow& row);
    void Clear();
    bool ShowsSearchHits() const { return searchHits_; }
    const ListRow& Row(int row) const { return rows_.at(row); }
    const std::vector<ListRow>& Rows() const { return rows_; }

    // The records behind the search hits shown: the ticked ones, or all when none is ticked.
    std::vector<EntryId> HitsToSave() const;
    // Every row at once (the header's check box).
    void SetAllChecked(bool checked);
    bool AllChecked() const;
    // The tree's checks changed: repaint the check column.
    void TreeChecksChanged();

    // Verdicts are kept by entry for the whole scan: the allocation data they come from is read once.
    void SetVerdicts(const std::vector<std::pair<EntryId, EntryVerdict>>& verdicts);
    std::vector<EntryId> Unjudged() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  Q_SIGNALS:
    void checksChanged();

  private:
    bool Checked(int row) const;
    const EntryVerdict* VerdictOf(const ListRow& row) const;
    void SortRows();

    ResultTree& tree_;
    std::vector<ListRow> rows_;
    std::vector<bool> hitChecks_;
    bool searchHits_ = false;
    std::unordered_map<EntryId, EntryVerdict> verdicts_;
    std::vector<std::size_t> sortPermutation_;  // the last sort: new row -> old row
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

}  // namespace salvora::gui
