#include "cli/terminal_ui.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace salvora {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarCells = 30;

bool IsYes(std::string reply) {
    std::transform(reply.begin(), reply.end(), reply.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    while (!reply.empty() && std::isspace(static_cast<unsigned char>(reply.back()))) reply.pop_back();
    while (!reply.empty() && std::isspace(static_cast<unsigned char>(reply.front()))) reply.erase(0, 1);
    return reply == "y" || reply == "yes";
}

bool SpeaksOfTheWizard(const std::string& text) {
    for (const char* words : {"Select save button", "select the choice from combo box", "click Next button"})
        if (text.find(words) != std::string::npos) return true;
    return false;
}

}  // namespace

std::string VisibleText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string VisibleMessage(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '\n' || (c >= 0x20 && c != 0x7F)) {
            out += ch;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", c);
            out += escaped;
        }
    }
    return out;
}

TerminalUi::TerminalUi(Options options, std::FILE* err, std::FILE* in)
    : options_(options),
      err_(err),
      in_(in),
      errIsTty_(::isatty(::fileno(err)) == 1),
      inIsTty_(in != nullptr && ::isatty(::fileno(in)) == 1) {}

TerminalUi::~TerminalUi() { EndProgress(); }

int TerminalUi::TerminalColumns() const {
    winsize size{};
    if (::ioctl(::fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col;
    return 80;
}

void TerminalUi::ClearLine() {
    if (!lineShown_) return;
    std::fputs("\r\033[K", err_);
    std::fflush(err_);
    lineShown_ = false;
}

void TerminalUi::Draw(bool force) {
    if (!errIsTty_) return;
    const auto now = std::chrono::steady_clock::now();
    int permille = -1;
    if (progressActive_ && high_ > low_) {
        const std::int64_t clamped = std::clamp(pos_, low_, high_);
        permille = static_cast<int>((clamped - low_) * 1000 / (high_ - low_));
    }
    if (!force && now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;

    std::string line;
    if (permille >= 0) {
        const int filled = permille * kBarCells / 1000;
        line = "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "] ";
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3d%%", permille / 10);
        line += percent;
        if (!status_.empty()) line += "  ";
    }
    line += status_;
    const std::size_t width = static_cast<std::size_t>(TerminalColumns() - 1);
    if (line.size() > width) line.resize(width);
    std::fputs("\r\033[K", err_);
    std::fputs(line.c_str(), err_);
    std::fflush(err_);
    lineShown_ = !line.empty();
}

MsgAnswer TerminalUi::ShowMessage(const std::string& text, const std::string& title, MsgIcon /*icon*/,
                                  MsgButtons buttons) {
    std::lock_guard lock(mutex_);
    // Texts that speak of the wizard's buttons and boxes mean nothing on a terminal; the commands say what
    // they found in their own words.
    if (!options_.verbose && buttons == MsgButtons::Ok && SpeaksOfTheWizard(text)) return MsgAnswer::Ok;
    ClearLine();
    const std::string heading = (title.empty() ? std::string(kAppTitle) : title) + ": " + VisibleMessage(text);
    if (buttons == MsgButtons::Ok) {
        std::fprintf(err_, "%s\n", heading.c_str());
        std::fflush(err_);
        Draw(true);
        return MsgAnswer::Ok;
    }
    std::fprintf(err_, "%s [y/N] ", heading.c_str());
    MsgAnswer answer = MsgAnswer::No;
    if (options_.assumeYes) {
        std::fputs("y\n", err_);
        answer = MsgAnswer::Yes;
    } else if (inIsTty_) {
        std::fflush(err_);
        char reply[64];
        if (std::fgets(reply, sizeof reply, in_) != nullptr) {
            answer = IsYes(reply) ? MsgAnswer::Yes : MsgAnswer::No;
        } else {
            std::fputs("\n", err_);
        }
    } else {
        std::fputs("n (no terminal to ask; --yes answers yes)\n", err_);
    }
    std::fflush(err_);
    Draw(true);
    return answer;
}

void TerminalUi::SetStatus(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (options_.verbose) {
        ClearLine();
        std::fprintf(err_, "%s\n", VisibleText(text).c_str());
        std::fflush(err_);
        if (progressActive_) Draw(true);
        return;
    }
    status_ = VisibleText(text);
    Draw(false);
}

void TerminalUi::SetProgressRange(std::int64_t low, std::int64_t high) {
    std::lock_guard lock(mutex_);
    low_ = low;
    high_ = high;
    pos_ = low;
    progressActive_ = true;
    Draw(true);
}

void TerminalUi::SetProgressPos(std::int64_t pos) {
    std::lock_guard lock(mutex_);
    pos_ = pos;
    progressActive_ = true;
    Draw(false);
}

void TerminalUi::EndProgress() {
    std::lock_guard lock(mutex_);
    ClearLine();
    progressActive_ = false;
    status_.clear();
}

}  // namespace salvora
