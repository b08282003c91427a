#include "scan/recovery_options.h"

#include <cctype>

#include "scan/file_systems.h"

namespace salvora {

int EffectiveMaxFileSystems(int maxFileSystems) {
    return maxFileSystems < 1 ? kDefaultMaxFileSystems : maxFileSystems;
}

std::uint64_t LeadingNumber(const std::string& text) {
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) break;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

bool ModeOffer::Offers(RecoveryMode mode) const {
    switch (mode) {
        case RecoveryMode::Standard:
            return standard;
        case RecoveryMode::Advanced:
            return advanced;
        case RecoveryMode::Deep:
            return deep;
    }
    return false;
}

std::vector<RecoveryMode> ModeOffer::Modes() const {
    std::vector<RecoveryMode> modes;
    for (const RecoveryMode m : {RecoveryMode::Standard, RecoveryMode::Advanced, RecoveryMode::Deep})
        if (Offers(m)) modes.push_back(m);
    return modes;
}


ModeOffer ModesForLabel(const std::string& fileSystemLabel) {
    // A label without a parser keeps Standard, where it is refused as "not a valid drive.".
    ModeOffer offer;
    if (const FileSystemRow* row = FindFileSystem(fileSystemLabel)) {
        offer.advanced = row->advanced;
        offer.deep = row->deep;
        offer.formattedSwitch = row->formattedSwitch && row->advanced;
    }
    return offer;
}

const char* RecoveryModeText(RecoveryMode mode) {
    switch (mode) {
        case RecoveryMode::Standard:
            return "Standard";
        case RecoveryMode::Advanced:
            return "Advanced";
        case RecoveryMode::Deep:
            return "Deep";
    }
    return "";
}

std::string ModeRefusal(const std::string& fileSystemLabel, RecoveryMode mode) {
    const ModeOffer offer = ModesForLabel(fileSystemLabel);
    if (offer.Offers(mode)) return {};
    std::string offered;
    for (const RecoveryMode m : offer.Modes()) {
        if (!offered.empty()) offered += ", ";
        offered += RecoveryModeText(m);
    }
    return std::string("The ") + RecoveryModeText(mode) + " recovery mode is not offered for a \"" +
           fileSystemLabel + "\" volume (offered: " + offered + ").";
}

}  // namespace salvora
