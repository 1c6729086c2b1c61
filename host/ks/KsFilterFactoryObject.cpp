#include "host/ks/KsFilterFactoryObject.h"

#include "host/ks/KsDeviceObject.h"
#include "host/ks/KsObjectTable.h"

#include <utility>

namespace host::ks {

KsFilterFactoryObject::KsFilterFactoryObject(KsDeviceObject* device,
                                             const KSFILTER_DESCRIPTOR* descriptor,
                                             std::u16string referenceString, ULONG createItemFlags)
    : device_(device),
      bag_("filter factory"),
      referenceString_(std::move(referenceString)),
      createItemFlags_(createItemFlags) {
    ksFactory_.FilterDescriptor = descriptor;
    ksFactory_.Bag = bag_.Handle();
    bag_.SetGuard("the device mutex", [device] { return device->Mutex().HeldByCurrentThread(); });
    // A new factory starts with its device's Context (ks/ns-ks-_ksfilterfactory).
    ksFactory_.Context = device->KsDevice()->Context;
    KsObjectEntry entry;
    entry.kind = KsObjectKind::FilterFactory;
    entry.device = device;
    entry.factory = this;
    KsObjectTable::Add(&ksFactory_, entry);
}

KsFilterFactoryObject::~KsFilterFactoryObject() {
    KsObjectTable::Remove(&ksFactory_);
    bag_.FreeAll();
}

std::vector<GUID> KsFilterFactoryObject::Categories() const {
    std::vector<GUID> categories;
    const KSFILTER_DESCRIPTOR* descriptor = Descriptor();
    if (descriptor != nullptr && descriptor->Categories != nullptr) {
        for (ULONG i = 0; i < descriptor->CategoriesCount; ++i) {
            categories.push_back(descriptor->Categories[i]);
        }
    }
    return categories;
}

bool KsFilterFactoryObject::HasCategory(const GUID& category) const {
    for (const GUID& own : Categories()) {
        if (own == category) {
            return true;
        }
    }
    return false;
}

}  // namespace host::ks
