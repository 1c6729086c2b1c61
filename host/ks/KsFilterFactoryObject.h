// A filter factory: the KSFILTERFACTORY built from a filter descriptor, with
// its bag and its device interfaces, one per category of the descriptor, all
// with the factory's reference string. Filters are opened through them.
#pragma once

#include <host/ks.h>

#include "host/ks/KsObjectBag.h"

#include <string>
#include <vector>

namespace host::ks {

class KsDeviceObject;

class KsFilterFactoryObject {
  public:
    KsFilterFactoryObject(KsDeviceObject* device, const KSFILTER_DESCRIPTOR* descriptor,
                          std::u16string referenceString, ULONG createItemFlags);
    // PASSIVE_LEVEL. Frees the factory's bag and forgets the factory.
    ~KsFilterFactoryObject();
    KsFilterFactoryObject(const KsFilterFactoryObject&) = delete;
    KsFilterFactoryObject& operator=(const KsFilterFactoryObject&) = delete;

    PKSFILTERFACTORY KsFactory() { return &ksFactory_; }
    const KSFILTER_DESCRIPTOR* Descriptor() const { return ksFactory_.FilterDescriptor; }
    KsDeviceObject* Device() const { return device_; }
    const std::u16string& ReferenceString() const { return referenceString_; }
    // Created with KSCREATE_ITEM_FREEONSTOP: goes away when the device stops.
    bool FreeOnStop() const { return (createItemFlags_ & KSCREATE_ITEM_FREEONSTOP) != 0; }
    // The categories of its device interfaces, in descriptor order.
    std::vector<GUID> Categories() const;
    bool HasCategory(const GUID& category) const;

  private:
    KsDeviceObject* device_;          // owner; outlives the factory
    KSFILTERFACTORY ksFactory_;       // the driver's view
    KsObjectBag bag_;                 // the factory's bag
    std::u16string referenceString_;  // of every interface of the factory
    ULONG createItemFlags_;           // as passed to KsCreateFilterFactory
};

}  // namespace host::ks
