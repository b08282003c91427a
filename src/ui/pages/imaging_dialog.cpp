#include "ui/pages/imaging_dialog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <chrono>
#include <cstring>

#include "scan/file_saver.h"
#include "ui/controls/progress_bar.h"

namespace salvora::gui {
namespace {

constexpr int kCell = 8;  // pixels a side of one cell of the map

// Which status a cell shows when several meet in it: the one that needs attention most.
int Rank(char status) {
    switch (status) {
        case kRescued: return 1;
        case kNotTried: return 2;
        case kNotTrimmed: return 3;
        case kNotScraped: return 4;
        default: return 5;  // bad
    }
}


QString Bytes(std::uint64_t bytes) { return QString::fromStdString(HumanBytes(bytes)); }

}  // namespace

RescueMapBar::RescueMapBar(QWidget* parent) : QWidget(parent) {
    setObjectName("rescueMapBar");
    setMinimumSize(24 * kCell, 12 * kCell);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void RescueMapBar::SetMap(RescueMap map) {
    map_ = std::move(map);
    update();
}

QColor RescueMapBar::StatusColor(char status) {
    switch (status) {
        case kRescued: return QColor(0x3c, 0xb4, 0x4b);
        case kNotTried: return QColor(0xa8, 0xa8, 0xa8);
        case kNotTrimmed: return QColor(0xf2, 0xd0, 0x24);
        case kNotScraped: return QColor(0xf5, 0x8a, 0x1f);
        default: return QColor(0xe0, 0x22, 0x22);
    }
}

void RescueMapBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    const int columns = std::max(1, width() / kCell);
    const int rows = std::max(1, height() / kCell);
    const std::uint64_t cells = static_cast<std::uint64_t>(columns) * static_cast<std::uint64_t>(rows);
    const std::uint64_t size = map_.Size();
    std::vector<char> shown(cells, kNotTried);
    if (size > 0) {
        std::vector<int> worst(cells, 0);
        // 128-bit: a byte position times the cell count overflows 64 bits on a large disk.
        const auto cellOf = [&](std::uint64_t pos) {
            return static_cast<std::uint64_t>(static_cast<unsigned __int128>(pos) * cells / size);
        };
        for (const MapBlock& block : map_.Blocks()) {
            for (std::uint64_t c = cellOf(block.pos); c <= cellOf(block.pos + block.size - 1); ++c) {
                if (Rank(block.status) > worst[c]) {
                    worst[c] = Rank(block.status);
                    shown[c] = block.status;
                }
            }
        }
    }
    const int left = (width() - columns * kCell) / 2;
    for (std::uint64_t c = 0; c < cells; ++c)
        painter.fillRect(left + static_cast<int>(c % columns) * kCell, static_cast<int>(c / columns) * kCell,
                         kCell - 1, kCell - 1, StatusColor(shown[c]));
}

ImagingDialog::ImagingDialog(QWidget* parent, const QString& source, const QString& image, const QString& mapPath)
    : QDialog(parent),
      source_(source),
      image_(image),
      mapPath_(mapPath),
      bar_(new RescueMapBar(this)),
      progress_(new ProgressBar64(this)),
      status_(new QLabel(this)),
      bad_(new QLabel(this)),
      stopButton_(new QPushButton(tr("Stop"), this)) {
    setObjectName("imagingDialog");
    setWindowTitle(tr("Create an image of %1").arg(source));
    auto* heading = new QLabel(tr("Copying %1 to %2").arg(source, image), this);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    heading->setWordWrap(true);
    auto* about = new QLabel(tr("Good areas are copied first, then the hard ones. The map %1 keeps what is done, "
                                "so Stop loses nothing.")
                                 .arg(mapPath),
                             this);
    about->setWordWrap(true);
    const std::pair<char, QString> names[] = {{kRescued, tr("rescued")},
                                              {kNotTried, tr("not tried")},
                                              {kNotTrimmed, tr("not trimmed")},
                                              {kNotScraped, tr("not scraped")},
                                              {kBadSector, tr("bad")}};
    QString legend;
    for (const auto& [status, name] : names)
        legend += QStringLiteral("<span style=\"color:%1\">&#9632;</span>&nbsp;%2&nbsp;&nbsp; ")
                      .arg(RescueMapBar::StatusColor(status).name(), name);
    auto* legendLabel = new QLabel(legend, this);
    progress_->setObjectName("imagingProgress");
    progress_->setTextVisible(false);
    status_->setObjectName("imagingStatus");
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bad_->setObjectName("imagingBad");
    stopButton_->setObjectName("stopButton");
    connect(stopButton_, &QPushButton::clicked, this, [this] {
        if (!Running()) return accept();
        stop_ = true;
        stopButton_->setEnabled(false);
    });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(bad_);
    buttons->addStretch();
    buttons->addWidget(stopButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addWidget(about);
    layout->addWidget(bar_, 1);
    layout->addWidget(legendLabel);
    layout->addWidget(progress_);
    layout->addWidget(status_);
    layout->addLayout(buttons);
    resize(640, 400);
}

ImagingDialog::~ImagingDialog() {
    stop_ = true;
    if (worker_.joinable()) worker_.join();  // its last checkpoint saves the map
    if (out_ >= 0) ::close(out_);
}

bool ImagingDialog::Start(QString* why) {
    const std::string source = QFile::encodeName(source_).toStdString();
    const std::string image = QFile::encodeName(image_).toStdString();
    const std::string mapFile = QFile::encodeName(mapPath_).toStdString();
    reader_ = std::make_unique<FileReadSeek>();
    if (!reader_->OpenSource(source)) {
        *why = QString::fromStdString(reader_->OpenError());
        return false;
    }
    ImagingPlan plan = PlanImaging(source, reader_->sourceLength, image, mapFile);
    if (!plan.refusal.empty()) {
        *why = QString::fromStdString(plan.refusal) + '.';
        return false;
    }
    map_ = std::move(plan.map);
    out_ = ::open(image.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (out_ < 0) {
        *why = tr("%1 could not be created: %2").arg(image_, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    std::string saveError;
    if (!(map_.Size() ? map_ : RescueMap(reader_->sourceLength)).Save(mapFile, &saveError)) {
        *why = tr("The map %1 could not be written: %2").arg(mapPath_, QString::fromStdString(saveError));
        return false;
    }
    progress_->SetRange64(0, static_cast<qint64>(std::max<std::uint64_t>(reader_->sourceLength, 1)));
    Show(map_.Size() ? map_ : RescueMap(reader_->sourceLength), 0);

    worker_ = std::thread([this, mapFile] {
        using Clock = std::chrono::steady_clock;
        const std::uint64_t before = map_.BytesWith(kRescued);
        const Clock::time_point started = Clock::now();
        Clock::time_point shown = started;
        std::string saveError;
        const auto progress = [&](const RescueMap& current) {
            // The GUI gets a copy a few times a second; the map itself stays the worker's.
            const Clock::time_point now = Clock::now();
            if (now - shown >= std::chrono::milliseconds(250)) {
                shown = now;
                const double seconds = std::chrono::duration<double>(now - started).count();
                const double rate = static_cast<double>(current.BytesWith(kRescued) - before) / seconds;
                QMetaObject::invokeMethod(this, [this, copy = current, rate] { Show(copy, rate); }, Qt::QueuedConnection);
            }
            return !stop_.load();
        };
        const auto checkpoint = [&](const RescueMap& current) {
            std::string error;
            if (!current.Save(mapFile, &error)) saveError = error;
        };
        const ImagingOutcome outcome = ImageSource(*reader_, out_, map_, ImagingOptions{}, progress, checkpoint);
        QMetaObject::invokeMethod(
            this, [this, outcome, copy = map_, error = QString::fromStdString(saveError)] { End(outcome, copy, error); },
            Qt::QueuedConnection);
    });
    return true;
}

void ImagingDialog::Show(const RescueMap& map, double rate) {
    status_->setText(QString::fromStdString(ImagingStatus(map, rate)));
    bad_->setText(tr("Bad so far: %1").arg(Bytes(map.BytesWith(kBadSector))));
    progress_->SetPosition64(static_cast<qint64>(map.BytesWith(kRescued) + map.BytesWith(kBadSector)));
    bar_->SetMap(map);
}

void ImagingDialog::End(const ImagingOutcome& outcome, const RescueMap& map, const QString& saveError) {
    worker_.join();
    reader_.reset();
    const bool closed = ::close(out_) == 0;
    const int closeErrno = errno;
    out_ = -1;
    // Run through sudo, the image and map belong to the person, as saved files do.
    if (const std::optional<FileOwner> owner = InvokingUser()) {
        for (const QString& path : {image_, mapPath_})
            [[maybe_unused]] const int ignored = ::chown(QFile::encodeName(path).constData(), owner->uid, owner->gid);
    }
    Show(map, 0);
    const std::uint64_t bad = map.BytesWith(kBadSector);
    QString text = tr("Read %1 of %2, %3 bad.").arg(Bytes(outcome.rescued), Bytes(map.Size()), Bytes(bad));
    if (outcome.unreadable > bad) text += QLatin1Char(' ') + tr("%1 not read yet.").arg(Bytes(outcome.unreadable - bad));
    if (outcome.unreadable == 0) text = tr("Read %1: every byte was read.").arg(Bytes(outcome.rescued));
    if (!outcome.writeError.empty() || !closed) {
        text += QLatin1Char('\n') +
                tr("%1 could not be written (%2); the map keeps what was copied: make room and choose Create an "
                   "image first… again to go on.")
                    .arg(image_, outcome.writeError.empty() ? QString::fromLocal8Bit(std::strerror(closeErrno))
                                                            : QString::fromStdString(outcome.writeError));
    } else if (outcome.stopped) {
        text += QLatin1Char('\n') + tr("Stopped: choose Create an image first… again to go on.");
    }
    if (!saveError.isEmpty()) text += QLatin1Char('\n') + tr("The map could not be written: %1").arg(saveError);
    status_->setText(text);
    stopButton_->setText(tr("Close"));
    stopButton_->setEnabled(true);
    Q_EMIT imagingEnded(outcome.stopped);
    if (closeWhenEnded_) QDialog::reject();
}

void ImagingDialog::reject() {
    // Escape or the window's close button while copying: stop first, so the map is saved, then go.
    if (!Running()) {
        QDialog::reject();
        return;
    }
    stop_ = true;
    closeWhenEnded_ = true;
}

}  // namespace salvora::gui
