#include "raw/raw_parse.h"

#include <sys/stat.h>

#include <algorithm>

#include "io/ui_sink.h"
#include "raw/settings_file.h"

namespace salvora {
namespace {

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

bool PrepareRawParse(myJpg& engine, const RawParseInput& input, readWriteInterface& reader) {
    UiSink& status = engine.statusWindow ? *engine.statusWindow : Ui();
    bool defaultLoaded = false;
    if (input.loadDefaultItems)
        defaultLoaded = LoadSettingsFile(engine, input.defaultPath, SettingsKind::Default);
    for (const std::string& path : input.settingsPaths) {
        if (path.empty()) continue;
        if (defaultLoaded && SameFile(path, input.defaultPath)) continue;
        if (!LoadSettingsFile(engine, path, SettingsKind::User)) {
            status.SetStatus(kRawDoneStatus);
            return false;
        }
    }
    const bool anyPath = std::any_of(input.settingsPaths.begin(), input.settingsPaths.end(),
                                     [](const std::string& p) { return !p.empty(); });
    if (!anyPath) {
        ShowInfo("enter the info file first..");
        status.SetStatus(kRawDoneStatus);
        return false;
    }
    // Whole MiB, as the size text shows the volume.
    const std::uint64_t mib = input.volume.sizeBytes >> 20;
    if (mib == 0) {
        ShowInfo("zero size volume..");
        return false;
    }
    // A size text can claim more than the source holds; what lies past the source reads as nothing.
    engine.volumeSize = static_cast<std::int64_t>(std::min<std::uint64_t>(mib, 1ull << 40) * 1048576ull);
    engine.window = VolumeWindow(&reader, input.volume.startSector * kSectorBytes, std::uint64_t(engine.volumeSize));
    return true;
}

bool RunRawParse(myJpg& engine, const RawParseInput& input, readWriteInterface& reader) {
    if (!PrepareRawParse(engine, input, reader)) return false;
    UiSink& status = engine.statusWindow ? *engine.statusWindow : Ui();
    status.SetStatus(kRawBusyStatus);
    engine.RunCarving();
    status.SetStatus(kRawDoneStatus);
    return true;
}

}  // namespace salvora
