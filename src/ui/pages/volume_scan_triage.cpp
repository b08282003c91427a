// The results page's triage: the filter bar's list, the states of the listed files, the preview and the
// report. The work runs on the page's triage worker; what comes back is shown only when no newer request of
// its kind has been made since.
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <filesystem>
#include <fstream>

#include "scan/list_rows.h"
#include "scan/report_writer.h"
#include "scan/triage.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/volume_scan_dlg.h"

namespace salvora::gui {
namespace {

// Stops the job a flag belongs to and hands out the next job's flag.
std::shared_ptr<std::atomic<bool>> Renew(std::shared_ptr<std::atomic<bool>>& flag) {
    if (flag) *flag = true;
    flag = std::make_shared<std::atomic<bool>>(false);
    return flag;
}

// The path `list` prints for a tree item: the texts from below ROOT, "" for ROOT itself.
std::string ItemPath(const ResultTree& tree, ItemId item) {
    std::string path;
    for (ItemId at = item; at != kNoItem;) {
        const ResultItem it = tree.Item(at);
        if (it.parent == kNoItem) break;
        path = "/" + it.text + path;
        at = it.parent;
    }
    return path;
}

}  // namespace

void VolumeScanDlg::ApplyFilter() {
    if (!activeParser_ || busyFlag_ || !listModel_) return;
    std::string problem;
    const std::optional<TriageFilter> filter = MakeTriageFilter(triageBar->Input(), problem);
    if (!filter) {
        StatusLine()->setText(QString::fromStdString(problem));
        return;
    }
    auto stop = Renew(filterStop_);
    if (filter->Empty()) {
        filterActive_ = false;
        triageBar->SetShownCount(-1);
        // Back to the folder's own files; with no folder chosen yet, ROOT's.
        const QModelIndex current = treeView->currentIndex();
        listModel_->Clear();
        ShowItem(current.isValid() ? current : treeModel_->index(0, 0));
        Q_EMIT filterApplied();
        return;
    }
    filterActive_ = true;
    // Where the filter looks: the current folder and all below it, or the whole volume.
    ItemId folderItem = treeModel_->ItemAt(treeView->currentIndex());
    if (const ResultItem it = Tree().Item(folderItem); !it.entry || !activeParser_->IsFolder(*it.entry))
        folderItem = it.entry ? it.parent : kNoItem;
    if (folderItem == kNoItem) folderItem = Tree().Root();
    const std::optional<EntryId> folderEntry = Tree().Item(folderItem).entry;
    if (!folderEntry) return;
    const std::string folderPath = ItemPath(Tree(), folderItem);
    ParserBase* parser = activeParser_;
    triage_->Post([this, parser, stop, filter = *filter, folder = *folderEntry, folderPath, folderItem] {
        if (*stop) return;
        std::lock_guard lock(parserUse_);
        auto matches = std::make_shared<TriageMatches>(FindMatches(*parser, filter, folder, folderPath, *stop));
        if (*stop) return;
        auto rows = std::make_shared<std::vector<ListRow>>();
        rows->reserve(matches->files.size());
        for (const TriageMatch& m : matches->files) rows->push_back(MakeListRow(*parser, m.entry, m.path));
        QMetaObject::invokeMethod(
            this,
            [this, parser, stop, matches, rows, folderItem] {
                if (*stop) return;
                // Tree items for the rows, so their check boxes are the tree's and Save writes them at their
                // paths.
                std::vector<ItemId> folders;
                std::vector<std::pair<EntryId, EntryVerdict>> judged;
                for (std::size_t i = 0; i < rows->size(); ++i) {
                    (*rows)[i].item = RevealMatch(Tree(), *parser, *matches, i, folderItem, folders);
                    if (matches->files[i].verdict) judged.emplace_back(matches->files[i].entry, *matches->files[i].verdict);
                }
                listModel_->SetVerdicts(judged);
                listModel_->SetRows(std::move(*rows));
                triageBar->SetShownCount(listModel_->rowCount());
                RequestVerdicts();
                Q_EMIT filterApplied();
            },
            Qt::QueuedConnection);
    });
}

void VolumeScanDlg::RequestVerdicts() {
    if (!activeParser_ || busyFlag_ || !listModel_) return;
    std::vector<EntryId> entries = listModel_->Unjudged();
    if (entries.empty()) return;
    auto stop = Renew(verdictStop_);
    ParserBase* parser = activeParser_;
    triage_->Post([this, parser, stop, entries = std::move(entries)] {
        // In parts, so a long list fills in while it is judged.
        constexpr std::size_t kPart = 500;
        for (std::size_t at = 0; at < entries.size() && !*stop; at += kPart) {
            std::vector<std::pair<EntryId, EntryVerdict>> part;
            {
                std::lock_guard lock(parserUse_);
                for (std::size_t i = at; i < std::min(entries.size(), at + kPart) && !*stop; ++i)
                    part.emplace_back(entries[i], parser->Judge(entries[i]));
            }
            QMetaObject::invokeMethod(
                this, [this, part = std::move(part)] { listModel_->SetVerdicts(part); }, Qt::QueuedConnection);
        }
    });
}

void VolumeScanDlg::PreviewListRow(const QModelIndex& index) {
    if (!index.isValid() || index.row() >= listModel_->rowCount()) return;
    RequestPreview(listModel_->Row(index.row()).entry);
}

void VolumeScanDlg::RequestPreview(std::optional<EntryId> entry) {
    if (!activeParser_ || busyFlag_) return;
    if (!entry || activeParser_->IsFolder(*entry)) {
        Renew(previewStop_);
        previewPane->ShowNothing(tr("Select a file to see it here before saving it."));
        return;
    }
    auto stop = Renew(previewStop_);
    ParserBase* parser = activeParser_;
    const QString name = QString::fromStdString(parser->EntryName(*entry));
    previewPane->ShowLoading(name);
    triage_->Post([this, parser, stop, id = *entry, name] {
        if (*stop) return;
        Preview preview;
        {
            std::lock_guard lock(parserUse_);
            preview = ReadPreview(*parser, id, *stop);
        }
        if (*stop) return;
        PreviewResult result = DecodePreview(preview);
        QMetaObject::invokeMethod(
            this,
            [this, stop, name, result = std::move(result)] {
                if (*stop) return;
                previewPane->ShowResult(name, result);
                Q_EMIT previewShown();
            },
            Qt::QueuedConnection);
    });
}

void VolumeScanDlg::CheckAllShown() {
    if (!listModel_ || listModel_->rowCount() == 0) return;
    listModel_->SetAllChecked(true);
    if (treeModel_) treeModel_->Sync();
}

void VolumeScanDlg::OnSaveReport() {
    if (Busy() || worker_) {
        ShowBox(this, QStringLiteral("Please wait for other process to complete"), QString(), MsgIcon::None);
        return;
    }
    if (!activeParser_) return;
    const QString path = SaveReportDialog(this, UserHomeFolder() + QStringLiteral("/salvora-report.xml"));
    if (path.isEmpty()) return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    const QString format = suffix == "csv" ? "csv" : suffix == "jsonl" ? "jsonl" : suffix == "body" ? "bodyfile" : "dfxml";
    WriteReportFile(path, format);
}

// The one place the wizard calls the report writer: on a worker, into a file beside the chosen one that is
// renamed when whole, so a stopped or failed report leaves nothing that looks finished. The filtered list
// reports what it shows; otherwise the whole volume.
bool VolumeScanDlg::WriteReportFile(const QString& path, const QString& format) {
    const std::optional<ReportFormat> reportFormat = ParseReportFormat(format.toStdString());
    if (!reportFormat || !activeParser_ || worker_) return false;
    std::vector<ReportEntry> shown;
    if (filterActive_)
        for (const ListRow& row : listModel_->Rows())
            if (row.entry) shown.push_back({*row.entry, row.path});
    ReportOptions options;
    options.format = *reportFormat;
    options.sourceName = volume_.volumeName;
    options.volumeOffset = volume_.startSector * 512;
    options.fileSystem = volume_.fileSystemLabel;
    saving_ = true;
    Cancel() = false;
    ProgressBar()->show();
    stopButton->show();
    const std::string target = path.toStdString();
    auto outcome = std::make_shared<QString>();
    RunWorker(
        [this, shown, options, target, outcome, whole = !filterActive_] {
            std::lock_guard lock(parserUse_);
            const std::vector<ReportEntry> entries = whole ? CollectReportEntries(*activeParser_) : shown;
            const std::string temp = target + ".partial";
            ReportResult result;
            {
                std::ofstream out(temp, std::ios::binary | std::ios::trunc);
                if (!out) {
                    *outcome = tr("The report could not be written to %1.").arg(QString::fromStdString(target));
                    return;
                }
                GuiSink* sink = Sink();
                sink->SetProgressRange(0, 1000);
                sink->SetProgressPos(0);
                const ReportProgress progress = [sink](std::uint64_t done, std::uint64_t total) {
                    sink->SetProgressPos(total ? static_cast<std::int64_t>(done * 1000 / total) : 0);
                };
                sink->SetStatus("Writing the report of " + std::to_string(entries.size()) + " entries...");
                result = WriteReport(*activeParser_, entries, out, options, progress, Cancel());
                out.flush();
                result.writeFailed = result.writeFailed || !out;
            }
            std::error_code ec;
            if (result.stopped || result.writeFailed || (std::filesystem::rename(temp, target, ec), ec)) {
                std::filesystem::remove(temp, ec);
                *outcome = result.stopped ? tr("The report was stopped: nothing was written.")
                                          : tr("The report could not be written to %1.").arg(QString::fromStdString(target));
                return;
            }
            *outcome = tr("Report of %n entries written to %1.", nullptr, static_cast<int>(result.entries))
                           .arg(QString::fromStdString(target));
        },
        [this, outcome] {
            saving_ = false;
            ShowRunControls(false);
            ShowBox(this, *outcome);
            Q_EMIT reportFinished();
        });
    return true;
}

// The mount reads through the same lock as the page's workers, so a preview and a file manager's thumbnails
// never use the source at once. It lives until Back, a new scan or the window closes.
void VolumeScanDlg::OnBrowse() {
    if (!activeParser_ || Busy() || worker_) return;
    if (mount_ && !MountEnded(**mount_)) {
        OpenUrl(QUrl::fromLocalFile(mountPoint_));
        return;
    }
    StopBrowsing();
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QString base = (runtime.isEmpty() ? QDir::tempPath() + QStringLiteral("/salvora-%1").arg(::getuid())
                                            : QString::fromLocal8Bit(runtime) + QStringLiteral("/salvora"));
    QString name = QFileInfo(QString::fromStdString(volume_.volumeName)).fileName();
    if (name.isEmpty()) name = QStringLiteral("volume");
    name += QStringLiteral(" #") + QString::fromStdString(volume_.startSector ? std::to_string(volume_.startSector) : "0");
    // A folder left behind by an earlier run that could not unmount is passed over, not reused.
    std::string reason;
    QString where;
    for (int n = 1; n <= 9 && where.isEmpty(); ++n) {
        const QString candidate = base + QLatin1Char('/') + name + (n > 1 ? QStringLiteral(" (%1)").arg(n) : QString());
        std::error_code ec;
        std::filesystem::create_directories(candidate.toStdString(), ec);
        reason = CheckMountPoint(candidate.toStdString());
        if (reason.empty()) where = candidate;
    }
    if (where.isEmpty()) {
        ShowBox(this, tr("The files cannot be shown in the file manager: %1").arg(QString::fromStdString(reason)));
        return;
    }
    MountTreeOptions options;
    options.uid = ::getuid();
    options.gid = ::getgid();
    options.parserLock = &parserUse_;
    {
        std::lock_guard lock(parserUse_);
        mountTree_ = std::make_unique<MountTree>(*activeParser_, options);
    }
    std::string error;
    MountHandle mounted = StartMount(*mountTree_, where.toStdString(), error);
    if (!mounted) {
        mountTree_.reset();
        ShowBox(this, tr("The files cannot be shown in the file manager: %1").arg(QString::fromStdString(error)));
        return;
    }
    mount_.emplace(std::move(mounted));
    mountPoint_ = where;
    Sink()->SetStatus("Shown read-only at " + where.toStdString() + " until you go back or close the window.");
    OpenUrl(QUrl::fromLocalFile(where));
}

void VolumeScanDlg::StopBrowsing() {
    if (mount_) {
        StopMount(**mount_);
        mount_.reset();
        std::error_code ec;
        std::filesystem::remove(mountPoint_.toStdString(), ec);  // the empty folder it was served at
    }
    mountTree_.reset();
    mountPoint_.clear();
}

}  // namespace salvora::gui
