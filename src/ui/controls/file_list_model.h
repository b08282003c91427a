#pragma once
// The file list beside the tree: "File(s) List", the three times, "Size", "Attribute". Rows of a clicked
// folder mirror their tree items' check boxes both ways; rows of search hits keep checks of their own and
// leave the tree alone.
#include <QAbstractTableModel>
#include <vector>

#include "scan/list_rows.h"
#include "model/result_tree.h"

namespace salvora::gui {

class FileListModel final : public QAbstractTableModel {
    Q_OBJECT
  public:
    static constexpr int kColumns = 6;
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

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  Q_SIGNALS:
    void checksChanged();

  private:
    bool Checked(int row) const;

    ResultTree& tree_;
    std::vector<ListRow> rows_;
    std::vector<bool> hitChecks_;
    bool searchHits_ = false;
};

}  // namespace salvora::gui
