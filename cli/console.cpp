#include "cli/console.h"

#include <algorithm>

namespace quorvel::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kPlain = "\x1b[0m";

// The label texts start with blanks to sit well in the window; a line does not need them.
std::string_view TrimLeft(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

}  // namespace

CConsole::CConsole(std::ostream& out, std::ostream& err, SConsoleStyle style)
    : out_(out), err_(err), style_(style) {}

void CConsole::BreakBar() {
    if (barOnLine_) {
        err_ << '\n';
        barOnLine_ = false;
    }
}

void CConsole::Note(std::string_view text) {
    if (style_.quiet)
        return;
    BreakBar();
    err_ << text << '\n' << std::flush;
}

void CConsole::Message(std::string_view text) {
    BreakBar();
    err_ << text << '\n' << std::flush;
}

void CConsole::Status(std::string_view text, int color) {
    if (statusShown_ && text == status_)
        return;
    status_ = std::string(text);
    statusShown_ = true;
    if (style_.quiet)
        return;
    BreakBar();
    const std::string_view line = TrimLeft(text);
    if (style_.terminal && (color == 1 || color == 2)) {
        err_ << (color == 1 ? kGreen : kRed) << line << kPlain << '\n';
    } else {
        err_ << line << '\n';
    }
    err_ << std::flush;
}

void CConsole::ProgressRange(int lo, int hi) {
    lo_ = lo;
    hi_ = std::max(hi, lo + 1);
}

void CConsole::ProgressPos(int pos) {
    pos_ = pos;
    if (shown_)
        DrawBar();
}

void CConsole::ProgressShown(bool shown) {
    if (shown == shown_)
        return;
    shown_ = shown;
    if (shown) {
        lastPrintedPos_ = -1;
        // As lines, the label that comes next reads better before the first position.
        if (style_.terminal)
            DrawBar();
    } else {
        BreakBar();
    }
}

void CConsole::ProgressLabel(std::string_view text) {
    if (text == label_)
        return;
    label_ = std::string(text);
    if (style_.quiet)
        return;
    if (shown_ && style_.terminal) {
        DrawBar();
        return;
    }
    // Done and error texts arrive while the bar is still shown; as lines they stand alone.
    BreakBar();
    err_ << TrimLeft(label_) << '\n' << std::flush;
    if (shown_)
        DrawBar();
}

void CConsole::DrawBar() {
    if (style_.quiet)
        return;
    const int span = hi_ - lo_;
    const int at = std::clamp(pos_, lo_, hi_) - lo_;
    const int percent = at * 100 / span;
    if (style_.terminal) {
        const int filled = at * kBarWidth / span;
        err_ << '\r' << '[' << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] ";
        err_.width(3);
        err_ << percent << "%  " << TrimLeft(label_) << "\x1b[K" << std::flush;
        barOnLine_ = true;
        return;
    }
    if (pos_ == lastPrintedPos_)
        return;
    lastPrintedPos_ = pos_;
    err_ << "Progress " << at << '/' << span << " (" << percent << "%)\n" << std::flush;
}

}  // namespace quorvel::cli
