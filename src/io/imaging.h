#pragma once
// Copying a failing device to an image file the way ddrescue does: the good areas first in large blocks,
// skipping ahead past areas that fail, then the skipped areas, then the failed blocks trimmed from their edges
// and scraped sector by sector, then the bad sectors retried. The map says what is done, so a second run (ours
// or ddrescue's) reads only what is not yet rescued.
#include <cstdint>
#include <functional>
#include <string>

#include "io/file_read_seek.h"
#include "io/rescue_map.h"

namespace salvora {

struct ImagingOptions {
    int retries = 1;                     // passes over the bad sectors after scraping
    std::size_t blockBytes = 1 << 20;    // large reads of the first pass
    int progressMilliseconds = 200;      // at most this long between two calls of progress
};

struct ImagingOutcome {
    bool stopped = false;
    std::string writeError;  // the output could not be written (a full disk): what the system said
    std::uint64_t rescued = 0;     // bytes marked '+'
    std::uint64_t unreadable = 0;  // bytes not marked '+' at the end
    std::uint64_t reads = 0;       // reads of the source, for the curious and the tests
};

// Copies source into outFd (a regular file, written sparse: blocks of zeros are left as holes), by and into
// map. progress is called often with the map as it stands; it returns false to stop (the map then says where
// to go on). checkpoint is called now and then and at the end to save the map.
ImagingOutcome ImageSource(FileReadSeek& source, int outFd, RescueMap& map, const ImagingOptions& options,
                           const std::function<bool(const RescueMap&)>& progress,
                           const std::function<void(const RescueMap&)>& checkpoint);

}  // namespace salvora

namespace salvora {

// "512 B", "64.0 KiB", "1.5 GiB".
std::string HumanBytes(std::uint64_t bytes);

// The line a front end shows while imaging: "rescued 1.2 GiB of 2.0 GiB, 4.0 KiB bad, 45.1 MiB/s, 0:01:12
// left". rate: bytes a second read so far in this run (0 while unknown).
std::string ImagingStatus(const RescueMap& map, double rate);

}  // namespace salvora

namespace salvora {

// Where imaging source (sourceLength bytes) into output by mapPath starts: the map found there (empty: a new
// run), or why it must not start. The image never replaces the source or anything but a regular file, the map
// is a file of its own and of this source, and an existing image is only gone on from with its map.
struct ImagingPlan {
    RescueMap map;
    std::string refusal;       // empty: go ahead
    bool mapUnreadable = false;  // the refusal is a map that could not be read (not the caller's choice of files)
};
ImagingPlan PlanImaging(const std::string& source, std::uint64_t sourceLength, const std::string& output,
                        const std::string& mapPath);

}  // namespace salvora
