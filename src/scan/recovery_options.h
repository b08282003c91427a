#pragma once
// The options the scan-mode page and the recovery-mode page hand on, as data both front ends share: how the
// volumes of a drive are found, how deeply the chosen volume is parsed, and which of those modes its label
// offers.
#include <cstdint>
#include <string>
#include <vector>

#include "model/parser_base.h"

namespace salvora {

// How the volume list looks for volumes on a physical drive.
enum class ScanMode { Standard = 1, Advance = 2 };

struct ScanModeOptions {
    ScanMode scanMode = ScanMode::Standard;
    bool useGpt = false;       // "GPT format": walk the GUID partition table
    bool doNotSkip = false;    // "Do not Skip Volume Size While Parsing in Advance  Scan "
    bool customRange = false;  // "Custom Setting:": the two sector numbers below are used
    std::uint64_t rangeStartSector = 0;
    std::uint64_t rangeEndSector = 0;  // 0: to the end of the source

    // What the partition scanner receives: the advance scan skips found volumes unless told not to, and the
    // range applies only with custom settings (0..0 means the whole source).
};

// How deeply a volume is parsed; the values are the pages' mode numbers.

inline constexpr int kDefaultMaxFileSystems = 3;

struct RecoveryOptions {
    RecoveryMode recoveryMode = RecoveryMode::Standard;
    int maxFileSystems = kDefaultMaxFileSystems;  // FAT copies an entry search looks for
    bool formattedDrive = false;                  // "Is Drive Formated..?"
};

// Values below 1 become 3.
int EffectiveMaxFileSystems(int maxFileSystems);
// The leading decimal digits of an edit's text as a number (saturating); 0 when there are none.
std::uint64_t LeadingNumber(const std::string& text);

// What the recovery-mode page shows for a volume's label: its modes (always at least Standard), and whether
// "Is Drive Formated..?" appears while Advanced is chosen.
struct ModeOffer {
    bool standard = true;
    bool advanced = false;
    bool deep = false;
    bool formattedSwitch = false;

    bool Offers(RecoveryMode mode) const;
    std::vector<RecoveryMode> Modes() const;
};

// The page hides choices by the first three characters of the label (leading blanks removed, any case), and
// never offers a mode that the results page has no worker for.
ModeOffer ModesForLabel(const std::string& fileSystemLabel);

// The texts of the modes: "Standard", "Advanced", "Deep".
const char* RecoveryModeText(RecoveryMode mode);
// nullopt-like empty text when the label offers the mode; otherwise why it is refused, for front ends that
// take the mode from a person (the command line).
std::string ModeRefusal(const std::string& fileSystemLabel, RecoveryMode mode);

}  // namespace salvora
