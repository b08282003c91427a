#pragma once
// The command line's face for the core's messages, status line and progress: everything goes to stderr so
// stdout stays clean for listings and JSON.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "io/ui_sink.h"

namespace salvora {

// Text from a volume as a terminal may show it: control characters (ESC, BEL, CR, LF, BS, DEL ...) and the
// backslash become visible escapes ("\033", "\\"), so a crafted name cannot move the cursor, clear the screen or
// fake a line.
std::string VisibleText(const std::string& text);
// A message of the program's own, names in it: its line breaks and backslashes stay, every other control
// character is escaped.
std::string VisibleMessage(const std::string& text);

class TerminalUi final : public UiSink {
  public:
    struct Options {
        bool verbose = false;    // every status text as a line of its own
        bool assumeYes = false;  // Yes/No questions are answered Yes without asking
    };

    explicit TerminalUi(Options options, std::FILE* err = stderr, std::FILE* in = stdin);
    ~TerminalUi() override;

    // "Salvora: text" on stderr. A Yes/No question is asked on the terminal; without one (or without a reply)
    // the answer is No unless assumeYes is set.
    MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                          MsgButtons buttons) override;
    // On a terminal the status shares one line with the progress bar and is overwritten in place; elsewhere a
    // status is printed only in verbose mode, so a log is not flooded with per-file texts.
    void SetStatus(const std::string& text) override;
    void SetProgressRange(std::int64_t low, std::int64_t high) override;
    void SetProgressPos(std::int64_t pos) override;

    // Clears the live line and forgets the progress; call before printing results.
    void EndProgress();

  private:
    void Draw(bool force);
    void ClearLine();
    int TerminalColumns() const;

    std::mutex mutex_;
    Options options_;
    std::FILE* err_;
    std::FILE* in_;
    bool errIsTty_;
    bool inIsTty_;
    std::string status_;
    std::int64_t low_ = 0;
    std::int64_t high_ = 0;
    std::int64_t pos_ = 0;
    bool progressActive_ = false;
    bool lineShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace salvora
