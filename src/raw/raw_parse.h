#pragma once
// The raw recovery page's Parse, shared by the GUI page and the command line: load the default items and/or a
// user settings file, check the volume, point the reader at it, carve.
#include <string>
#include <vector>

#include "io/file_read_seek.h"
#include "raw/carving_engine.h"
#include "volumes/volume_entry.h"

namespace salvora {

struct RawParseInput {
    bool loadDefaultItems = true;  // the "Load Default Items" box
    std::string defaultPath;       // kept by the page: DefaultSettingsPath() when it opened
    // The path box (the command line may give several). None: "enter the info file first..". The default file
    // named again here is not loaded a second time.
    std::vector<std::string> settingsPaths;
    VolumeEntry volume;  // the volume chosen on the volume list page
};

inline constexpr const char* kRawOpenStatus = "Please select parse button to scan the default file.";
inline constexpr const char* kRawBusyStatus = "Processing.....";
inline constexpr const char* kRawDoneStatus = "Processing done";

// Loads and checks; on success the engine holds the volume size and its window on the reader. False: nothing to carve; the message is shown and the status is "Processing done" where the
// page sets it.
bool PrepareRawParse(myJpg& engine, const RawParseInput& input, readWriteInterface& reader);

// PrepareRawParse, then the carving with "Processing....." while it runs and "Processing done" after. Run it
// on the page's worker thread; the page disables its buttons before and enables them after.
bool RunRawParse(myJpg& engine, const RawParseInput& input, readWriteInterface& reader);

}  // namespace salvora
