#pragma once
// Shared by the raw recovery tests: a reader over bytes in memory, a sink that records the core's messages,
// and a quick way to describe a signature as the editor's boxes would.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io/file_read_seek.h"
#include "io/ui_sink.h"
#include "raw/carving_engine.h"
#include "raw/signature_record.h"

namespace salvora::rawtest {

class MemoryReader final : public readWriteInterface {
  public:
    explicit MemoryReader(std::vector<std::uint8_t> bytes) : data(std::move(bytes)) {}
    bool OpenSource(const std::string&) override { return true; }
    bool ReadAt(std::uint64_t at, std::span<std::uint8_t> out, salvora::ByteRanges* missing = nullptr) override {
        const std::size_t have = at < data.size() ? std::min(out.size(), static_cast<std::size_t>(data.size() - at)) : 0;
        if (have) std::memcpy(out.data(), data.data() + at, have);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(have), out.end(), 0);
        bool whole = have == out.size();
        for (const ByteRange& r : bad) {  // unreadable sectors, as a failing card has them
            const std::uint64_t from = std::max(at, r.offset), to = std::min(at + have, r.offset + r.length);
            if (from >= to) continue;
            std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(from - at), to - from, 0);
            salvora::AddRange(missing, from, to - from);
            whole = false;
        }
        salvora::AddRange(missing, at + have, out.size() - have);
        return whole;
    }
    std::vector<std::uint8_t> data;
    ByteRanges bad;
};

class RecordingUi final : public UiSink {
  public:
    RecordingUi() { SetUi(this); }
    ~RecordingUi() override { SetUi(nullptr); }
    MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon, MsgButtons) override {
        messages.push_back(text);
        titles.push_back(title);
        return MsgAnswer::Ok;
    }
    void SetStatus(const std::string& text) override { statuses.push_back(text); }
    void SetProgressRange(std::int64_t low, std::int64_t high) override { ranges.push_back({low, high}); }
    void SetProgressPos(std::int64_t pos) override { positions.push_back(pos); }
    std::vector<std::string> messages, titles, statuses;
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    std::vector<std::int64_t> positions;
};

inline SignatureRecord Record(const std::string& ext, const std::string& start, const std::string& end = "",
                              const std::string& category = "Cat", std::int64_t approx = 0) {
    SignatureFields f;
    f.extension = ext;
    f.startSignature = start;
    f.endSignature = end;
    f.category = category;
    f.approxSize = std::to_string(approx);
    return BuildRecord(f, 0).record;
}

inline void Put(std::vector<std::uint8_t>& v, std::size_t at, const std::vector<std::uint8_t>& bytes) {
    if (v.size() < at + bytes.size()) v.resize(at + bytes.size());
    std::copy(bytes.begin(), bytes.end(), v.begin() + static_cast<std::ptrdiff_t>(at));
}

inline constexpr std::size_t kMiB = 1048576;

}  // namespace salvora::rawtest
