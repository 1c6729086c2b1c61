#include "fuzz/FuzzCamera.h"

#include <host/executive/HostKernel.h>
#include <host/ksmedia.h>
#include <host/verifier/Verifier.h>

#include "driver/platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

FuzzCamera* camera = nullptr;

void Require(bool condition, const char* what) {
    if (!condition) {
        FuzzCamera::Fail(std::string("camera set-up: ") + what);
    }
}

}  // namespace

void FuzzCamera::WriteSeedsIfAsked(void (*writeSeeds)(const char* directory)) {
    if (const char* directory = SeedDirectory()) {
        writeSeeds(directory);
        Quiet();
        std::exit(0);
    }
}

FuzzCamera& FuzzCamera::Open(const char* target, bool streaming) {
    if (camera == nullptr) {
        camera = new FuzzCamera();
        camera->Start(target, streaming);
        std::atexit(&FuzzCamera::AtExit);
    }
    return *camera;
}

void FuzzCamera::Start(const char* target, bool streaming) {
    target_ = target;
    host::HostKernel::Boot(host::ClockMode::Virtual);
    host::Verifier::Reset();
    Require(host::Driver::LoadChosen(DriverEntry, &driver_) == STATUS_SUCCESS, "driver load");
    Require(driver_->AddDevice(&device_) == STATUS_SUCCESS, "add device");
    Require(device_->Start() == STATUS_SUCCESS, "device start");
    const GUID camera = VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA);
    Require(device_->OpenFilter(camera, &filter_) == STATUS_SUCCESS, "filter open");

    std::vector<std::vector<uint8_t>> ranges;
    Require(filter_->GetDataRanges(0, &ranges) == STATUS_SUCCESS && !ranges.empty(), "data ranges");
    range_ = ranges.front();
    Require(filter_->Intersect(0, range_.data(), static_cast<ULONG>(range_.size()), &format_) ==
                    STATUS_SUCCESS &&
                format_.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER),
            "intersection");

    if (streaming) {
        Require(filter_->CreatePin(0, format_.data(), static_cast<ULONG>(format_.size()), &pin_) ==
                    STATUS_SUCCESS,
                "pin creation");
        Require(pin_->SetState(KSSTATE_RUN) == STATUS_SUCCESS, "pin to RUN");
    }
    baselineBlocks_ = host::Verifier::OutstandingBlocks();
    EndInput();
    inputs_ = 0;
}

LONGLONG FuzzCamera::FramePeriod() const {
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data());
    return format->VideoInfoHeader.AvgTimePerFrame;
}

void FuzzCamera::EndInput() {
    if (host::Verifier::ViolationCount() != 0) {
        Fail("verifier violation");
    }
    ++inputs_;
}

void FuzzCamera::Fail(const std::string& why) {
    std::fprintf(stderr, "fuzz failure: %s\n%s", why.c_str(), host::Verifier::Describe().c_str());
    std::fflush(stderr);
    std::abort();
}

const char* FuzzCamera::SeedDirectory() {
    const char* directory = std::getenv("VCAM_FUZZ_SEEDS");
    return directory != nullptr && directory[0] != '\0' ? directory : nullptr;
}

void FuzzCamera::WriteSeed(const char* directory, const std::string& name,
                           const std::vector<uint8_t>& bytes) {
    const std::string path = std::string(directory) + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0) {
        Fail("cannot write seed " + path);
    }
}

// At exit the main thread's thread-local state (the host's IRQL and held
// locks among it) is already destroyed, so the camera is closed on a thread
// of its own, as a client thread of its own would close it.
void FuzzCamera::AtExit() {
    if (camera != nullptr) {
        std::thread closer([] { camera->Finish(); });
        closer.join();
    }
}

// At process exit: the camera goes away as a client would leave it, then the
// unload and leak checks. A failure here fails the process.
void FuzzCamera::Finish() {
    pin_.reset();
    filter_.reset();
    if (device_) {
        device_->Remove();
        device_.reset();
    }
    driver_.reset();
    host::Verifier::CheckUnload();
    const size_t violations = host::Verifier::ViolationCount();
    const size_t blocks = host::Verifier::OutstandingBlocks();
    const std::string report = host::Verifier::Describe();
    const std::string leaked =
        blocks != 0 ? host::Verifier::DescribeBlocks(host::Verifier::OutstandingList()) : "";
    host::HostKernel::Shutdown();
    if (!quiet_ || violations != 0 || blocks != 0) {
        std::printf("fuzz %s: %llu inputs run, %zu violations, %zu pool blocks left\n",
                    target_.c_str(), static_cast<unsigned long long>(inputs_), violations, blocks);
        std::fflush(stdout);
    }
    if (violations != 0 || blocks != 0) {
        std::fprintf(stderr, "%s%s", report.c_str(), leaked.c_str());
        std::fflush(stderr);
        std::_Exit(1);
    }
}
