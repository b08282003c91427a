#include "volumes/volume_entry.h"

#include <cctype>

namespace salvora {

std::uint64_t SizeTextMiB(const std::string& sizeText) {
    std::size_t i = 0;
    while (i < sizeText.size() && std::isspace(static_cast<unsigned char>(sizeText[i]))) ++i;
    std::uint64_t value = 0;
    for (; i < sizeText.size() && std::isdigit(static_cast<unsigned char>(sizeText[i])); ++i) {
        const std::uint64_t digit = static_cast<std::uint64_t>(sizeText[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace salvora
