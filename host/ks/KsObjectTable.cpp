#include "host/ks/KsObjectTable.h"

#include <mutex>
#include <unordered_map>

namespace host::ks {

namespace {

struct Table {
    std::mutex mutex;                                        // guards entries
    std::unordered_map<const void*, KsObjectEntry> entries;  // by object address
};

Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

void KsObjectTable::Add(const void* address, const KsObjectEntry& entry) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.entries[address] = entry;
}

void KsObjectTable::Remove(const void* address) {
    std::shared_ptr<KsPinObject> keep;  // released after the table's lock
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(address);
    if (it != t.entries.end()) {
        keep = std::move(it->second.pin);
        t.entries.erase(it);
    }
}

bool KsObjectTable::Find(const void* address, KsObjectEntry* entry) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(address);
    if (it == t.entries.end()) {
        return false;
    }
    *entry = it->second;
    return true;
}

}  // namespace host::ks
