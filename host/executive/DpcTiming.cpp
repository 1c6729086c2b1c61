#include "host/executive/DpcTiming.h"

#include <mutex>
#include <unordered_map>

namespace host {

namespace {

struct Record {
    bool timerDpc = false;
    uint64_t runs = 0;
    double maxMicroseconds = 0;
    std::vector<double> microseconds;  // at most kMaxSamples
};

std::mutex& RecordMutex() {
    static std::mutex mutex;
    return mutex;
}

// Routine -> its record; RecordMutex().
std::unordered_map<const void*, Record>& Table() {
    static std::unordered_map<const void*, Record> records;
    return records;
}

}  // namespace

void DpcTiming::NoteTimerRoutine(const void* routine) {
    std::lock_guard<std::mutex> lock(RecordMutex());
    Table()[routine].timerDpc = true;
}

void DpcTiming::Reset() {
    std::lock_guard<std::mutex> lock(RecordMutex());
    Table().clear();
}

std::vector<DpcRoutineTiming> DpcTiming::Records() {
    std::lock_guard<std::mutex> lock(RecordMutex());
    std::vector<DpcRoutineTiming> result;
    for (const auto& entry : Table()) {
        result.push_back({entry.first, entry.second.timerDpc, entry.second.runs,
                          entry.second.maxMicroseconds, entry.second.microseconds});
    }
    return result;
}

DpcTiming::Run::~Run() {
    const double microseconds =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start_)
            .count();
    std::lock_guard<std::mutex> lock(RecordMutex());
    Record& record = Table()[routine_];
    ++record.runs;
    if (microseconds > record.maxMicroseconds) {
        record.maxMicroseconds = microseconds;
    }
    if (record.microseconds.size() < kMaxSamples) {
        record.microseconds.push_back(microseconds);
    }
}

}  // namespace host
