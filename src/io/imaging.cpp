#include "io/imaging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "io/write_all.h"

namespace salvora {

namespace {

constexpr std::uint64_t kFirstSkip = 64 * 1024;
constexpr std::uint64_t kMaxSkip = 1ull << 30;

class Imager {
  public:
    Imager(FileReadSeek& source, int out, RescueMap& map, const ImagingOptions& options,
           const std::function<bool(const RescueMap&)>& progress,
           const std::function<void(const RescueMap&)>& checkpoint)
        : source_(source), out_(out), map_(map), options_(options), progress_(progress), checkpoint_(checkpoint),
          buffer_(std::max<std::size_t>(options.blockBytes, kSectorBytes)) {}

    ImagingOutcome Run() {
        if (source_.sourceLength > 0) map_.Resize(source_.sourceLength);
        if (map_.currentStatus == kRescued) map_.currentStatus = kNotTried;
        // Pass 1 skips ahead past failures; pass 2 reads what pass 1 skipped, without skipping.
        for (int pass = 1; pass <= 2 && Going(); ++pass) {
            map_.currentStatus = kNotTried;
            map_.currentPass = pass;
            for (const MapBlock& block : map_.BlocksWith(kNotTried)) {
                if (!Copy(block, pass == 1)) break;
            }
        }
        map_.currentPass = 1;
        if (Going()) Trim();
        if (Going()) Scrape(kNotScraped);
        for (int retry = 0; retry < options_.retries && Going(); ++retry) {
            map_.currentPass = retry + 1;
            Scrape(kBadSector);
        }
        if (Going()) {
            map_.currentStatus = kRescued;
            map_.currentPos = 0;
            map_.currentPass = 1;
        }
        // The image is as long as the source even where its end could not be read.
        struct stat st {};
        if (outcome_.writeError.empty() && ::fstat(out_, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < map_.Size() &&
            ::ftruncate(out_, static_cast<off_t>(map_.Size())) != 0)
            outcome_.writeError = std::strerror(errno);
        if (checkpoint_) checkpoint_(map_);
        outcome_.rescued = map_.BytesWith(kRescued);
        outcome_.unreadable = map_.Size() - outcome_.rescued;
        return outcome_;
    }

  private:
    bool Going() const { return !outcome_.stopped && outcome_.writeError.empty(); }

    // Between two calls of progress at most this long passes; the map is saved every 30 s.
    bool Tick(std::uint64_t pos) {
        map_.currentPos = pos;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastTick_ >= std::chrono::milliseconds(options_.progressMilliseconds)) {
            lastTick_ = now;
            if (progress_ && !progress_(map_)) outcome_.stopped = true;
        }
        if (now - lastSave_ >= std::chrono::seconds(30)) {
            lastSave_ = now;
            if (checkpoint_) checkpoint_(map_);
        }
        return Going();
    }

    BlockRead Read(std::uint64_t at, std::size_t length) {
        ++outcome_.reads;
        return source_.ReadOnce(at, std::span(buffer_.data(), length));
    }

    // Blocks of zeros are not written: the image stays sparse where the source is empty.
    bool Write(std::uint64_t at, std::size_t length) {
        const std::uint8_t* p = buffer_.data();
        if (length == 0 || (p[0] == 0 && std::memcmp(p, p + 1, length - 1) == 0)) return true;
        if (WriteAllAt(out_, p, length, at)) return true;
        outcome_.writeError = std::strerror(errno != 0 ? errno : ENOSPC);
        return false;
    }

    // Good bytes are written before the map says '+' for them.
    bool Keep(std::uint64_t at, std::size_t length) {
        if (length == 0) return true;
        if (!Write(at, length)) return false;
        map_.Mark(at, length, kRescued);
        return true;
    }

    // The source ends before the map does: the map is cut there.
    void EndAt(std::uint64_t end) {
        if (source_.sourceLength == 0 || end < map_.Size()) map_.Resize(end);
    }

    bool Copy(const MapBlock& block, bool skipping) {
        std::uint64_t pos = block.pos;
        const std::uint64_t end = block.pos + block.size;
        std::uint64_t skip = 0;
        while (pos < end && Tick(pos)) {
            // Reads end on block boundaries of the source, so later passes meet the same pieces.
            const std::size_t length = static_cast<std::size_t>(
                std::min<std::uint64_t>(buffer_.size() - pos % buffer_.size(), end - pos));
            const BlockRead r = Read(pos, length);
            if (!r.failed) {
                if (!Keep(pos, r.got)) return false;
                if (r.got < length) {
                    EndAt(pos + r.got);
                    return false;
                }
                skip = 0;
                pos += length;
                continue;
            }
            const std::uint64_t good = r.got - r.got % kSectorBytes;
            if (!Keep(pos, good)) return false;
            // A failed block is narrowed down to the clusters that failed, so trimming reads a cluster's worth
            // of good sectors, not a block's. The first pass stops at the first failed cluster: the rest of the
            // block and a stretch after it that grows while reads keep failing are left for the second.
            std::uint64_t at = pos + good;
            int failedInARow = 0;
            while (at < pos + length && Going()) {
                // Four failed clusters in a row: a bad area, which trimming and scraping handle from its edges.
                if (failedInARow == 4) {
                    map_.Mark(at, pos + length - at, kNotTrimmed);
                    break;
                }
                const std::size_t part = static_cast<std::size_t>(
                    std::min<std::uint64_t>(kFirstSkip - at % kFirstSkip, pos + length - at));
                const BlockRead c = Read(at, part);
                const std::uint64_t cgood = c.got - (c.failed ? c.got % kSectorBytes : 0);
                if (!Keep(at, cgood)) return false;
                if (!c.failed && c.got < part) {
                    EndAt(at + c.got);
                    return false;
                }
                failedInARow = c.failed ? failedInARow + 1 : 0;
                if (c.failed) {
                    map_.Mark(at + cgood, part - cgood, kNotTrimmed);
                    if (skipping) break;
                }
                at += part;
            }
            if (!skipping) {
                pos += length;
                continue;
            }
            pos += length;
            // Capped at 1 % of the source, so a disk with bad sectors everywhere is not skipped over whole.
            const std::uint64_t most = std::clamp<std::uint64_t>(map_.Size() / 100, kFirstSkip, kMaxSkip);
            skip = skip == 0 ? kFirstSkip : std::min(skip * 2, most);
            pos = std::min(end, pos + skip);
        }
        return Going();
    }

    // One sector at at: '+' when read, else bad. False when it failed.
    bool Sector(std::uint64_t at) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kSectorBytes, map_.Size() - at));
        const BlockRead r = Read(at, length);
        if (!r.failed) {
            Keep(at, r.got);
            if (r.got < length) EndAt(at + r.got);
            return true;
        }
        map_.Mark(at, length, kBadSector);
        return false;
    }

    // A failed block is read sector by sector from each edge until a sector fails; what lies between two bad
    // sectors is left for scraping.
    void Trim() {
        map_.currentStatus = kNotTrimmed;
        for (const MapBlock& block : map_.BlocksWith(kNotTrimmed)) {
            std::uint64_t from = block.pos, to = block.pos + block.size;
            while (from < to && Tick(from)) {
                const bool ok = Sector(from);
                from += kSectorBytes;
                if (!ok) break;
            }
            while (to > from && Tick(to)) {
                const std::uint64_t at = to - std::min<std::uint64_t>(to - from, to % kSectorBytes ? to % kSectorBytes : kSectorBytes);
                const bool ok = Sector(at);
                to = at;
                if (!ok) break;
            }
            if (to > from) map_.Mark(from, to - from, kNotScraped);
            if (!Going()) return;
        }
    }

    void Scrape(char status) {
        map_.currentStatus = status;
        for (const MapBlock& block : map_.BlocksWith(status)) {
            for (std::uint64_t at = block.pos; at < block.pos + block.size && at < map_.Size(); at += kSectorBytes) {
                if (!Tick(at)) return;
                Sector(at);
            }
        }
    }

    FileReadSeek& source_;
    int out_;
    RescueMap& map_;
    ImagingOptions options_;
    const std::function<bool(const RescueMap&)>& progress_;
    const std::function<void(const RescueMap&)>& checkpoint_;
    std::vector<std::uint8_t> buffer_;
    ImagingOutcome outcome_;
    std::chrono::steady_clock::time_point lastTick_{};
    std::chrono::steady_clock::time_point lastSave_ = std::chrono::steady_clock::now();
};

}  // namespace

ImagingOutcome ImageSource(FileReadSeek& source, int outFd, RescueMap& map, const ImagingOptions& options,
                           const std::function<bool(const RescueMap&)>& progress,
                           const std::function<void(const RescueMap&)>& checkpoint) {
    return Imager(source, outFd, map, options, progress, checkpoint).Run();
}

}  // namespace salvora

namespace salvora {

std::string HumanBytes(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string ImagingStatus(const RescueMap& map, double rate) {
    const std::uint64_t rescued = map.BytesWith(kRescued);
    const std::uint64_t bad = map.BytesWith(kBadSector);
    std::string text = "rescued " + HumanBytes(rescued) + " of " + HumanBytes(map.Size()) + ", " + HumanBytes(bad) + " bad";
    if (rate >= 1) {
        text += ", " + HumanBytes(static_cast<std::uint64_t>(rate)) + "/s";
        const std::uint64_t left = static_cast<std::uint64_t>(static_cast<double>(map.Size() - rescued - bad) / rate);
        char clock[32];
        std::snprintf(clock, sizeof clock, ", %llu:%02llu:%02llu left", static_cast<unsigned long long>(left / 3600),
                      static_cast<unsigned long long>(left / 60 % 60), static_cast<unsigned long long>(left % 60));
        text += clock;
    }
    return text;
}

}  // namespace salvora

namespace salvora {

ImagingPlan PlanImaging(const std::string& source, std::uint64_t sourceLength, const std::string& output,
                        const std::string& mapPath) {
    ImagingPlan plan;
    const auto same = [](const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; };
    struct stat sourceStat {}, outputStat {}, mapStat {};
    ::stat(source.c_str(), &sourceStat);
    const bool outputExists = ::stat(output.c_str(), &outputStat) == 0;
    const bool mapExists = ::stat(mapPath.c_str(), &mapStat) == 0;
    if (outputExists && (same(outputStat, sourceStat) || !S_ISREG(outputStat.st_mode))) {
        plan.refusal = output + (same(outputStat, sourceStat) ? " is the source itself" : " is not a regular file") +
                       ": the image is written to a new file (the source is never written)";
    } else if (mapExists && (same(mapStat, sourceStat) || (outputExists && same(mapStat, outputStat)))) {
        plan.refusal = "the map " + mapPath + " must be a file of its own, not the source or the image";
    } else if (mapExists) {
        std::string why;
        std::optional<RescueMap> loaded = RescueMap::Load(mapPath, &why);
        if (!loaded) {
            plan.refusal = "cannot read the map " + mapPath + ": " + why;
            plan.mapUnreadable = true;
        } else if (sourceLength > 0 && loaded->Size() > sourceLength) {
            plan.refusal = "the map " + mapPath + " is for a larger source (" + std::to_string(loaded->Size()) +
                           " bytes; " + source + " has " + std::to_string(sourceLength) + ")";
        } else {
            plan.map = std::move(*loaded);
        }
    } else if (outputExists && outputStat.st_size > 0) {
        plan.refusal = output + " exists and there is no map " + mapPath +
                       " to tell what it holds: give its map, or choose a new file";
    }
    return plan;
}

}  // namespace salvora
