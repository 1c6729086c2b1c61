// The capture pin as a client sees it: the driver loaded into the host
// kernel, its device added and started, a filter opened through the camera
// category, a pin created with a format the driver itself proposed (the
// intersection of its own data range), driven through its states, fed capture
// buffers and read back. Tests reach behind the handles (KSPIN.Context, the
// device's engine) only to look at what a client cannot see.
#pragma once

#include <host/client/Device.h>
#include <host/client/Driver.h>
#include <host/client/FilterHandle.h>
#include <host/client/PinHandle.h>
#include <host/executive/HostKernel.h>
#include <host/ks/KsFaults.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "driver/device/VcamDevice.h"
#include "driver/engine/FrameEngine.h"
#include "driver/pin/Descriptors.h"
#include "driver/pin/VcamPin.h"
#include "support/KernelTestFixture.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace pintest {

constexpr ULONG kImageSize = 1843200;  // YUY2 1280 x 720
constexpr LONGLONG kPeriod = 333667;   // the data range's default frame time
constexpr uint32_t kPinTag = host::PoolTag("CPin");
constexpr uint32_t kBufferTag = host::PoolTag("AVSh");
constexpr uint32_t kEntryTag = host::PoolTag("SGEn");

// A client's capture buffer of `size` bytes, filled with `fill`.
struct CaptureBuffer {
    explicit CaptureBuffer(ULONG size, uint8_t fill = 0x5A) : bytes(size, fill) {}
    void* data() { return bytes.data(); }
    ULONG size() const { return static_cast<ULONG>(bytes.size()); }
    std::vector<uint8_t> bytes;
};

class PinHarness : public KernelTestFixture {
  protected:
    explicit PinHarness(host::ClockMode mode = host::ClockMode::Virtual)
        : KernelTestFixture(mode) {}

    void SetUp() override {
        KernelTestFixture::SetUp();
        host::KsFaults::Clear();
        ASSERT_EQ(host::Driver::Load(DriverEntry, &driver_), STATUS_SUCCESS);
        ASSERT_EQ(driver_->AddDevice(&device_), STATUS_SUCCESS);
        ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
        filter_ = OpenFilter();
        ASSERT_NE(filter_, nullptr);
        format_ = ProposedFormat(*filter_, CaptureRange());
        ASSERT_EQ(format_.size(), sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    }

    void TearDown() override {
        host::Verifier::ClearFaults();
        host::KsFaults::Clear();
        for (auto& pin : pins_) {
            if (pin != nullptr) {
                pin->Close();
            }
        }
        pins_.clear();
        for (auto& filter : extraFilters_) {
            filter->Close();
        }
        extraFilters_.clear();
        if (filter_ != nullptr) {
            filter_->Close();
            filter_.reset();
        }
        if (device_ != nullptr) {
            EXPECT_EQ(device_->Remove(), STATUS_SUCCESS);
            device_.reset();
        }
        driver_.reset();
        KernelTestFixture::TearDown();
    }

    // ---- opening things ------------------------------------------------------

    std::unique_ptr<host::FilterHandle> OpenFilter() {
        std::unique_ptr<host::FilterHandle> filter;
        EXPECT_EQ(device_->OpenFilter(VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA), &filter),
                  STATUS_SUCCESS);
        return filter;
    }

    // A second filter instance on the same device, closed at tear-down.
    host::FilterHandle* OpenSecondFilter() {
        extraFilters_.push_back(OpenFilter());
        return extraFilters_.back().get();
    }

    // The pin's own data range, as a client reads it from the pin factory.
    static std::vector<uint8_t> CaptureRange() {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&CaptureDataRange);
        return std::vector<uint8_t>(bytes, bytes + sizeof(CaptureDataRange));
    }

    // What the driver answers for `range` through the client's intersection
    // request (size query, then the format).
    static std::vector<uint8_t> ProposedFormat(host::FilterHandle& filter,
                                               const std::vector<uint8_t>& range) {
        std::vector<uint8_t> format;
        EXPECT_EQ(filter.Intersect(0, range.data(), static_cast<ULONG>(range.size()), &format),
                  STATUS_SUCCESS);
        return format;
    }

    // Creates a capture pin on `filter` (the first filter by default).
    NTSTATUS CreatePin(host::PinHandle** pin, const std::vector<uint8_t>* format = nullptr,
                       host::FilterHandle* filter = nullptr,
                       const host::PinOptions& options = host::PinOptions()) {
        const std::vector<uint8_t>& bytes = format != nullptr ? *format : format_;
        std::unique_ptr<host::PinHandle> made;
        NTSTATUS status =
            (filter != nullptr ? filter : filter_.get())
                ->CreatePin(0, bytes.data(), static_cast<ULONG>(bytes.size()), &made, options);
        *pin = made.get();
        if (made != nullptr) {
            pins_.push_back(std::move(made));
        }
        return status;
    }

    host::PinHandle* NewPin(const host::PinOptions& options = host::PinOptions()) {
        host::PinHandle* pin = nullptr;
        EXPECT_EQ(CreatePin(&pin, nullptr, nullptr, options), STATUS_SUCCESS);
        return pin;
    }

    // A capture buffer that lives until the pin and the engine are gone (a
    // pause or stop waits for a tick that may still fill a queued buffer).
    CaptureBuffer& Buffer(ULONG size = kImageSize, uint8_t fill = 0x5A) {
        buffers_.emplace_back(size, fill);
        return buffers_.back();
    }

    // ---- looking behind the handles -------------------------------------------

    static VcamPin* Vcam(host::PinHandle* pin) {
        return static_cast<VcamPin*>(pin->KsPin()->Context);
    }
    VcamDevice* Relay() const { return static_cast<VcamDevice*>(device_->KsDevice()->Context); }
    FrameEngine* Engine() const { return Relay()->engine; }

    // ---- time -----------------------------------------------------------------

    // Runs the virtual clock up to the clock interrupt at which the engine's
    // next tick expires (and the processing that tick asks for); nothing if
    // no timer is armed.
    static void Tick() {
        const int64_t next = host::HostKernel::NextExpiry();
        if (next >= 0) {
            host::HostKernel::AdvanceTo(next);
        }
    }
    static void Ticks(int count) {
        for (int i = 0; i < count; ++i) {
            Tick();
        }
    }

    // All completed frames, oldest first.
    static std::vector<host::CompletedFrame> TakeAll(host::PinHandle* pin) {
        std::vector<host::CompletedFrame> frames;
        host::CompletedFrame frame;
        while (pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
            frames.push_back(frame);
        }
        return frames;
    }

    // The clone list of a pin, oldest first (as the class library keeps it).
    static std::vector<PKSSTREAM_POINTER> Clones(host::PinHandle* pin) {
        std::vector<PKSSTREAM_POINTER> clones;
        for (PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(pin->KsPin());
             clone != nullptr; clone = KsStreamPointerGetNextClone(clone)) {
            clones.push_back(clone);
        }
        return clones;
    }

    // The reference count of a clock, read by one AddRef/Release pair.
    static ULONG References(PIKSREFERENCECLOCK clock) {
        clock->AddRef();
        return clock->Release();
    }

    std::unique_ptr<host::Driver> driver_;
    std::unique_ptr<host::Device> device_;
    std::unique_ptr<host::FilterHandle> filter_;
    std::vector<std::unique_ptr<host::FilterHandle>> extraFilters_;
    std::vector<std::unique_ptr<host::PinHandle>> pins_;
    std::vector<uint8_t> format_;        // the default format, as the driver proposed it
    std::deque<CaptureBuffer> buffers_;  // destroyed after TearDown closed everything
};

}  // namespace pintest
