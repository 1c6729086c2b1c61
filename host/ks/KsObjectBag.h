// An object bag: the items a KS object owns, each with the routine that frees
// it (ExFreePool when none was given). The bag is emptied when its object is
// closed. KSOBJECT_BAG values handed to the driver are addresses of these.
#pragma once

#include <host/ks.h>

#include <functional>
#include <mutex>
#include <vector>

namespace host::ks {

class KsObjectBag {
  public:
    // `owner` names the object kind in reports ("device", "filter", ...).
    explicit KsObjectBag(const char* owner);
    // Frees whatever is still in the bag.
    ~KsObjectBag();
    KsObjectBag(const KsObjectBag&) = delete;
    KsObjectBag& operator=(const KsObjectBag&) = delete;

    // The driver's view of this bag.
    KSOBJECT_BAG Handle() { return this; }
    // Any IRQL. The live bag `handle` designates, or nullptr.
    static KsObjectBag* FromHandle(KSOBJECT_BAG handle);

    // PASSIVE_LEVEL (checked by the caller). Adds `item`; adding an item that
    // is already in the bag changes nothing and succeeds.
    NTSTATUS Add(PVOID item, PFNKSFREE free);
    // PASSIVE_LEVEL (checked by the caller). Takes `item` out of the bag
    // without freeing it and sets *free to the routine it was added with
    // (nullptr: ExFreePool); false, with *free untouched, if it was not in
    // the bag.
    bool Remove(const void* item, PFNKSFREE* free);
    // Any IRQL. True if `item` is in the bag.
    bool Contains(const void* item);
    // PASSIVE_LEVEL. Frees every item, in the order they were added, with its
    // free routine (ExFreePool when none); the bag is empty afterwards.
    void FreeAll();
    size_t Count();
    const char* Owner() const { return owner_; }

    // The mutex a driver must hold to change this bag (device or factory
    // bag: the device mutex; filter or pin bag: the filter control mutex):
    // its name for reports and whether the calling thread holds it. Set once
    // by the owning object before the driver sees the bag.
    void SetGuard(const char* mutexName, std::function<bool()> heldByCaller);
    // True if no guard was set or the calling thread holds the guard mutex.
    bool GuardHeld() const { return !guardHeld_ || guardHeld_(); }
    const char* GuardName() const { return guardName_; }

  private:
    struct Item {
        PVOID item;
        PFNKSFREE free;
    };
    const char* owner_;                // object kind, for reports; immutable
    const char* guardName_ = "";       // see SetGuard; set before use
    std::function<bool()> guardHeld_;  // see SetGuard; set before use
    std::mutex mutex_;                 // guards items_
    std::vector<Item> items_;          // in insertion order; mutex_
};

}  // namespace host::ks
