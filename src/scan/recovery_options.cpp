#include "scan/recovery_options.h"

#include <strings.h>

#include <cctype>

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

namespace {

// The results page's workers per label: which modes run anything at all.
struct WorkerRow {
    const char* label;
    bool advanced;
    bool deep;
};

constexpr WorkerRow kWorkers[] = {
    {"fat32", true, false}, {"fat16", true, false}, {"fat", true, false}, {"extX", false, false},
    {"fat64", true, false}, {"exFat", true, false}, {"HFS+", true, true},
};

// What the recovery-mode page shows by the label's first three characters.
struct PrefixRow {
    const char* prefix;
    bool advanced;
    bool deep;
};

constexpr PrefixRow kPrefixes[] = {
    {"fat", true, false},
    {"exF", true, false},
    {"ext", false, false},
    {"HFS", false, true},
};

}  // namespace

ModeOffer ModesForLabel(const std::string& fileSystemLabel) {
    std::size_t start = 0;
    while (start < fileSystemLabel.size() && fileSystemLabel[start] == ' ') ++start;
    const std::string prefix = fileSystemLabel.substr(start, 3);
    ModeOffer offer;
    offer.advanced = offer.deep = true;
    for (const auto& row : kPrefixes) {
        if (::strcasecmp(prefix.c_str(), row.prefix) == 0) {
            offer.advanced = row.advanced;
            offer.deep = row.deep;
            offer.formattedSwitch = ::strcasecmp(row.prefix, "fat") == 0;
            break;
        }
    }
    // Never a mode without a worker; a label without any worker keeps Standard, where it is refused as "not a
    // valid drive.".
    const WorkerRow* worker = nullptr;
    for (const auto& row : kWorkers)
        if (::strcasecmp(fileSystemLabel.c_str(), row.label) == 0) worker = &row;
    offer.advanced = offer.advanced && worker && worker->advanced;
    offer.deep = offer.deep && worker && worker->deep;
    offer.formattedSwitch = offer.formattedSwitch && offer.advanced;
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
