// Mapfiles of any bytes: the parser must end, and a map it takes must say the same after its own text is read
// back; marking ranges anywhere keeps the blocks in order and without gaps.
#include <cstdint>
#include <string>
#include <string_view>

#include "io/rescue_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace salvora;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string why;
    std::optional<RescueMap> map = RescueMap::Parse(text, &why);
    if (!map) return 0;
    const std::optional<RescueMap> again = RescueMap::Parse(map->Text(), &why);
    if (!again || again->Blocks() != map->Blocks()) __builtin_trap();
    // Marks from the input's own numbers, where blocks split and join.
    for (std::size_t i = 0; i + 17 <= size && i < 17 * 64; i += 17) {
        std::uint64_t pos = 0, length = 0;
        for (int k = 0; k < 8; ++k) pos = pos << 8 | data[i + k];
        for (int k = 8; k < 16; ++k) length = length << 8 | data[i + k];
        map->Mark(pos % (map->Size() + 4096), length % (1 << 20), "?*/-+"[data[i + 16] % 5]);
    }
    std::uint64_t end = 0;
    for (const MapBlock& b : map->Blocks()) {
        if (b.pos != end || b.size == 0) __builtin_trap();
        end = b.pos + b.size;
    }
    if (end != map->Size()) __builtin_trap();
    return 0;
}
