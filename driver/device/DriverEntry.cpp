#include "driver/device/DeviceDispatch.h"

// PASSIVE_LEVEL, discardable after it returns; the I/O manager at load.
// Registers the device descriptor; the class library drives the rest.
extern "C" VCAM_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                          PUNICODE_STRING registryPath) {
    return KsInitializeDriver(driverObject, registryPath, &VcamDeviceDescriptor);
}
