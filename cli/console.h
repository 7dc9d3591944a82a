#pragma once
// Where quorvel-cli writes. Results go to `out` (stdout), so that a script can read them
// alone; everything said along the way (status, progress, the ESC's and the link's
// messages) goes to `err` (stderr).
//
// On a terminal the progress is one bar redrawn in place; otherwise it is plain lines,
// one per step, which a log file keeps readable.

#include <ostream>
#include <string>
#include <string_view>

namespace quorvel::cli {

struct SConsoleStyle {
    bool quiet = false;     // only results and messages
    bool terminal = false;  // err is a terminal: redraw the bar, colour the status
};

class CConsole {
  public:
    CConsole(std::ostream& out, std::ostream& err, SConsoleStyle style);

    std::ostream& Out() { return out_; }
    bool Quiet() const { return style_.quiet; }

    // A remark of our own about what happens now (suppressed by --quiet).
    void Note(std::string_view text);
    // A message that the user must see whatever --quiet says (message boxes, errors).
    void Message(std::string_view text);

    // The status line; printed only when its text changes. Colour 1 green, 2 red.
    void Status(std::string_view text, int color);

    void ProgressRange(int lo, int hi);
    void ProgressPos(int pos);
    void ProgressShown(bool shown);
    void ProgressLabel(std::string_view text);

  private:
    // Ends a bar being redrawn in place, so that the next text starts on its own line.
    void BreakBar();
    void DrawBar();

    std::ostream& out_;
    std::ostream& err_;
    SConsoleStyle style_;
    std::string status_;
    bool statusShown_ = false;
    std::string label_;
    int lo_ = 0;
    int hi_ = 100;
    int pos_ = 0;
    int lastPrintedPos_ = -1;
    bool shown_ = false;
    bool barOnLine_ = false;
};

}  // namespace quorvel::cli
