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

#include <algorithm>
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
    // Interrupt time (offset 0x08, KeQueryInterruptTime) and system time
    // (0x14, KeQuerySystemTime) are the fields the host keeps.
    size_t sites = 0;
    for (const char* address : {"0xfffff78000000008", "0xfffff78000000014"}) {
        for (size_t at = listing.find(address); at != std::string::npos;
             at = listing.find(address, at + 1)) {
            ++sites;
        }
    }
    EXPECT_GT(sites, 0u);
    EXPECT_EQ(image->SharedPageSites(), sites);
    // The page the reads now point at carries interrupt and system time as
    // KeQueryInterruptTime and KeQuerySystemTime return them (as of the last
    // clock interrupt), from the moment the image is entered.
    host::HostKernel::AdvanceBy(10000000 + 1234);
    host::loader::ImageBoundary::Entering();
    const auto* page = static_cast<uint8_t*>(host::loader::ImageBoundary::SharedPage());
    int64_t interrupt = 0;
    int64_t system = 0;
    std::memcpy(&interrupt, page + 0x08, sizeof interrupt);
    std::memcpy(&system, page + 0x14, sizeof system);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(interrupt, static_cast<int64_t>(KeQueryInterruptTime()));
    EXPECT_EQ(system, now.QuadPart);
    EXPECT_LT(system, host::HostKernel::Now()) << "the value of the last clock interrupt";
}

TEST_F(DriverImageTest, RealDriverEntryAndAddRunAndInitIsFreedAfterwards) {
    std::string error;
    auto image = DriverImage::LoadBytes(bytes_.data(), bytes_.size(), "VantriCamera.sys", &error);
    ASSERT_NE(image, nullptr) << error;
    const host::loader::PeSection* init = nullptr;
    for (const auto& section : image->Pe().Sections()) {
        if (section.name == "INIT") {
            init = &section;
        }
    }
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(ProtectionAt(image->Base() + init->rva), "r-x");
    std::unique_ptr<host::Driver> driver;
    ASSERT_EQ(
        host::Driver::Load(reinterpret_cast<host::DriverEntryRoutine>(image->Entry()), &driver),
        STATUS_SUCCESS);
    EXPECT_EQ(ProtectionAt(image->Base() + init->rva), "---") << "INIT freed after DriverEntry";
    EXPECT_TRUE(image->InFreedSection(image->Entry()));
    std::unique_ptr<host::Device> device;
    ASSERT_EQ(driver->AddDevice(&device), STATUS_SUCCESS);
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_TRUE(device->Started());
    device.reset();
    driver.reset();
}

// The loader's view of the image agrees with x86_64-w64-mingw32-objdump -p:
// entry point, image base and size, checksum, every section's place and size,
// and every import by module and name.
TEST_F(DriverImageTest, ParsedViewAgreesWithObjdump) {
    PeImage pe;
    std::string error;
    ASSERT_TRUE(PeImage::Parse(bytes_.data(), bytes_.size(), &pe, &error)) << error;
    std::string headers = CommandOutput("x86_64-w64-mingw32-objdump -p -h '" + SysPath() + "'");
    ASSERT_NE(headers.find("pei-x86-64"), std::string::npos) << headers;
    auto field = [&](const std::string& name) {
        size_t at = headers.find("\n" + name);
        EXPECT_NE(at, std::string::npos) << name;
        return at == std::string::npos
                   ? 0ull
                   : std::stoull(headers.substr(at + 1 + name.size()), nullptr, 16);
    };
    EXPECT_EQ(field("AddressOfEntryPoint"), pe.EntryRva());
    EXPECT_EQ(field("ImageBase"), pe.ImageBase());
    EXPECT_EQ(field("SizeOfImage"), pe.SizeOfImage());
    EXPECT_EQ(field("CheckSum"), pe.CheckSum());
    // Sections: "  0 .text  00000f50  000000035d971000 ..." (size, VMA).
    std::istringstream lines(headers);
    std::string line;
    size_t sections = 0;
    while (std::getline(lines, line) && line.rfind("Idx Name", 0) != 0) {
    }
    while (std::getline(lines, line)) {
        unsigned index = 0;
        char name[64] = {};
        unsigned long long size = 0;
        unsigned long long vma = 0;
        if (std::sscanf(line.c_str(), " %u %63s %llx %llx", &index, name, &size, &vma) == 4 &&
            index < pe.Sections().size()) {
            const auto& section = pe.Sections()[index];
            EXPECT_EQ(section.name, name);
            EXPECT_EQ(section.virtualSize, size) << name;
            EXPECT_EQ(section.rva, vma - pe.ImageBase()) << name;
            ++sections;
        }
    }
    EXPECT_EQ(sections, pe.Sections().size());
    // Imports: "\tDLL Name: ks.sys" then "\ta340\t   18  KsAcquireDevice".
    std::vector<std::string> listed;
    std::istringstream importLines(headers);
    std::string dll;
    while (std::getline(importLines, line)) {
        if (line.rfind("\tDLL Name: ", 0) == 0) {
            dll = line.substr(11);
            continue;
        }
        unsigned slot = 0;
        unsigned hint = 0;
        char name[128] = {};
        if (!dll.empty() && std::sscanf(line.c_str(), "\t%x %u %127s", &slot, &hint, name) == 3) {
            listed.push_back(dll + "!" + name);
        } else if (line.empty() || line.rfind(" 0000", 0) == 0) {
            dll.clear();
        }
    }
    std::vector<std::string> parsed;
    for (const auto& import : pe.Imports()) {
        parsed.push_back(import.dll + "!" + import.name);
    }
    EXPECT_EQ(parsed, listed);
}

// A call into INIT after DriverEntry returned fails at once, naming it.
TEST_F(DriverImageTest, CallIntoFreedInitFailsNamingIt) {
    std::string error;
    auto image = DriverImage::LoadBytes(bytes_.data(), bytes_.size(), "VantriCamera.sys", &error);
    ASSERT_NE(image, nullptr) << error;
    image->FreeDiscardable();
    typedef NTSTATUS(__attribute__((ms_abi)) * Entry)(PDRIVER_OBJECT, PUNICODE_STRING);
    auto entry = reinterpret_cast<Entry>(image->Entry());
    EXPECT_DEATH(entry(nullptr, nullptr),
                 "VantriCamera.sys: call into DriverEntry in section INIT, which was freed when "
                 "DriverEntry returned");
}

// The platform called from the image's PAGE section above APC_LEVEL is
// reported (the release build compiled its PAGED_CODE() away), naming the
// driver routine; at PASSIVE_LEVEL it is fine. A return address after a
// direct call is a tail jump of the routine called there, not PAGE's call.
TEST_F(DriverImageTest, PlatformCallFromPageableCodeAtDispatchIsReported) {
    std::string error;
    auto image = DriverImage::LoadBytes(bytes_.data(), bytes_.size(), "VantriCamera.sys", &error);
    ASSERT_NE(image, nullptr) << error;
    const host::loader::PeSection* page = nullptr;
    for (const auto& section : image->Pe().Sections()) {
        page = section.name == "PAGE" ? &section : page;
    }
    ASSERT_NE(page, nullptr);
    // Return addresses of an import call (ff 15: call [rip+disp32]) and of
    // a direct call (e8 rel32) in PAGE.
    const uint8_t* importReturn = nullptr;
    const uint8_t* directReturn = nullptr;
    const uint8_t* code = image->Base() + page->rva;
    for (uint32_t k = 0; k + 6 <= page->virtualSize; ++k) {
        if (importReturn == nullptr && code[k] == 0xff && code[k + 1] == 0x15) {
            importReturn = code + k + 6;
        }
        if (directReturn == nullptr && code[k] == 0xe8 && k > 0 && code[k - 1] != 0xff) {
            directReturn = code + k + 5;
        }
    }
    ASSERT_NE(importReturn, nullptr);
    ASSERT_NE(directReturn, nullptr);
    { host::loader::ImageBoundary::ImportScope passive(importReturn); }
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        host::loader::ImageBoundary::ImportScope tailJumped(directReturn);
    }
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        host::loader::ImageBoundary::ImportScope raised(importReturn);
    }
    EXPECT_NE(FirstDetail().find("pageable code (section PAGE) at IRQL 2"), std::string::npos)
        << FirstDetail();
    std::string routine =
        image->Pe().NameOf(static_cast<uint32_t>(importReturn - 1 - image->Base()));
    EXPECT_NE(host::Verifier::Describe().find("VantriCamera.sys!" + routine), std::string::npos)
        << host::Verifier::Describe();
    ExpectViolations({host::Rule::PagedCodeAtRaisedIrql});
}

// Each doctored copy is refused with a message naming what was refused.
TEST_F(DriverImageTest, RefusesWhatItDoesNotHandleNamingIt) {
    ASSERT_EQ(Refusal(bytes_), "");
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* named;
    };
    std::vector<Case> cases;
    auto copy = [&](const char* what, const char* named, auto doctor) {
        std::vector<uint8_t> bytes = bytes_;
        doctor(&bytes);
        cases.push_back(Case{what, bytes, named});
    };
    copy("another machine", "machine 0x14c",
         [&](auto* b) { Put<uint16_t>(b, peOffset_ + 4, 0x14c); });
    copy("a TLS directory", "TLS directory", [&](auto* b) {
        Put<uint32_t>(b, Directory(9), 0x2000);
        Put<uint32_t>(b, Directory(9) + 4, 0x28);
    });
    copy("no relocation directory", "no base relocation directory", [&](auto* b) {
        Put<uint32_t>(b, Directory(5), 0);
        Put<uint32_t>(b, Directory(5) + 4, 0);
    });
    copy("overlapping sections", "overlaps", [&](auto* b) {
        Put<uint32_t>(b, sectionTable_ + 40 + 12, Get<uint32_t>(*b, sectionTable_ + 12));
    });
    copy("a writable code section", "both writable and executable", [&](auto* b) {
        Put<uint32_t>(b, sectionTable_ + 36, Get<uint32_t>(*b, sectionTable_ + 36) | 0x80000000u);
    });
    copy("an import the host lacks", "KeSetEvenZ, which the host does not provide",
         [&](auto* b) { (*b)[FindText("KeSetEvent") + 9] = 'Z'; });
    copy("an import from another module", "from kx.sys",
         [&](auto* b) { (*b)[FindText("ks.sys") + 1] = 'x'; });
    copy("a relocation other than DIR64", "relocation type 3", [&](auto* b) {
        size_t block = Get<uint32_t>(*b, Directory(5));  // .reloc: file offset = rva here
        // Find the file offset of the relocation directory through the
        // section that holds it.
        uint16_t count = Get<uint16_t>(*b, peOffset_ + 6);
        for (uint16_t i = 0; i < count; ++i) {
            size_t header = sectionTable_ + i * 40;
            uint32_t rva = Get<uint32_t>(*b, header + 12);
            uint32_t size = Get<uint32_t>(*b, header + 8);
            if (block >= rva && block < rva + size) {
                size_t at = Get<uint32_t>(*b, header + 20) + (block - rva) + 8;
                Put<uint16_t>(b, at,
                              static_cast<uint16_t>(0x3000 | (Get<uint16_t>(*b, at) & 0xfff)));
            }
        }
    });
    copy("a shared page field the host does not keep", "offset 0x30", [&](auto* b) {
        const uint8_t site[] = {0x08, 0, 0, 0, 0x80, 0xf7, 0xff, 0xff};
        auto it = std::search(b->begin(), b->end(), std::begin(site), std::end(site));
        ASSERT_NE(it, b->end());
        *it = 0x30;
    });
    copy("a truncated file", "past the end of the file",
         [&](auto* b) { b->resize(b->size() / 2); });
    copy("an ELF file", "no MZ header", [&](auto* b) {
        (*b)[0] = 0x7f;
        (*b)[1] = 'E';
    });
    for (const Case& c : cases) {
        std::string refusal = Refusal(c.bytes);
        EXPECT_NE(refusal.find(c.named), std::string::npos)
            << c.what << ": refusal \"" << refusal << "\" does not name \"" << c.named << "\"";
        EXPECT_EQ(refusal.rfind("doctored.sys: ", 0), 0u) << refusal;
    }
}

// Every cut of the file loads or is refused; none crashes the loader.
TEST_F(DriverImageTest, EveryTruncationIsRefusedCleanly) {
    for (size_t size = 0; size < bytes_.size(); size += 97) {
        std::vector<uint8_t> cut(bytes_.begin(), bytes_.begin() + size);
        EXPECT_NE(Refusal(cut), "") << size;
    }
}

}  // namespace

// Calls an ms_abi routine of four arguments with garbage above each argument's
// width, as Windows x64 code may leave it: rcx 0xdeadbeefcafe0012, rdx
// 0x1234567800003456, r8 0xffffffffffffff01, r9 0xa5a5a5a587654321.
extern "C" void CallWithDirtyUpperBits(void* routine);
asm(R"(
    .text
    .globl CallWithDirtyUpperBits
CallWithDirtyUpperBits:
    push %rbx
    mov %rdi, %rax
    sub $32, %rsp
    movabs $0xdeadbeefcafe0012, %rcx
    movabs $0x1234567800003456, %rdx
    movabs $0xffffffffffffff01, %r8
    movabs $0xa5a5a5a587654321, %r9
    call *%rax
    add $32, %rsp
    pop %rbx
    ret
)");

namespace {

struct Narrow {
    unsigned irql, width, flag, value;
};
Narrow narrowSeen;
void NarrowProbe(KIRQL irql, USHORT width, BOOLEAN flag, ULONG value) {
    narrowSeen = Narrow{irql, width, flag, value};
}

// A BOOLEAN, KIRQL or USHORT from the image arrives as its low bits only.
TEST(ImportThunkTest, NarrowArgumentsArriveWithoutTheCallersUpperBits) {
    CallWithDirtyUpperBits(reinterpret_cast<void*>(&host::loader::ImportThunk<&NarrowProbe>::Call));
    EXPECT_EQ(narrowSeen.irql, 0x12u);
    EXPECT_EQ(narrowSeen.width, 0x3456u);
    EXPECT_EQ(narrowSeen.flag, 0x01u);
    EXPECT_EQ(narrowSeen.value, 0x87654321u);
}

}  // namespace
