// The results page's workers: the scan of the chosen volume, the search and the save of checked items. The
// parser steps run on a worker thread; what they show goes through the page's sink, what they change on the
// page goes through queued calls.
#include <QMetaObject>
#include <QTimer>

#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"
#include "fs/fat/fat64_class.h"
#include "io/file_read_seek.h"
#include "scan/file_saver.h"
#include "scan/list_rows.h"
#include "scan/recycle_bin.h"
#include "scan/search_worker.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/volume_scan_dlg.h"
#include "ui/pages/wizard_globals.h"

namespace salvora::gui {
namespace {

enum class Kind { Unknown, Fat16, Fat32, ExFat };

Kind KindOfLabel(const std::string& label) {
    const QString l = QString::fromStdString(label);
    const auto is = [&l](const char* name) {
        return l.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    if (is("fat32")) return Kind::Fat32;
    if (is("fat16") || is("fat")) return Kind::Fat16;
    if (is("fat64") || is("exFat")) return Kind::ExFat;
    return Kind::Unknown;
}

std::uint64_t VolumeBytesOf(const VolumeEntry& volume) { return SizeTextMiB(volume.sizeText) * 1048576ull; }

std::string TrimBoth(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

void VolumeScanDlg::StartScan() {
    busyFlag_ = true;
    const Kind kind = KindOfLabel(volume_.fileSystemLabel);
    if (recoveryMode_ == 1 && (kind == Kind::Fat16 || kind == Kind::Fat32)) {
        // The core's scan session runs these; the page shows its state.
        if (sourceIsVolume && theReader) theReader->OpenSource(volume_.volumeName);
        session_ = std::make_unique<ScanSession>(volume_, RecoveryMode::Standard, Sink());
        CreateModels();
        session_->onStateChanged = [this](const PageState& state) {
            QMetaObject::invokeMethod(
                this,
                [this, state] {
                    if (searching_ || saving_) return;  // those show their own controls
                    backButton->setEnabled(state.backEnabled);
                    ShowRunControls(state.progressVisible);
                },
                Qt::QueuedConnection);
        };
        const bool started = session_->Start();
        activeParser_ = session_->ActiveParser();
        if (!started) {
            busyFlag_ = false;
            backButton->setEnabled(true);
            return;
        }
        WatchSession();
        return;
    }
    CreateModels();
    if (kind == Kind::Unknown) {
        ShowBox(this, QStringLiteral("not a valid drive."));
        backButton->setEnabled(true);
        Sink()->SetStatus("Not a valid Drive .Go back");
        busyFlag_ = false;
        return;
    }
    if (!theReader) {
        ShowBox(this, QStringLiteral("Please Restart the program to re begin necessary initialization..."));
        busyFlag_ = false;
        return;
    }
    if (recoveryMode_ == 2) {
        activeParser_ = advanced_.parser;
    } else if (recoveryMode_ == 1) {
        switch (kind) {
            case Kind::Fat16:
                ownedParser_ = std::make_unique<Fat16Class>();
                break;
            case Kind::Fat32:
                ownedParser_ = std::make_unique<Fat32Class>();
                break;
            case Kind::ExFat:
                ownedParser_ = std::make_unique<Fat64Class>();
                break;
            case Kind::Unknown:
                break;
        }
        activeParser_ = ownedParser_.get();
    }
    if (!activeParser_) {  // Deep mode has no worker for the FAT family
        busyFlag_ = false;
        backButton->setEnabled(true);
        return;
    }
    activeParser_->tree = &tree_;
    activeParser_->statusWindow = Sink();
    activeParser_->stopRequested = false;
    if (sourceIsVolume && recoveryMode_ != 2) theReader->OpenSource(volume_.volumeName);
    FileReadSeek* reader = theReader;
    ParserBase* parser = activeParser_;
    const VolumeEntry volume = volume_;
    const int mode = recoveryMode_;
    const AdvancedChoice advanced = advanced_;
    UiSink& ui = *Sink();

    RunWorker(
        [this, kind, reader, parser, volume, mode, advanced, &ui] {
            if (kind == Kind::ExFat) {
                auto& fat64 = static_cast<Fat64Class&>(*parser);
                if (mode == 2) {
                    Tree().Clear();
                    fat64.AttachReader(reader, volume);
                    fat64.RunAdvanced(advanced.sectorsPerClusterText.toInt(), advanced.candidateIndex,
                                      advanced.heapIndex);
                    FinishScan(true);
                    return;
                }
                fat64.AttachReader(reader, volume);
                fat64.SetVolumeBytes(VolumeBytesOf(volume));
                switch (fat64.RunStandard()) {
                    case Fat64Class::StandardResult::NotExFat:
                        ui.ShowMessage("Selected Drive is not in exFat Format", kAppTitle,
                                       MsgIcon::Information, MsgButtons::Ok);
                        EndWithoutCompletion();
                        return;
                    case Fat64Class::StandardResult::RootUnreadable:
                        ui.ShowMessage("error...", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
                        break;
                    case Fat64Class::StandardResult::Done:
                        break;
                }
                FinishScan(true);
                return;
            }
            auto& fat = static_cast<FatParser&>(*parser);
            const bool fat32 = kind == Kind::Fat32;
            if (mode == 2) {
                // The FAT16/FAT32 advanced run needs the parsers' deep-scan steps; until then the page says
                // so.
                Tree().Clear();
                ui.ShowMessage("Advanced recovery of FAT16 and FAT32 volumes is not available in this build.",
                               kAppTitle, MsgIcon::Information, MsgButtons::Ok);
                EndWithoutCompletion();
                return;
            }
            fat.AttachReader(reader, volume);
            fat.SetVolumeBytes(VolumeBytesOf(volume));
            if (!fat.CheckBootSector()) {
                ui.ShowMessage(
                    fat32 ? "Selected Drive is not in Fat32 Format" : "Selected Drive is not in Fat16 Format",
                    kAppTitle, MsgIcon::Information, MsgButtons::Ok);
                EndWithoutCompletion();
                return;
            }
            fat.ReadFatTable();
            fat.ReadRootDirectory();
            ui.SetStatus(fat32 ? "Finding Fat32 File And Directory entries recursively...."
                               : "Finding Fat16 File And Directory entries recursively....");
            fat.FindEntriesRecursively();
            ui.SetStatus("maintaining tree Structure in vector...");
            fat.MaintainTreeInVector();
            ui.SetStatus("Creating Tree Structure....");
            fat.CreateTreeStructure();
            ui.SetStatus("Tree Structure Created.");
            if (!fat32) {
                ui.SetProgressRange(0, 100);
                ui.SetProgressPos(100);
            }
            FinishScan(fat32);
        },
        [this] {
            busyFlag_ = false;
            treeView->setEnabled(true);
            Q_EMIT scanFinished();
        });
}

void VolumeScanDlg::WatchSession() {
    // The session's worker is a plain thread; its end is noticed here, on the UI thread.
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        if (session_->WorkerRunning()) return;
        timer->deleteLater();
        timer->stop();
        busyFlag_ = false;
        const PageState state = session_->State();
        backButton->setEnabled(state.backEnabled);
        ShowRunControls(state.progressVisible);
        treeView->setEnabled(true);
        Q_EMIT scanFinished();
    });
    timer->start(20);
}

// Runs on the scan worker.
void VolumeScanDlg::FinishScan(bool renameRecycled) {
    PlaceFirstLevelPlaceholders(Tree(), *activeParser_);
    if (renameRecycled) RenameRecycledFiles(Tree(), *activeParser_);
    QMetaObject::invokeMethod(
        this, [this] { backButton->setEnabled(true); }, Qt::QueuedConnection);
    const char* done = "Scanning processing done.Select save button to save the data.";
    Sink()->ShowMessage(done, kAppTitle, MsgIcon::Information, MsgButtons::Ok);
    Sink()->SetStatus(done);
    QMetaObject::invokeMethod(
        this, [this] { ShowRunControls(false); }, Qt::QueuedConnection);
    busyFlag_ = false;
}

// Runs on the scan worker: a failed boot check ends the scan with Back enabled and the run controls still
// shown.
void VolumeScanDlg::EndWithoutCompletion() {
    QMetaObject::invokeMethod(
        this, [this] { backButton->setEnabled(true); }, Qt::QueuedConnection);
    busyFlag_ = false;
}

void VolumeScanDlg::OnSearch() {
    if (Busy()) {
        ShowBox(this, QStringLiteral("Please wait for other process to complete"), QString(), MsgIcon::None);
        return;
    }
    if (!activeParser_) return;
    searching_ = true;
    ShowRunControls(true);
    listModel_->BeginSearch();
    const std::string pattern = searchPattern->text().toStdString();
    RunWorker(
        [this, pattern] {
            SearchWorker search(Tree(), *activeParser_, *Sink(), Cancel());
            search.onHit = [this](const ListRow& row) {
                QMetaObject::invokeMethod(
                    this, [this, row] { listModel_->AppendHit(row); }, Qt::QueuedConnection);
            };
            search.onFolderSearch = [this](bool inFolder) {
                QMetaObject::invokeMethod(
                    this,
                    [this, inFolder] {
                        treeView->setEnabled(!inFolder);
                        searchButton->setEnabled(!inFolder);
                        saveButton->setEnabled(!inFolder);
                    },
                    Qt::QueuedConnection);
            };
            search.Run(pattern);
        },
        [this] {
            searching_ = false;
            treeView->setEnabled(true);
            searchButton->setEnabled(true);
            saveButton->setEnabled(true);
            ShowRunControls(false);
            Q_EMIT searchFinished();
        });
}

// Runs on a worker: writes every checked file and folder under the output folder, each below the folders that
// lead to it from the root item.
void VolumeScanDlg::SaveChecked(const std::vector<ItemId>& roots) {
    ParserBase& parser = *activeParser_;
    UiSink& ui = *Sink();
    FolderSaver saver(parser, ui, Cancel());
    saver.onFileSizeLine = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            fileSizeLine, [this, text = QString::fromStdString(line)] { fileSizeLine->setText(text); },
            Qt::QueuedConnection);
    };
    const ItemId top = Tree().Root();
    std::uint64_t count = 0;
    for (ItemId item : roots) {
        const EntryId entry = *Tree().Item(item).entry;
        count +=
            parser.IsWalkFolder(entry) || item == top ? saver.CountFiles(entry) : parser.IsWalkFile(entry);
    }
    ui.SetProgressRange(0, static_cast<std::int64_t>(count));
    char question[160];
    std::snprintf(
        question, sizeof question,
        "number of files found inside this folder = %lld .do u want to continue dumping these files..?",
        static_cast<long long>(count));
    if (ui.ShowMessage(question, "", MsgIcon::None, MsgButtons::YesNo) != MsgAnswer::Yes) return;

    const std::string output = outputFolder_.toStdString();
    std::uint64_t counter = 0;
    SaveOutcome outcome;
    for (ItemId item : roots) {
        if (Cancel()) break;
        const ResultItem it = Tree().Item(item);
        // The folders between the root item and this one, outermost first.
        std::vector<std::string> names;
        for (ItemId up = it.parent; up != kNoItem && up != top; up = Tree().Item(up).parent)
            names.insert(names.begin(), Tree().Item(up).text);
        std::string dir = output;
        for (const std::string& name : names) {
            if (dir.empty()) break;
            dir = MakeFolderIn(SafeName(name), dir);
        }
        if (dir.empty()) continue;
        const EntryId entry = *it.entry;
        if (item == top) {
            saver.SaveWalk(entry, dir, counter, outcome);
        } else if (parser.IsWalkFolder(entry)) {
            const std::string sub = MakeFolderIn(SafeName(parser.EntryName(entry)), dir);
            if (!sub.empty()) saver.SaveWalk(entry, sub, counter, outcome);
        } else if (parser.IsWalkFile(entry)) {
            ++counter;
            ui.SetProgressPos(static_cast<std::int64_t>(counter));
            const std::string dest = UniqueFilePath(dir, SafeName(TrimBoth(parser.EntryName(entry))));
            if (dest.empty()) continue;
            ui.SetStatus("saving File  " + dest);
            char line[64];
            std::snprintf(line, sizeof line, "File size: %llu kb",
                          static_cast<unsigned long long>(parser.EntrySizeBytes(entry) / 1024));
            saver.onFileSizeLine(line);
            parser.ExtractFile(entry, dest);
            saver.onFileSizeLine({});
        }
    }
    ui.SetProgressPos(static_cast<std::int64_t>(count));
    ui.ShowMessage("work done", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
}

}  // namespace salvora::gui
