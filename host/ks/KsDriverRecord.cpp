#include "host/ks/KsDriverRecord.h"

namespace host::ks {

KsDriverRecord::KsDriverRecord(PDRIVER_OBJECT driverObject)
    : magic_(kMagic), driverObject_(driverObject), initialized_(false), descriptor_(nullptr) {
    driverObject_->HostDriver = this;
}

KsDriverRecord::~KsDriverRecord() {
    magic_ = 0;
    if (driverObject_->HostDriver == this) {
        driverObject_->HostDriver = nullptr;
    }
}

KsDriverRecord* KsDriverRecord::FromDriverObject(PDRIVER_OBJECT driverObject) {
    if (driverObject == nullptr || driverObject->HostDriver == nullptr) {
        return nullptr;
    }
    auto* record = static_cast<KsDriverRecord*>(driverObject->HostDriver);
    return record->magic_ == kMagic && record->driverObject_ == driverObject ? record : nullptr;
}

void KsDriverRecord::Initialize(const KSDEVICE_DESCRIPTOR* descriptor) {
    descriptor_ = descriptor;
    initialized_ = true;
}

}  // namespace host::ks
