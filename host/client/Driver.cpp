#include "host/loader/ImageBoundary.h"
#include "host/client/Driver.h"

#include "host/client/Device.h"
#include "host/ks/KsDeviceObject.h"
#include "host/ks/KsDriverRecord.h"
#include "host/loader/DriverImage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

Driver::Driver() {
    std::memset(&driverObject_, 0, sizeof driverObject_);
    driverObject_.Size = sizeof(DRIVER_OBJECT);
    std::memset(&registryPath_, 0, sizeof registryPath_);
}

Driver::~Driver() = default;

NTSTATUS Driver::Load(DriverEntryRoutine entry, std::unique_ptr<Driver>* driver,
                      const std::u16string& service) {
    driver->reset();
    if (entry == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_ptr<Driver> loaded(new Driver());
    loaded->record_ = std::make_unique<ks::KsDriverRecord>(&loaded->driverObject_);
    loaded->registryPathText_ =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    loaded->registryPath_.Buffer = loaded->registryPathText_.data();
    loaded->registryPath_.Length =
        static_cast<USHORT>(loaded->registryPathText_.size() * sizeof(char16_t));
    loaded->registryPath_.MaximumLength = loaded->registryPath_.Length;
    NTSTATUS status = CallDriver(entry, &loaded->driverObject_, &loaded->registryPath_);
    if (loader::DriverImage* image = loader::DriverImage::Find(reinterpret_cast<void*>(entry))) {
        image->FreeDiscardable();
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *driver = std::move(loaded);
    return STATUS_SUCCESS;
}

NTSTATUS Driver::LoadImage(const std::string& path, std::unique_ptr<Driver>* driver,
                           std::string* error, const std::u16string& service) {
    driver->reset();
    std::unique_ptr<loader::DriverImage> image = loader::DriverImage::LoadFile(path, error);
    if (image == nullptr) {
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    auto entry = reinterpret_cast<DriverEntryRoutine>(image->Entry());
    NTSTATUS status = Load(entry, driver, service);
    if (NT_SUCCESS(status)) {
        (*driver)->image_ = std::move(image);
    }
    return status;
}

NTSTATUS Driver::LoadChosen(DriverEntryRoutine builtIn, std::unique_ptr<Driver>* driver,
                            const std::u16string& service) {
    const char* path = std::getenv("VCAM_DRIVER");
    if (path == nullptr || *path == '\0') {
        return Load(builtIn, driver, service);
    }
    std::string error;
    NTSTATUS status = LoadImage(path, driver, &error, service);
    if (status == STATUS_INVALID_IMAGE_FORMAT && !error.empty()) {
        std::fprintf(stderr, "VCAM_DRIVER: %s\n", error.c_str());
    }
    return status;
}

NTSTATUS Driver::AddDevice(std::unique_ptr<Device>* device) {
    device->reset();
    std::unique_ptr<ks::KsDeviceObject> made;
    NTSTATUS status = ks::KsDeviceObject::Add(record_.get(), &made);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->reset(new Device(std::move(made)));
    return STATUS_SUCCESS;
}

}  // namespace host
