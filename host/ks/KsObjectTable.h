// The side table from the address of a platform object the driver holds
// (KSDEVICE, the functional DEVICE_OBJECT, KSFILTERFACTORY, KSFILTER, KSPIN)
// to the host object behind it. KsGetDevice and the pin calls find their
// objects here, so a stale or foreign pointer is caught instead of followed.
#pragma once

#include <host/ks.h>

#include <memory>

namespace host::ks {

class KsDeviceObject;
class KsFilterFactoryObject;
class KsFilterObject;
class KsPinObject;

enum class KsObjectKind { Device, FunctionalDeviceObject, FilterFactory, Filter, Pin };

struct KsObjectEntry {
    KsObjectKind kind = KsObjectKind::Device;
    KsDeviceObject* device = nullptr;          // the device the object belongs to
    KsFilterFactoryObject* factory = nullptr;  // set for factories
    KsFilterObject* filter = nullptr;          // set for filters and pins
    std::shared_ptr<KsPinObject> pin;          // set for pins (kept alive while listed)
};

class KsObjectTable {
  public:
    // Any IRQL; thread-safe. Entries are added when an object is created and
    // removed before it is freed.
    static void Add(const void* address, const KsObjectEntry& entry);
    static void Remove(const void* address);
    // False if `address` is no live object.
    static bool Find(const void* address, KsObjectEntry* entry);
};

}  // namespace host::ks
