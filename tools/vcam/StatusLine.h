// The one live status line of a run, on standard error, redrawn in place.
// It is shown only when standard error is a terminal: in a pipe or a log it
// would be noise, and the summary says the same at the end.
#pragma once

#include <chrono>
#include <string>

namespace vcam {

class StatusLine {
  public:
    StatusLine();
    bool Enabled() const { return enabled_; }
    // Redraws the line, at most about five times a second unless `force`.
    void Update(const std::string& text, bool force = false);
    // Erases the line so the summary starts on a clean row.
    void Clear();

  private:
    bool enabled_;                                    // standard error is a terminal
    size_t shownLength_ = 0;                          // length of the text on screen
    std::chrono::steady_clock::time_point lastDraw_;  // when it was last drawn
};

}  // namespace vcam
