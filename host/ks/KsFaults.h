// Fault injection for the class library's own resources. The KS objects are
// not pool memory (the pool and its fault injection are the driver's), but
// the real library allocates its bag entries, filter factories and stream
// pointer clones and can fail to; tests use these knobs to walk the driver's
// paths for those failures. Each failure returns STATUS_INSUFFICIENT_RESOURCES.
//
// Thread-safe; counters run from the last Clear().
#pragma once

#include <host/ks.h>

#include <cstdint>

namespace host {

class KsFaults {
  public:
    // Forgets every fault and zeroes the counters.
    static void Clear();

    // KsAddItemToObjectBag: fail the n-th call (1-based, counted since
    // Clear), or every call that adds to `bag`. `bag` nullptr undoes it.
    static void FailBagInsertion(uint64_t nth);
    static void FailBagInsertionsInto(KSOBJECT_BAG bag);
    // KsCreateFilterFactory: fail every call while on.
    static void FailFilterFactoryCreation(bool on);
    // KsStreamPointerClone: fail the n-th call (1-based), or every call.
    static void FailClone(uint64_t nth);
    static void FailAllClones(bool on);

    // Calls seen since Clear (failed ones included).
    static uint64_t BagInsertions();
    static uint64_t Clones();

    // Used by the class library model: counts the call and tells whether it
    // is to fail.
    static bool ShouldFailBagInsertion(KSOBJECT_BAG bag);
    static bool ShouldFailFilterFactory();
    static bool ShouldFailClone();
};

}  // namespace host
