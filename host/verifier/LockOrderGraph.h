// Deadlock detection in the manner of Driver Verifier: every lock a thread
// takes while holding others adds "held -> taken" edges to one process-wide
// graph; taking a lock from which a held lock is already reachable closes a
// cycle, and two threads could deadlock on it, even if this run did not.
//
// Spin locks are entered by the executive; the class library model enters its
// own locks (mutexes) through Verifier::NoteLockAcquired/Released.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace host {

class LockOrderGraph {
  public:
    static LockOrderGraph& Instance();

    // Any IRQL. The calling thread took `lock`; `name` describes it in
    // reports, `caller` is the code address that took it. Reports
    // Rule::LockOrder when the new edges close a cycle.
    // Returns false (and records nothing) when the thread already holds it.
    bool Acquired(const void* lock, const char* name, const void* caller);
    // The calling thread released `lock`; false if it did not hold it.
    bool Released(const void* lock);
    // True if the calling thread holds `lock`.
    bool HeldByCurrentThread(const void* lock);
    // Number of locks the calling thread holds.
    size_t HeldCount();
    // Names of the locks the calling thread holds, innermost last.
    std::vector<std::string> HeldNames();

    // The memory of [begin, end) no longer holds locks (freed, or a lock
    // re-initialised): forget their history so a reused address starts clean.
    void ForgetRange(const void* begin, const void* end);
    // Forgets every edge (a new verifier session).
    void Clear();
    // Forgets the calling thread's held locks (a new test on this thread).
    void ForgetHeldByCurrentThread();

  private:
    bool Reaches(const void* from, const void* to, std::vector<const void*>* path);
    std::string NameOf(const void* lock);

    struct Node {
        std::string name;
        std::set<const void*> next;  // locks taken while this one was held
    };
    std::mutex mutex_;                                        // guards nodes_ and reported_
    std::map<const void*, Node> nodes_;                       // by lock address
    std::set<std::pair<const void*, const void*>> reported_;  // cycles already reported
};

}  // namespace host
