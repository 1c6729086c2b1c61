#include "tools/vcam/CheckLog.h"

#include <cstring>

namespace vcam {

void CheckLog::Section(const std::string& name) {
    section_ = name;
    sectionFailed_ = 0;
    sectionChecks_ = 0;
    std::fprintf(out_, "\n%s:\n", name.c_str());
}

bool CheckLog::Record(bool passed, const char* expression, const char* file, int line,
                      const std::string& detail) {
    ++sectionChecks_;
    if (passed) {
        ++succeeded_;
        return true;
    }
    ++failed_;
    ++sectionFailed_;
    // The place from the repository's root, as a reader finds the file.
    const char* place = std::strstr(file, "tools/vcam/");
    if (place == nullptr) place = file;
    std::fprintf(out_, "\t\tfail: %s(%d): %s", place, line, expression);
    if (!detail.empty()) std::fprintf(out_, " (%s)", detail.c_str());
    std::fprintf(out_, "\n");
    return false;
}

void CheckLog::Warn(const std::string& text, const char* file, int line) {
    ++warnings_;
    std::fprintf(out_, "\t\twarn: %s(%d): %s\n", file, line, text.c_str());
}

void CheckLog::Note(const std::string& text) {
    std::fprintf(out_, "\t%s\n", text.c_str());
}

void CheckLog::EndSection() {
    std::fprintf(out_, "\ttest %s: %s (%d checks)\n", section_.c_str(),
                 sectionFailed_ ? "FAIL" : "OK", sectionChecks_);
}

void CheckLog::PrintTotals() {
    std::fprintf(out_, "\nTotal: %d, Succeeded: %d, Failed: %d, Warnings: %d\n", Total(),
                 succeeded_, failed_, warnings_);
    std::fflush(out_);
}

}  // namespace vcam
