#include "tools/vcam/StatusLine.h"

#include <cstdio>
#include <unistd.h>

namespace vcam {

StatusLine::StatusLine() : enabled_(::isatty(STDERR_FILENO) == 1) {}

void StatusLine::Update(const std::string& text, bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && shownLength_ != 0 && now - lastDraw_ < std::chrono::milliseconds(200)) return;
    lastDraw_ = now;
    std::string line = "\r" + text;
    if (text.size() < shownLength_) line.append(shownLength_ - text.size(), ' ');
    shownLength_ = text.size();
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void StatusLine::Clear() {
    if (!enabled_ || shownLength_ == 0) return;
    std::string blank = "\r" + std::string(shownLength_, ' ') + "\r";
    std::fputs(blank.c_str(), stderr);
    std::fflush(stderr);
    shownLength_ = 0;
}

}  // namespace vcam
