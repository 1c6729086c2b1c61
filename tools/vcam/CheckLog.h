// The record of a conformance run: every check's outcome, printed as it
// happens in the style of a compliance suite. A failing check prints the
// expression that failed and its place in the source; a warning marks
// something allowed but worth a look. The run ends with the totals line
//   Total: N, Succeeded: N, Failed: N, Warnings: N
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

namespace vcam {

class CheckLog {
  public:
    explicit CheckLog(std::FILE* out) : out_(out) {}

    // Starts a section ("identity", "formats", ...).
    void Section(const std::string& name);
    // Records one check; prints its expression and place when it failed,
    // with `detail` (the values involved) when given. Returns `passed`.
    bool Record(bool passed, const char* expression, const char* file, int line,
                const std::string& detail = std::string());
    // Records a warning (does not fail the run).
    void Warn(const std::string& text, const char* file, int line);
    // An informational line inside the current section.
    void Note(const std::string& text);
    // Prints the section's result and the totals line.
    void EndSection();
    void PrintTotals();

    int Total() const { return succeeded_ + failed_; }
    int Succeeded() const { return succeeded_; }
    int Failed() const { return failed_; }
    int Warnings() const { return warnings_; }

    // Renders any printable value for a failure message.
    template <typename T>
    static std::string Show(const T& value) {
        std::ostringstream text;
        text << value;
        return text.str();
    }

  private:
    std::FILE* out_;         // where the report goes
    std::string section_;    // current section's name
    int sectionFailed_ = 0;  // failures in the current section
    int sectionChecks_ = 0;  // checks in the current section
    int succeeded_ = 0;      // checks that held, whole run
    int failed_ = 0;         // checks that did not, whole run
    int warnings_ = 0;       // warnings, whole run
};

}  // namespace vcam

// Inside a class with a `CheckLog& log_` member: records `expr`.
#define VCAM_CHECK(expr) log_.Record(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
// Records `a == b`, showing both values when they differ.
#define VCAM_CHECK_EQ(a, b)                                                                       \
    [&]() {                                                                                       \
        const auto& checkA_ = (a);                                                                \
        const auto& checkB_ = (b);                                                                \
        bool equal_ = checkA_ == checkB_;                                                         \
        return log_.Record(                                                                       \
            equal_, #a " == " #b, __FILE__, __LINE__,                                             \
            equal_ ? std::string()                                                                \
                   : ::vcam::CheckLog::Show(checkA_) + " vs " + ::vcam::CheckLog::Show(checkB_)); \
    }()
#define VCAM_WARN(text) log_.Warn((text), __FILE__, __LINE__)
