#include "ui/controls/file_list_model.h"

#include <QBrush>
#include <QColor>

#include "ui/controls/file_icons.h"

namespace salvora::gui {

const int FileListModel::kColumnWidths[kColumns] = {80, 90, 90, 90, 80, 70};

FileListModel::FileListModel(ResultTree& tree, QObject* parent) : QAbstractTableModel(parent), tree_(tree) {}

void FileListModel::SetRows(std::vector<ListRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    hitChecks_.clear();
    searchHits_ = false;
    endResetModel();
    Q_EMIT checksChanged();
}

void FileListModel::BeginSearch() {
    beginResetModel();
    rows_.clear();
    hitChecks_.clear();
    searchHits_ = true;
    endResetModel();
    Q_EMIT checksChanged();
}

void FileListModel::AppendHit(const ListRow& row) {
    const int at = static_cast<int>(rows_.size());
    beginInsertRows({}, at, at);
    rows_.push_back(row);
    hitChecks_.push_back(false);
    endInsertRows();
}

void FileListModel::Clear() { SetRows({}); }

bool FileListModel::Checked(int row) const {
    if (searchHits_) return hitChecks_[row];
    const ItemId item = rows_[row].item;
    return item != kNoItem && tree_.Check(item) == CheckState::Checked;
}

bool FileListModel::AllChecked() const {
    if (rows_.empty()) return false;
    for (int r = 0; r < static_cast<int>(rows_.size()); ++r)
        if (!Checked(r)) return false;
    return true;
}

void FileListModel::SetAllChecked(bool checked) {
    if (rows_.empty()) return;
    for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
        if (searchHits_)
            hitChecks_[r] = checked;
        else if (rows_[r].item != kNoItem)
            tree_.SetCheck(rows_[r].item, checked);
    }
    TreeChecksChanged();
}

void FileListModel::TreeChecksChanged() {
    if (!rows_.empty()) Q_EMIT dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, 0));
    Q_EMIT checksChanged();
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const ListRow& row = rows_[index.row()];
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
            case 0:
                return QString::fromStdString(row.path);
            case 1:
                return QString::fromStdString(row.created);
            case 2:
                return QString::fromStdString(row.accessed);
            case 3:
                return QString::fromStdString(row.modified);
            case 4:
                return QString::fromStdString(row.size);
            case 5:
                return QString::fromStdString(row.attributes);
        }
    }
    if (role == Qt::ForegroundRole && row.textColour) {
        const std::uint32_t c = *row.textColour;  // 0x00BBGGRR
        return QBrush(QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
    }
    if (role == Qt::CheckStateRole && index.column() == 0)
        return Checked(index.row()) ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::DecorationRole && index.column() == 0) {
        const auto dot = row.path.rfind('.');
        const auto slash = row.path.rfind('/');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
            return TheFileIcons().ForExtension({});
        return TheFileIcons().ForExtension(QString::fromStdString(row.path.substr(dot + 1)).toLower());
    }
    return {};
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || index.column() != 0 || index.row() >= static_cast<int>(rows_.size()))
        return false;
    const bool checked = static_cast<Qt::CheckState>(value.toInt()) == Qt::Checked;
    const int r = index.row();
    if (searchHits_) {
        hitChecks_[r] = checked;  // search hits never reach into the tree
    } else {
        if (rows_[r].item == kNoItem) return false;
        tree_.SetCheck(rows_[r].item, checked);
    }
    Q_EMIT dataChanged(index, index, {Qt::CheckStateRole});
    Q_EMIT checksChanged();
    return true;
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kHeaders[kColumns] = {"File(s) List",      "Creation Time", "Access Time",
                                                   "Modification Time", "Size",          "Attribute"};
    return section >= 0 && section < kColumns ? QString::fromLatin1(kHeaders[section]) : QVariant();
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

std::vector<EntryId> FileListModel::HitsToSave() const {
    std::vector<EntryId> ticked, all;
    for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
        if (!rows_[r].entry) continue;
        all.push_back(*rows_[r].entry);
        if (Checked(r)) ticked.push_back(*rows_[r].entry);
    }
    return ticked.empty() ? all : ticked;
}

}  // namespace salvora::gui
