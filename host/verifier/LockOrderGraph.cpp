#include "host/verifier/LockOrderGraph.h"

#include <host/verifier/Verifier.h>

#include "host/verifier/CallSite.h"

#include <algorithm>
#include <cstdio>

namespace host {

namespace {

struct HeldLock {
    const void* lock;
    std::string name;
};

// Locks the current thread holds, in acquisition order.
std::vector<HeldLock>& HeldLocks() {
    static thread_local std::vector<HeldLock> held;
    return held;
}

std::string Describe(const void* lock, const std::string& name) {
    char text[64];
    std::snprintf(text, sizeof text, " @%p", lock);
    return name + text;
}

}  // namespace

LockOrderGraph& LockOrderGraph::Instance() {
    static LockOrderGraph instance;
    return instance;
}

bool LockOrderGraph::Acquired(const void* lock, const char* name, const void* caller) {
    auto& held = HeldLocks();
    for (const auto& h : held) {
        if (h.lock == lock) {
            return false;
        }
    }
    if (held.empty()) {
        // No edge to add. Not touching the shared graph here keeps the
        // verifier from ordering threads that take one lock at a time, which
        // would hide their data races from ThreadSanitizer.
        held.push_back(HeldLock{lock, name != nullptr ? name : "lock"});
        return true;
    }
    std::string cycle;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        Node& node = nodes_[lock];
        node.name = name != nullptr ? name : "lock";
        for (const auto& h : held) {
            nodes_[h.lock].name = h.name;
        }
        for (const auto& h : held) {
            std::vector<const void*> path;
            if (Reaches(lock, h.lock, &path) && reported_.insert({h.lock, lock}).second) {
                cycle = "taking " + Describe(lock, node.name) + " while holding " +
                        Describe(h.lock, h.name) + ", but earlier ";
                for (size_t i = 0; i + 1 < path.size(); ++i) {
                    cycle += Describe(path[i + 1], NameOf(path[i + 1])) + " was taken while " +
                             Describe(path[i], NameOf(path[i])) + " was held";
                    cycle += (i + 2 < path.size()) ? ", and " : "";
                }
                break;
            }
        }
        for (const auto& h : held) {
            nodes_[h.lock].next.insert(lock);
        }
    }
    held.push_back(HeldLock{lock, name != nullptr ? name : "lock"});
    if (!cycle.empty()) {
        Verifier::Report(Rule::LockOrder, CallSite::Format(caller).c_str(),
                         cycle + ": lock order cycle (possible deadlock)");
    }
    return true;
}

bool LockOrderGraph::Released(const void* lock) {
    auto& held = HeldLocks();
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (it->lock == lock) {
            held.erase(std::next(it).base());
            return true;
        }
    }
    return false;
}

bool LockOrderGraph::HeldByCurrentThread(const void* lock) {
    for (const auto& h : HeldLocks()) {
        if (h.lock == lock) {
            return true;
        }
    }
    return false;
}

size_t LockOrderGraph::HeldCount() {
    return HeldLocks().size();
}

std::vector<std::string> LockOrderGraph::HeldNames() {
    std::vector<std::string> names;
    for (const auto& h : HeldLocks()) {
        names.push_back(Describe(h.lock, h.name));
    }
    return names;
}

void LockOrderGraph::ForgetRange(const void* begin, const void* end) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto first = nodes_.lower_bound(begin);
    auto last = nodes_.lower_bound(end);
    if (first == last) {
        return;
    }
    std::vector<const void*> gone;
    for (auto it = first; it != last; ++it) {
        gone.push_back(it->first);
    }
    nodes_.erase(first, last);
    for (auto& entry : nodes_) {
        for (const void* lock : gone) {
            entry.second.next.erase(lock);
        }
    }
    for (auto it = reported_.begin(); it != reported_.end();) {
        bool stale = std::find(gone.begin(), gone.end(), it->first) != gone.end() ||
                     std::find(gone.begin(), gone.end(), it->second) != gone.end();
        it = stale ? reported_.erase(it) : std::next(it);
    }
}

void LockOrderGraph::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    nodes_.clear();
    reported_.clear();
}

void LockOrderGraph::ForgetHeldByCurrentThread() {
    HeldLocks().clear();
}

// Called with mutex_ held. Depth-first search; `path` gets from..to.
bool LockOrderGraph::Reaches(const void* from, const void* to, std::vector<const void*>* path) {
    std::set<const void*> seen;
    std::vector<std::pair<const void*, std::set<const void*>::const_iterator>> stack;
    auto start = nodes_.find(from);
    if (start == nodes_.end()) {
        return false;
    }
    seen.insert(from);
    stack.emplace_back(from, start->second.next.begin());
    while (!stack.empty()) {
        auto& top = stack.back();
        const Node& node = nodes_[top.first];
        if (top.second == node.next.end()) {
            stack.pop_back();
            continue;
        }
        const void* next = *top.second++;
        if (next == to) {
            for (const auto& frame : stack) {
                path->push_back(frame.first);
            }
            path->push_back(to);
            return true;
        }
        auto found = nodes_.find(next);
        if (found != nodes_.end() && seen.insert(next).second) {
            stack.emplace_back(next, found->second.next.begin());
        }
    }
    return false;
}

// Called with mutex_ held.
std::string LockOrderGraph::NameOf(const void* lock) {
    auto it = nodes_.find(lock);
    return it != nodes_.end() ? it->second.name : std::string("lock");
}

}  // namespace host
