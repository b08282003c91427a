#include "ui/controls/file_list_model.h"

#include <QBrush>
#include <QColor>
#include <QIcon>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <numeric>

#include "ui/controls/file_icons.h"

namespace salvora::gui {

const int FileListModel::kColumnWidths[kColumns] = {80, 90, 90, 90, 80, 70, 90};

namespace {

// A coloured dot drawn here, so the list needs no image files: green whole, blue free to read back, amber
// partly written over, red written over, grey not known.
QIcon VerdictIcon(Verdict verdict) {
    static QIcon icons[5];
    const int i = static_cast<int>(verdict);
    if (i < 0 || i > 4) return {};
    if (icons[i].isNull()) {
        static const QColor kColours[5] = {QColor(0x2e, 0x9e, 0x44), QColor(0x1f, 0x6f, 0xd1), QColor(0xe0, 0x8e, 0x0b),
                                           QColor(0xd0, 0x2b, 0x2b), QColor(0x9a, 0x9a, 0x9a)};
        QPixmap dot(12, 12);
        dot.fill(Qt::transparent);
        QPainter painter(&dot);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(kColours[i].darker(130));
        painter.setBrush(kColours[i]);
        painter.drawEllipse(QRectF(1.5, 1.5, 9, 9));
        painter.end();
        icons[i] = QIcon(dot);
    }
    return icons[i];
}

}  // namespace

FileListModel::FileListModel(ResultTree& tree, QObject* parent) : QAbstractTableModel(parent), tree_(tree) {}

void FileListModel::SetRows(std::vector<ListRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    hitChecks_.clear();
    searchHits_ = false;
    SortRows();
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
    if (index.column() == kStateColumn) {
        const EntryVerdict* v = VerdictOf(row);
        if (!v) return {};
        switch (role) {
            case Qt::DisplayRole:
                return QString::fromLatin1(VerdictName(v->verdict));
            case Qt::DecorationRole:
                return VerdictIcon(v->verdict);
            case kVerdictRole:
                return static_cast<int>(v->verdict);
            case Qt::ToolTipRole:
                if (v->verdict == Verdict::Partial)
                    return tr("%1 of %2 bytes lie where other data is now written")
                        .arg(QLocale().toString(static_cast<qulonglong>(v->bytesInUse)),
                             QLocale().toString(static_cast<qulonglong>(v->bytesNeeded)));
                return QString::fromLatin1(VerdictName(v->verdict));
        }
    }
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
                                                   "Modification Time", "Size",          "Attribute",
                                                   "State"};
    return section >= 0 && section < kColumns ? QString::fromLatin1(kHeaders[section]) : QVariant();
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

const EntryVerdict* FileListModel::VerdictOf(const ListRow& row) const {
    if (!row.entry) return nullptr;
    const auto it = verdicts_.find(*row.entry);
    return it == verdicts_.end() ? nullptr : &it->second;
}

void FileListModel::SetVerdicts(const std::vector<std::pair<EntryId, EntryVerdict>>& verdicts) {
    for (const auto& [entry, verdict] : verdicts) verdicts_[entry] = verdict;
    if (rows_.empty()) return;
    if (sortColumn_ == kStateColumn) {
        sort(sortColumn_, sortOrder_);
        return;
    }
    Q_EMIT dataChanged(index(0, kStateColumn), index(static_cast<int>(rows_.size()) - 1, kStateColumn));
}

std::vector<EntryId> FileListModel::Unjudged() const {
    std::vector<EntryId> out;
    for (const ListRow& row : rows_)
        if (row.entry && !verdicts_.count(*row.entry)) out.push_back(*row.entry);
    return out;
}

void FileListModel::SortRows() {
    if (sortColumn_ < 0 || sortColumn_ >= kColumns || rows_.size() < 2) return;
    std::vector<std::size_t> order(rows_.size());
    std::iota(order.begin(), order.end(), 0);
    // Rows not judged yet go last either way round.
    const auto verdictKey = [this](const ListRow& r) {
        const EntryVerdict* v = VerdictOf(r);
        return v ? static_cast<int>(v->verdict) : 99;
    };
    const auto less = [&](std::size_t a, std::size_t b) {
        const ListRow& x = rows_[a];
        const ListRow& y = rows_[b];
        switch (sortColumn_) {
            case 4:
                return x.sizeBytes < y.sizeBytes;
            case kStateColumn:
                return verdictKey(x) < verdictKey(y);
            default: {
                const std::string* sx = &x.path;
                const std::string* sy = &y.path;
                if (sortColumn_ == 1) sx = &x.created, sy = &y.created;
                if (sortColumn_ == 2) sx = &x.accessed, sy = &y.accessed;
                if (sortColumn_ == 3) sx = &x.modified, sy = &y.modified;
                if (sortColumn_ == 5) sx = &x.attributes, sy = &y.attributes;
                return QString::fromStdString(*sx).compare(QString::fromStdString(*sy), Qt::CaseInsensitive) < 0;
            }
        }
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (sortColumn_ == kStateColumn) {
            const int ka = verdictKey(rows_[a]), kb = verdictKey(rows_[b]);
            if ((ka == 99) != (kb == 99)) return kb == 99;
        }
        return sortOrder_ == Qt::AscendingOrder ? less(a, b) : less(b, a);
    });
    std::vector<ListRow> rows;
    rows.reserve(rows_.size());
    std::vector<bool> checks;
    for (std::size_t i : order) {
        rows.push_back(std::move(rows_[i]));
        if (searchHits_) checks.push_back(hitChecks_[i]);
    }
    rows_ = std::move(rows);
    if (searchHits_) hitChecks_ = std::move(checks);
    sortPermutation_ = std::move(order);
}

void FileListModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column;
    sortOrder_ = order;
    if (column < 0 || rows_.size() < 2) return;
    Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    SortRows();
    // Selections and the current row stay on the rows they were on.
    std::vector<int> newRow(sortPermutation_.size());
    for (std::size_t to = 0; to < sortPermutation_.size(); ++to) newRow[sortPermutation_[to]] = static_cast<int>(to);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    for (const QModelIndex& i : before)
        after << (i.row() < static_cast<int>(newRow.size()) ? index(newRow[i.row()], i.column()) : QModelIndex());
    changePersistentIndexList(before, after);
    Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
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
