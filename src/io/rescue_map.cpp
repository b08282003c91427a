#include "io/rescue_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "io/write_all.h"

namespace salvora {

namespace {

bool IsBlockStatus(char c) {
    return c == kNotTried || c == kNotTrimmed || c == kNotScraped || c == kBadSector || c == kRescued;
}

// ddrescue writes hexadecimal with 0x; decimal and octal (leading 0) are numbers too, as strtoull reads them.
bool ParseNumber(std::string_view word, std::uint64_t& value) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    } else if (word.size() > 1 && word[0] == '0') {
        base = 8;
        word.remove_prefix(1);
    }
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    return ec == std::errc() && end == word.data() + word.size();
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string Hex(std::uint64_t value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

const char* PhaseText(char status) {
    switch (status) {
        case kNotTried: return "Copying non-tried blocks...";
        case kNotTrimmed: return "Trimming failed blocks...";
        case kNotScraped: return "Scraping failed blocks...";
        case kBadSector: return "Retrying bad sectors...";
        default: return "Finished";
    }
}

}  // namespace

RescueMap::RescueMap(std::uint64_t size) {
    if (size > 0) blocks_.emplace(0, std::make_pair(size, kNotTried));
}

std::optional<RescueMap> RescueMap::Parse(std::string_view text, std::string* error) {
    RescueMap map;
    bool statusLineSeen = false;
    std::uint64_t end = 0;
    std::size_t lineNumber = 0;
    auto fail = [&](const std::string& why) -> std::optional<RescueMap> {
        if (error) *error = "line " + std::to_string(lineNumber) + ": " + why;
        return std::nullopt;
    };
    while (!text.empty()) {
        const std::size_t cut = text.find('\n');
        const std::string_view line = text.substr(0, cut);
        text.remove_prefix(cut == std::string_view::npos ? text.size() : cut + 1);
        ++lineNumber;
        const auto words = Words(line);
        if (words.empty() || words[0].front() == '#') continue;
        if (!statusLineSeen) {
            // current_pos current_status [current_pass]
            std::uint64_t pos = 0;
            if (words.size() < 2 || words.size() > 3 || !ParseNumber(words[0], pos) || words[1].size() != 1)
                return fail("not a mapfile status line");
            map.currentPos = pos;
            map.currentStatus = words[1][0];
            std::uint64_t pass = 1;
            if (words.size() == 3 && (!ParseNumber(words[2], pass) || pass == 0 || pass > 1000000))
                return fail("bad pass number");
            map.currentPass = static_cast<int>(pass);
            statusLineSeen = true;
            continue;
        }
        std::uint64_t pos = 0, size = 0;
        if (words.size() != 3 || !ParseNumber(words[0], pos) || !ParseNumber(words[1], size) ||
            words[2].size() != 1 || !IsBlockStatus(words[2][0]))
            return fail("not a block line (pos size status)");
        if (pos < end) return fail("blocks overlap or are out of order");
        if (size == 0) continue;
        if (pos > UINT64_MAX - size) return fail("block past the end of any device");
        // A gap (ddrescue writes none) is not known: not tried.
        if (pos > end) map.Mark(end, pos - end, kNotTried);
        map.Mark(pos, size, words[2][0]);
        end = pos + size;
    }
    if (!statusLineSeen) return fail("no status line: this is not a ddrescue mapfile");
    return map;
}

std::optional<RescueMap> RescueMap::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), error);
}

std::string RescueMap::Text(std::string_view commandLine) const {
    std::string text = "# Mapfile. Created by Salvora\n";
    if (!commandLine.empty()) text += "# Command line: " + std::string(commandLine) + "\n";
    char when[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    text += "# Current time: " + std::string(when) + "\n";
    text += "# " + std::string(PhaseText(currentStatus)) + "\n";
    text += "# current_pos  current_status  current_pass\n";
    text += Hex(currentPos, 8) + "     " + currentStatus + "               " + std::to_string(currentPass) + "\n";
    text += "#      pos        size  status\n";
    for (const auto& [pos, block] : blocks_)
        text += Hex(pos, 8) + "  " + Hex(block.first, 8) + "  " + block.second + "\n";
    return text;
}

bool RescueMap::Save(const std::string& path, std::string* error) const {
    const std::string text = Text();
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && WriteAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) &&
              ::fsync(fd) == 0;
    const int savedErrno = errno;
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    if (error) *error = std::strerror(ok ? errno : (savedErrno != 0 ? savedErrno : ENOSPC));
    ::unlink(temporary.c_str());
    return false;
}

void RescueMap::Split(std::uint64_t at) {
    auto it = blocks_.upper_bound(at);
    if (it == blocks_.begin()) return;
    --it;
    const std::uint64_t pos = it->first;
    auto [size, status] = it->second;
    if (at <= pos || at >= pos + size) return;
    it->second.first = at - pos;
    blocks_.emplace(at, std::make_pair(pos + size - at, status));
}

void RescueMap::Join(std::map<std::uint64_t, std::pair<std::uint64_t, char>>::iterator it) {
    if (it == blocks_.end()) return;
    if (it != blocks_.begin()) {
        auto before = std::prev(it);
        if (before->second.second == it->second.second) {
            before->second.first += it->second.first;
            blocks_.erase(it);
            it = before;
        }
    }
    auto after = std::next(it);
    if (after != blocks_.end() && after->second.second == it->second.second) {
        it->second.first += after->second.first;
        blocks_.erase(after);
    }
}

void RescueMap::Mark(std::uint64_t pos, std::uint64_t size, char status) {
    if (size == 0) return;
    if (pos > UINT64_MAX - size) size = UINT64_MAX - pos;
    const std::uint64_t end = pos + size;
    if (Size() < end) Resize(end);
    Split(pos);
    Split(end);
    blocks_.erase(blocks_.lower_bound(pos), blocks_.lower_bound(end));
    Join(blocks_.emplace(pos, std::make_pair(size, status)).first);
}

void RescueMap::Resize(std::uint64_t size) {
    const std::uint64_t now = Size();
    if (size > now) {
        Join(blocks_.emplace(now, std::make_pair(size - now, kNotTried)).first);
    } else if (size < now) {
        Split(size);
        blocks_.erase(blocks_.lower_bound(size), blocks_.end());
    }
}

std::uint64_t RescueMap::Size() const {
    if (blocks_.empty()) return 0;
    const auto& last = *blocks_.rbegin();
    return last.first + last.second.first;
}

std::vector<MapBlock> RescueMap::Blocks() const {
    std::vector<MapBlock> out;
    for (const auto& [pos, block] : blocks_) out.push_back({pos, block.first, block.second});
    return out;
}

std::vector<MapBlock> RescueMap::BlocksWith(char status, std::uint64_t from, std::uint64_t to) const {
    std::vector<MapBlock> out;
    auto it = blocks_.upper_bound(from);
    if (it != blocks_.begin()) --it;
    for (; it != blocks_.end() && it->first < to; ++it) {
        if (it->second.second != status) continue;
        const std::uint64_t start = std::max(it->first, from);
        const std::uint64_t end = std::min(it->first + it->second.first, to);
        if (end > start) out.push_back({start, end - start, status});
    }
    return out;
}

std::uint64_t RescueMap::BytesWith(char status) const {
    std::uint64_t total = 0;
    for (const auto& [pos, block] : blocks_)
        if (block.second == status) total += block.first;
    return total;
}

ByteRanges RescueMap::NotRescued() const {
    ByteRanges out;
    for (const auto& [pos, block] : blocks_)
        if (block.second != kRescued) AddRange(&out, pos, block.first);
    return out;
}

char RescueMap::StatusAt(std::uint64_t pos) const {
    auto it = blocks_.upper_bound(pos);
    if (it == blocks_.begin()) return kNotTried;
    --it;
    return pos < it->first + it->second.first ? it->second.second : kNotTried;
}

}  // namespace salvora
