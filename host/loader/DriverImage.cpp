#include "host/loader/DriverImage.h"

#include "host/loader/ImageBoundary.h"
#include "host/loader/ImageImports.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

namespace host::loader {

namespace {

constexpr uint32_t kPageSize = 0x1000;
// KUSER_SHARED_DATA as the kernel maps it for its own inline readers.
constexpr uint64_t kSharedPage = 0xFFFFF78000000000ull;
// The shared page's fields the host keeps current (KSYSTEM_TIME SystemTime,
// read by the inline KeQuerySystemTime).
constexpr uint32_t kSharedFields[] = {0x08, 0x14};  // InterruptTime, SystemTime

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
// Loaded images; RegistryMutex.
std::vector<DriverImage*>& Registry() {
    static std::vector<DriverImage*> images;
    return images;
}
// Recomputes the span ImageBoundary::InImage tests; RegistryMutex held.
void UpdateSpan() {
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (DriverImage* image : Registry()) {
        auto base = reinterpret_cast<uintptr_t>(image->Base());
        low = std::min(low, base);
        high = std::max(high, base + image->Pe().SizeOfImage());
    }
    ImageBoundary::SetSpan(low, high);
}

// Freed discardable sections, for the fault handler: it runs in signal
// context, so it reads only these lock-free slots, each published by its
// `high` once the rest is written.
struct FreedRange {
    std::atomic<uintptr_t> low{0};
    std::atomic<uintptr_t> high{0};
    char message[200] = {};
};
FreedRange freedRanges[16];
struct sigaction previousFaultAction;
std::atomic<bool> faultHandlerInstalled{false};

// A fault at a freed INIT page is a call into code the loader discarded:
// say so, then let the fault take its course (the previous handler, or the
// default action: the process dies of SIGSEGV).
void OnFault(int signal, siginfo_t* info, void* context) {
    (void)context;
    auto at = reinterpret_cast<uintptr_t>(info->si_addr);
    for (const FreedRange& range : freedRanges) {
        uintptr_t high = range.high.load(std::memory_order_acquire);
        if (high != 0 && at >= range.low.load() && at < high) {
            ssize_t ignored = write(STDERR_FILENO, range.message, std::strlen(range.message));
            (void)ignored;
            break;
        }
    }
    sigaction(signal, &previousFaultAction, nullptr);
}

void NoteFreed(uintptr_t low, uintptr_t high, const std::string& message) {
    for (FreedRange& range : freedRanges) {
        if (range.high.load() == 0) {
            std::snprintf(range.message, sizeof range.message, "%s\n", message.c_str());
            range.low.store(low);
            range.high.store(high, std::memory_order_release);
            break;
        }
    }
    if (!faultHandlerInstalled.exchange(true)) {
        struct sigaction action {};
        action.sa_sigaction = &OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousFaultAction);
    }
}

void ForgetFreed(uintptr_t low, uintptr_t high) {
    for (FreedRange& range : freedRanges) {
        if (range.low.load() == low && range.high.load() == high) {
            range.high.store(0);
        }
    }
}

bool Fail(std::string* error, const std::string& name, const std::string& text) {
    *error = name + ": " + text;
    return false;
}

uint32_t RoundUp(uint32_t value) {
    return (value + kPageSize - 1) & ~(kPageSize - 1);
}

}  // namespace

std::unique_ptr<DriverImage> DriverImage::LoadFile(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (!file) {
        *error = path + ": cannot be read";
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    return LoadBytes(bytes.data(), bytes.size(), name, error);
}

std::unique_ptr<DriverImage> DriverImage::LoadBytes(const uint8_t* data, size_t size,
                                                    const std::string& name, std::string* error) {
    std::unique_ptr<DriverImage> image(new DriverImage());
    image->name_ = name;
    std::string why;
    if (!PeImage::Parse(data, size, &image->pe_, &why)) {
        *error = name + ": " + why;
        return nullptr;
    }
    if (!image->Map(error) || !image->Bind(error) || !image->RelocateSharedPage(error) ||
        !image->Protect(error)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().push_back(image.get());
    UpdateSpan();
    return image;
}

DriverImage::~DriverImage() {
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        auto& images = Registry();
        images.erase(std::remove(images.begin(), images.end(), this), images.end());
        UpdateSpan();
    }
    if (base_ != nullptr) {
        for (const PeSection& section : pe_.Sections()) {
            if (discarded_ && (section.characteristics & kSectionDiscardable) != 0) {
                auto low = reinterpret_cast<uintptr_t>(base_ + section.rva);
                ForgetFreed(low, low + RoundUp(section.virtualSize));
            }
        }
        munmap(base_, pe_.SizeOfImage());
    }
}

bool DriverImage::Map(std::string* error) {
    void* at = mmap(nullptr, pe_.SizeOfImage(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                    -1, 0);
    if (at == MAP_FAILED) {
        return Fail(error, name_, "cannot map the image");
    }
    base_ = static_cast<uint8_t*>(at);
    std::memcpy(base_, pe_.Layout().data(), pe_.SizeOfImage());
    uint64_t delta = reinterpret_cast<uint64_t>(base_) - pe_.ImageBase();
    for (uint32_t rva : pe_.Relocations()) {
        uint64_t value;
        std::memcpy(&value, base_ + rva, sizeof value);
        value += delta;
        std::memcpy(base_ + rva, &value, sizeof value);
    }
    return true;
}

bool DriverImage::Bind(std::string* error) {
    for (const PeImport& import : pe_.Imports()) {
        if (!ImageImports::IsPlatformModule(import.dll)) {
            return Fail(error, name_,
                        "imports " + import.name + " from " + import.dll +
                            " (only ks.sys and ntoskrnl.exe are bound)");
        }
        void* routine = ImageImports::Find(import.dll, import.name);
        if (routine == nullptr) {
            return Fail(
                error, name_,
                "imports " + import.dll + "!" + import.name + ", which the host does not provide");
        }
        std::memcpy(base_ + import.slotRva, &routine, sizeof routine);
    }
    return true;
}

// The inline platform code reads the kernel's shared data page at its fixed
// address, loaded with a 64-bit immediate (mov rax, [moffs64] or mov r64,
// imm64). Every occurrence of the page's address in code is such a load, or
// the image is refused: a site left unrelocated would fault at run time.
bool DriverImage::RelocateSharedPage(std::string* error) {
    const uint8_t pageHigh[4] = {0x80, 0xf7, 0xff, 0xff};  // upper half of kSharedPage
    auto page = reinterpret_cast<uint64_t>(ImageBoundary::SharedPage());
    size_t found = 0;
    size_t relocated = 0;
    for (const PeSection& section : pe_.Sections()) {
        if ((section.characteristics & kSectionExecute) == 0) {
            continue;
        }
        uint8_t* begin = base_ + section.rva;
        for (uint32_t k = 0; k + 4 <= section.virtualSize; ++k) {
            if (std::memcmp(begin + k, pageHigh, 4) != 0) {
                continue;
            }
            ++found;
            if (k < 6) {
                continue;
            }
            uint8_t rex = begin[k - 6];
            uint8_t opcode = begin[k - 5];
            bool load = (rex == 0x48 && opcode == 0xa1) ||
                        ((rex == 0x48 || rex == 0x49) && opcode >= 0xb8 && opcode <= 0xbf);
            if (!load) {
                continue;
            }
            uint64_t value;
            std::memcpy(&value, begin + k - 4, sizeof value);
            uint64_t offset = value - kSharedPage;
            bool kept = std::find(std::begin(kSharedFields), std::end(kSharedFields), offset) !=
                        std::end(kSharedFields);
            if (!kept) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "reads the shared data page at offset 0x%llx (%s), which the "
                              "host does not keep",
                              static_cast<unsigned long long>(offset),
                              pe_.NameOf(section.rva + k - 6).c_str());
                return Fail(error, name_, text);
            }
            value = page + offset;
            std::memcpy(begin + k - 4, &value, sizeof value);
            ++relocated;
        }
    }
    if (found != relocated) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "%zu references to the kernel's shared data page, %zu of them loads the "
                      "loader can relocate",
                      found, relocated);
        return Fail(error, name_, text);
    }
    sharedPageSites_ = relocated;
    return true;
}

bool DriverImage::Protect(std::string* error) {
    // Headers read-only; gaps between sections inaccessible.
    if (mprotect(base_, kPageSize, PROT_READ) != 0) {
        return Fail(error, name_, "cannot protect the headers");
    }
    uint32_t covered = kPageSize;
    for (const PeSection& section : pe_.Sections()) {
        if (section.rva > covered) {
            mprotect(base_ + covered, section.rva - covered, PROT_NONE);
        }
        int protection = PROT_READ;
        if ((section.characteristics & kSectionExecute) != 0) {
            protection |= PROT_EXEC;
        } else if ((section.characteristics & kSectionWrite) != 0) {
            protection |= PROT_WRITE;
        }
        uint32_t length = RoundUp(section.virtualSize);
        if (mprotect(base_ + section.rva, length, protection) != 0) {
            return Fail(error, name_, "cannot protect section " + section.name);
        }
        covered = section.rva + length;
    }
    if (covered < pe_.SizeOfImage()) {
        mprotect(base_ + covered, pe_.SizeOfImage() - covered, PROT_NONE);
    }
    return true;
}

void DriverImage::FreeDiscardable() {
    if (discarded_) {
        return;
    }
    discarded_ = true;
    for (const PeSection& section : pe_.Sections()) {
        if ((section.characteristics & kSectionDiscardable) != 0) {
            mprotect(base_ + section.rva, RoundUp(section.virtualSize), PROT_NONE);
            auto low = reinterpret_cast<uintptr_t>(base_ + section.rva);
            NoteFreed(low, low + RoundUp(section.virtualSize),
                      name_ + ": call into " + pe_.NameOf(section.rva) + " in section " +
                          section.name + ", which was freed when DriverEntry returned");
        }
    }
}

bool DriverImage::Contains(const void* address) const {
    auto at = static_cast<const uint8_t*>(address);
    return at >= base_ && at < base_ + pe_.SizeOfImage();
}

std::string DriverImage::SectionOf(const void* address) const {
    if (!Contains(address)) {
        return "";
    }
    const PeSection* section =
        pe_.SectionAt(static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_));
    return section != nullptr ? section->name : "";
}

bool DriverImage::InFreedSection(const void* address) const {
    if (!discarded_ || !Contains(address)) {
        return false;
    }
    const PeSection* section =
        pe_.SectionAt(static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_));
    return section != nullptr && (section->characteristics & kSectionDiscardable) != 0;
}

void* DriverImage::Symbol(const std::string& name) const {
    for (const PeSymbol& symbol : pe_.Symbols()) {
        if (symbol.name == name) {
            return base_ + symbol.rva;
        }
    }
    return nullptr;
}

DriverImage* DriverImage::Find(const void* address) {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (DriverImage* image : Registry()) {
        if (image->Contains(address)) {
            return image;
        }
    }
    return nullptr;
}

std::string DriverImage::Describe(const void* address) {
    DriverImage* image = Find(address);
    if (image == nullptr) {
        return "";
    }
    auto rva = static_cast<uint32_t>(static_cast<const uint8_t*>(address) - image->base_);
    return image->name_ + "!" + image->pe_.NameOf(rva);
}

}  // namespace host::loader
