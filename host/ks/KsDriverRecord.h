// The class library's record of one loaded driver: the device descriptor that
// KsInitializeDriver registered. DRIVER_OBJECT.HostDriver points at it.
#pragma once

#include <host/ks.h>

namespace host::ks {

class KsDriverRecord {
  public:
    explicit KsDriverRecord(PDRIVER_OBJECT driverObject);
    ~KsDriverRecord();
    KsDriverRecord(const KsDriverRecord&) = delete;
    KsDriverRecord& operator=(const KsDriverRecord&) = delete;

    // Any IRQL. The record of `driverObject`, or nullptr if it has none.
    static KsDriverRecord* FromDriverObject(PDRIVER_OBJECT driverObject);

    // PASSIVE_LEVEL, from KsInitializeDriver (during DriverEntry).
    void Initialize(const KSDEVICE_DESCRIPTOR* descriptor);
    bool Initialized() const { return initialized_; }
    const KSDEVICE_DESCRIPTOR* Descriptor() const { return descriptor_; }

  private:
    static constexpr ULONG kMagic = 0x5652444B;  // "KDRV"
    ULONG magic_;                                // kMagic while alive
    PDRIVER_OBJECT driverObject_;                // the driver object it belongs to
    bool initialized_;                           // KsInitializeDriver was called
    const KSDEVICE_DESCRIPTOR* descriptor_;      // the driver's descriptor (driver's static data)
};

}  // namespace host::ks
