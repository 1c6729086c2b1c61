#include "host/loader/ImageBoundary.h"
#include "host/ks/KsObjectBag.h"

#include <unordered_set>

namespace host::ks {

namespace {

// Every bag alive, so a KSOBJECT_BAG from the driver can be checked before use.
std::mutex& LiveBagsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unordered_set<const void*>& LiveBags() {
    static std::unordered_set<const void*> bags;
    return bags;
}

}  // namespace

KsObjectBag::KsObjectBag(const char* owner) : owner_(owner) {
    std::lock_guard<std::mutex> lock(LiveBagsMutex());
    LiveBags().insert(this);
}

KsObjectBag::~KsObjectBag() {
    FreeAll();
    std::lock_guard<std::mutex> lock(LiveBagsMutex());
    LiveBags().erase(this);
}

KsObjectBag* KsObjectBag::FromHandle(KSOBJECT_BAG handle) {
    std::lock_guard<std::mutex> lock(LiveBagsMutex());
    return LiveBags().count(handle) != 0 ? static_cast<KsObjectBag*>(handle) : nullptr;
}

void KsObjectBag::SetGuard(const char* mutexName, std::function<bool()> heldByCaller) {
    guardName_ = mutexName;
    guardHeld_ = std::move(heldByCaller);
}

NTSTATUS KsObjectBag::Add(PVOID item, PFNKSFREE free) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Item& existing : items_) {
        if (existing.item == item) {
            return STATUS_SUCCESS;
        }
    }
    items_.push_back(Item{item, free});
    return STATUS_SUCCESS;
}

bool KsObjectBag::Remove(const void* item, PFNKSFREE* free) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (it->item == item) {
            *free = it->free;
            items_.erase(it);
            return true;
        }
    }
    return false;
}

bool KsObjectBag::Contains(const void* item) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Item& existing : items_) {
        if (existing.item == item) {
            return true;
        }
    }
    return false;
}

void KsObjectBag::FreeAll() {
    std::vector<Item> items;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items.swap(items_);
    }
    // The free routines run without the bag's lock: they are driver code.
    for (const Item& entry : items) {
        if (entry.free != nullptr) {
            CallDriver(entry.free, entry.item);
        } else {
            ExFreePool(entry.item);
        }
    }
}

size_t KsObjectBag::Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

}  // namespace host::ks
