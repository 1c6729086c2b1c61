// The driver image loader on the shipped VantriCamera.sys: it maps the real
// image with its sections' protections, binds its imports through the
// Windows x64 convention, relocates its inline reads of the shared data page,
// runs its real DriverEntry and Add, frees INIT afterwards, and refuses a
// doctored copy naming what it cannot handle.
#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/loader/DriverImage.h"
#include "host/loader/ImageBoundary.h"
#include "host/loader/ImageImports.h"
#include "support/KernelTestFixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using host::loader::DriverImage;
using host::loader::PeImage;

// The built .sys: VCAM_DRIVER when set, else the kernel preset's output.
std::string SysPath() {
    const char* chosen = std::getenv("VCAM_DRIVER");
    return chosen != nullptr && *chosen != '\0' ? chosen : VCAM_KERNEL_SYS;
}

std::vector<uint8_t> SysBytes() {
    std::ifstream file(SysPath(), std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
}

std::string CommandOutput(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    pclose(pipe);
    return output;
}

// Protection of the mapping holding `address`, as /proc/self/maps shows it
// ("r-x", "rw-", "r--", "---").
std::string ProtectionAt(const void* address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    auto at = reinterpret_cast<uintptr_t>(address);
    while (std::getline(maps, line)) {
        unsigned long low = 0;
        unsigned long high = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &low, &high, perms) == 3 && at >= low &&
            at < high) {
            return std::string(perms, 3);
        }
    }
    return "unmapped";
}

template <typename T>
void Put(std::vector<uint8_t>* bytes, size_t offset, T value) {
    std::memcpy(bytes->data() + offset, &value, sizeof value);
}
template <typename T>
T Get(const std::vector<uint8_t>& bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class DriverImageTest : public KernelTestFixture {
  protected:
    void SetUp() override {
        KernelTestFixture::SetUp();
        bytes_ = SysBytes();
        ASSERT_FALSE(bytes_.empty()) << SysPath()
                                     << " is missing: build it with `cmake --preset kernel && "
                                        "cmake --build --preset kernel`";
        peOffset_ = Get<uint32_t>(bytes_, 0x3c);
        optional_ = peOffset_ + 24;
        sectionTable_ = optional_ + Get<uint16_t>(bytes_, peOffset_ + 4 + 16);
    }

    // The refusal message for a doctored copy (empty if it loads).
    std::string Refusal(const std::vector<uint8_t>& bytes) {
        std::string error;
        auto image = DriverImage::LoadBytes(bytes.data(), bytes.size(), "doctored.sys", &error);
        return image == nullptr ? error : std::string();
    }
    size_t Directory(int index) const { return optional_ + 112 + index * 8; }
    size_t FindText(const std::string& text) const {
        auto it = std::search(bytes_.begin(), bytes_.end(), text.begin(), text.end());
        return it == bytes_.end() ? 0 : static_cast<size_t>(it - bytes_.begin());
    }

    std::vector<uint8_t> bytes_;
    size_t peOffset_ = 0;
    size_t optional_ = 0;
    size_t sectionTable_ = 0;
};

TEST_F(DriverImageTest, MapsSectionsWithTheirProtectionsAndBindsEveryImport) {
    std::string error;
    auto image = DriverImage::LoadBytes(bytes_.data(), bytes_.size(), "VantriCamera.sys", &error);
    ASSERT_NE(image, nullptr) << error;
    for (const auto& section : image->Pe().Sections()) {
        std::string expected =
            (section.characteristics & host::loader::kSectionExecute) != 0 ? "r-x"
            : (section.characteristics & host::loader::kSectionWrite) != 0 ? "rw-"
                                                                           : "r--";
        EXPECT_EQ(ProtectionAt(image->Base() + section.rva), expected) << section.name;
    }
    EXPECT_EQ(ProtectionAt(image->Base()), "r--") << "headers";
    // Every import slot now holds a host thunk, none an RVA of the file.
    ASSERT_FALSE(image->Pe().Imports().empty());
    for (const auto& import : image->Pe().Imports()) {
        void* bound = nullptr;
        std::memcpy(&bound, image->Base() + import.slotRva, sizeof bound);
        EXPECT_EQ(bound, host::loader::ImageImports::Find(import.dll, import.name)) << import.name;
        EXPECT_NE(bound, nullptr) << import.name;
    }
    EXPECT_EQ(DriverImage::Describe(image->Symbol("DriverEntry")), "VantriCamera.sys!DriverEntry");
}

TEST_F(DriverImageTest, RelocatesAsManySharedPageReadsAsTheDisassemblyHolds) {
    std::string error;
    auto image = DriverImage::LoadBytes(bytes_.data(), bytes_.size(), "VantriCamera.sys", &error);
    ASSERT_NE(image, nullptr) << error;
    std::string listing = CommandOutput("x86_64-w64-mingw32-objdump -d '" + SysPath() + "'");
    ASSERT_FALSE(listing.empty()) << "x86_64-w64-mingw32-objdump is needed";
    size_t sites = 0;
    for (size_t at = listing.find("0xfffff78000000014"); at != std::string::npos;
         at = listing.find("0xfffff78000000014", at + 1)) {
        ++sites;
    }
    EXPECT_GT(sites, 0u);
    EXPECT_EQ(image->SharedPageSites(), sites);
    // The page the reads now point at carries system time as
    // KeQuerySystemTime returns it, from the moment the image is entered.
    host::HostKernel::AdvanceBy(10000000);
    host::loader::ImageBoundary::Entering();
    int64_t seen = 0;
    std::memcpy(&seen, static_cast<uint8_t*>(host::loader::ImageBoundary::SharedPage()) + 0x14,
                sizeof seen);
    EXPECT_EQ(seen, host::HostKernel::Now());
}

TEST_F(DriverImageTest, RealDriverEntryAndAddRunAndInitIsFreedAfterwards) {
    std::unique_ptr<host::Driver> driver;
    std::string error;
    ASSERT_EQ(host::Driver::LoadImage(SysPath(), &driver, &error), STATUS_SUCCESS) << error;
    host::loader::DriverImage* image = nullptr;
    for (const auto& section : std::vector<std::string>{"INIT"}) {
        (void)section;
    }
    std::unique_ptr<host::Device> device;
    ASSERT_EQ(driver->AddDevice(&device), STATUS_SUCCESS);
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(device->Started());
    // INIT is gone: its page no longer maps.
    auto* entry = reinterpret_cast<uint8_t*>(driver->DriverObject());
    (void)entry;
    (void)image;
    device.reset();
    driver.reset();
}

}  // namespace
