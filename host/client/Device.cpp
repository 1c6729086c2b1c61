#include "host/client/Device.h"

#include "host/client/FilterHandle.h"
#include "host/ks/KsDeviceObject.h"
#include "host/ks/KsFilterObject.h"

namespace host {

Device::Device(std::unique_ptr<ks::KsDeviceObject> device) : device_(std::move(device)) {}

Device::~Device() = default;

NTSTATUS Device::Start() {
    return device_->Start();
}

NTSTATUS Device::Stop() {
    return device_->Stop();
}

NTSTATUS Device::Sleep() {
    return device_->Sleep();
}

NTSTATUS Device::Wake() {
    return device_->Wake();
}

NTSTATUS Device::Remove() {
    return device_->Remove();
}

bool Device::Started() const {
    return device_->Started();
}

std::vector<DeviceInterface> Device::Interfaces() const {
    std::vector<DeviceInterface> interfaces;
    for (const ks::KsInterfaceInfo& info : device_->Interfaces()) {
        interfaces.push_back(DeviceInterface{info.category, info.referenceString});
    }
    return interfaces;
}

NTSTATUS Device::OpenFilter(const GUID& category, std::unique_ptr<FilterHandle>* filter) {
    return Open(category, nullptr, filter);
}

NTSTATUS Device::OpenFilter(const DeviceInterface& deviceInterface,
                            std::unique_ptr<FilterHandle>* filter) {
    return Open(deviceInterface.category, &deviceInterface.referenceString, filter);
}

NTSTATUS Device::Open(const GUID& category, const std::u16string* referenceString,
                      std::unique_ptr<FilterHandle>* filter) {
    filter->reset();
    std::shared_ptr<ks::KsFilterObject> opened;
    NTSTATUS status = device_->OpenFilter(category, referenceString, &opened);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    filter->reset(new FilterHandle(device_.get(), std::move(opened)));
    return STATUS_SUCCESS;
}

PKSDEVICE Device::KsDevice() const {
    return device_->KsDevice();
}

}  // namespace host
