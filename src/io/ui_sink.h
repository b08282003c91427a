#pragma once
// The core's only way to talk to a person: message boxes, the status line and the progress bar.
// The core keeps the exact texts; each front end decides how to show them.
#include <cstdint>
#include <string>

namespace salvora {

enum class MsgIcon { None, Information, Warning, Error, Question };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

inline constexpr const char* kAppTitle = "Salvora";

class UiSink {
public:
    virtual ~UiSink() = default;
    // Blocks until answered. Called from worker threads too: a GUI implementation must marshal to its UI thread.
    virtual MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                                  MsgButtons buttons) = 0;
    virtual void SetStatus(const std::string& text) = 0;
    virtual void SetProgressRange(std::int64_t low, std::int64_t high) = 0;
    virtual void SetProgressPos(std::int64_t pos) = 0;
};

// Answers Yes/Ok to everything and shows nothing; the default until a front end installs its own.
class SilentUi final : public UiSink {
public:
    MsgAnswer ShowMessage(const std::string&, const std::string&, MsgIcon, MsgButtons buttons) override {
        return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
    }
    void SetStatus(const std::string&) override {}
    void SetProgressRange(std::int64_t, std::int64_t) override {}
    void SetProgressPos(std::int64_t) override {}
};

// The process-wide sink; never null.
UiSink& Ui();
void SetUi(UiSink* sink);  // nullptr restores the silent sink

// "Salvora"-titled information box, the common case.
inline MsgAnswer ShowInfo(const std::string& text) {
    return Ui().ShowMessage(text, kAppTitle, MsgIcon::Information, MsgButtons::Ok);
}

}  // namespace salvora
