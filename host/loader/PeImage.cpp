#include "host/loader/PeImage.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace host::loader {

namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20b;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kPageSize = 0x1000;
// No driver comes near this; it bounds what a corrupt header can make us map.
constexpr uint32_t kMaxImageSize = 64u << 20;
constexpr uint32_t kMaxSections = 96;

enum Directory : uint32_t {
    kImportDirectory = 1,
    kBaseRelocationDirectory = 5,
    kTlsDirectory = 9,
    kLoadConfigDirectory = 10,
    kBoundImportDirectory = 11,
    kDelayImportDirectory = 13,
    kClrDirectory = 14,
    kDirectoryCount = 16,
};

constexpr uint16_t kRelocationAbsolute = 0;  // padding at the end of a block
constexpr uint16_t kRelocationDir64 = 10;
constexpr uint64_t kImportByOrdinal = 1ull << 63;
constexpr uint16_t kSymbolTypeFunction = 0x20;
constexpr size_t kSymbolSize = 18;

template <typename T>
T Read(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool Fail(std::string* error, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool Fail(std::string* error, const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    *error = text;
    return false;
}

// `offset` + `length` lies within `size`, without overflow.
bool Within(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

std::string SectionName(const uint8_t* header) {
    char name[9] = {};
    std::memcpy(name, header, 8);
    return name;
}

}  // namespace

bool PeImage::Parse(const uint8_t* data, size_t size, PeImage* image, std::string* error) {
    *image = PeImage();
    if (!image->ParseHeaders(data, size, error)) {
        return false;
    }
    return true;
}

bool PeImage::ParseHeaders(const uint8_t* data, size_t size, std::string* error) {
    if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') {
        return Fail(error, "not a PE image: no MZ header");
    }
    uint32_t peOffset = Read<uint32_t>(data + 0x3c);
    if (!Within(peOffset, 24, size) || std::memcmp(data + peOffset, "PE\0\0", 4) != 0) {
        return Fail(error, "not a PE image: no PE signature at 0x%x", peOffset);
    }
    const uint8_t* coff = data + peOffset + 4;
    uint16_t machine = Read<uint16_t>(coff);
    uint16_t sectionCount = Read<uint16_t>(coff + 2);
    uint32_t symbolPointer = Read<uint32_t>(coff + 8);
    uint32_t symbolCount = Read<uint32_t>(coff + 12);
    uint16_t optionalSize = Read<uint16_t>(coff + 16);
    uint16_t fileFlags = Read<uint16_t>(coff + 18);
    if (machine != kMachineAmd64) {
        return Fail(error, "machine 0x%x is not x64 (0x8664)", machine);
    }
    if ((fileFlags & kFileRelocsStripped) != 0) {
        return Fail(error, "relocations stripped: the image cannot be moved");
    }
    uint64_t optionalOffset = peOffset + 24ull;
    constexpr uint32_t kOptionalFixed = 112;
    if (optionalSize < kOptionalFixed + kDirectoryCount * 8 ||
        !Within(optionalOffset, optionalSize, size)) {
        return Fail(error, "optional header truncated (%u bytes)", optionalSize);
    }
    const uint8_t* optional = data + optionalOffset;
    if (Read<uint16_t>(optional) != kOptionalMagicPe32Plus) {
        return Fail(error, "optional header magic 0x%x is not PE32+ (0x20b)",
                    Read<uint16_t>(optional));
    }
    entryRva_ = Read<uint32_t>(optional + 16);
    imageBase_ = Read<uint64_t>(optional + 24);
    uint32_t sectionAlignment = Read<uint32_t>(optional + 32);
    uint32_t fileAlignment = Read<uint32_t>(optional + 36);
    sizeOfImage_ = Read<uint32_t>(optional + 56);
    sizeOfHeaders_ = Read<uint32_t>(optional + 60);
    checkSum_ = Read<uint32_t>(optional + 64);
    subsystem_ = Read<uint16_t>(optional + 68);
    dllCharacteristics_ = Read<uint16_t>(optional + 70);
    uint32_t directoryCount = Read<uint32_t>(optional + 108);
    if (subsystem_ != kSubsystemNative) {
        return Fail(error, "subsystem %u is not native (1): not a kernel driver", subsystem_);
    }
    if (sectionAlignment != kPageSize) {
        return Fail(error, "section alignment 0x%x is not the page size", sectionAlignment);
    }
    if (fileAlignment == 0 || (fileAlignment & (fileAlignment - 1)) != 0) {
        return Fail(error, "file alignment 0x%x is not a power of two", fileAlignment);
    }
    if (sizeOfImage_ == 0 || sizeOfImage_ > kMaxImageSize || sizeOfImage_ % kPageSize != 0) {
        return Fail(error, "size of image 0x%x is not a page multiple up to 64 MB", sizeOfImage_);
    }
    if (sizeOfHeaders_ == 0 || sizeOfHeaders_ > size || sizeOfHeaders_ > kPageSize) {
        return Fail(error, "size of headers 0x%x exceeds the file or the first page",
                    sizeOfHeaders_);
    }
    if (directoryCount < kDirectoryCount) {
        return Fail(error, "%u data directories, 16 expected", directoryCount);
    }
    uint32_t directoryRva[kDirectoryCount];
    uint32_t directorySize[kDirectoryCount];
    for (uint32_t i = 0; i < kDirectoryCount; ++i) {
        directoryRva[i] = Read<uint32_t>(optional + kOptionalFixed + i * 8);
        directorySize[i] = Read<uint32_t>(optional + kOptionalFixed + i * 8 + 4);
    }
    struct Unsupported {
        Directory which;
        const char* name;
    };
    static const Unsupported kUnsupported[] = {
        {kTlsDirectory, "TLS directory (thread-local storage)"},
        {kLoadConfigDirectory, "load configuration directory"},
        {kBoundImportDirectory, "bound import directory"},
        {kDelayImportDirectory, "delay-load import directory"},
        {kClrDirectory, "CLR runtime header"},
    };
    for (const Unsupported& entry : kUnsupported) {
        if (directorySize[entry.which] != 0) {
            return Fail(error, "unsupported: %s", entry.name);
        }
    }

    // Sections: page-aligned, ascending, not overlapping, inside the image,
    // their raw data inside the file.
    if (sectionCount == 0 || sectionCount > kMaxSections) {
        return Fail(error, "%u sections (1 to %u handled)", sectionCount, kMaxSections);
    }
    uint64_t sectionTable = optionalOffset + optionalSize;
    if (!Within(sectionTable, sectionCount * 40ull, sizeOfHeaders_)) {
        return Fail(error, "section table truncated: %u sections past the headers", sectionCount);
    }
    layout_.assign(sizeOfImage_, 0);
    std::memcpy(layout_.data(), data, sizeOfHeaders_);
    uint32_t nextFree = kPageSize;  // the headers own the first page
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* header = data + sectionTable + i * 40ull;
        PeSection section;
        section.name = SectionName(header);
        section.virtualSize = Read<uint32_t>(header + 8);
        section.rva = Read<uint32_t>(header + 12);
        section.rawSize = Read<uint32_t>(header + 16);
        section.rawOffset = Read<uint32_t>(header + 20);
        section.characteristics = Read<uint32_t>(header + 36);
        if (section.virtualSize == 0) {
            section.virtualSize = section.rawSize;
        }
        const char* name = section.name.c_str();
        if (section.rva % kPageSize != 0) {
            return Fail(error, "section %s at rva 0x%x is not page-aligned", name, section.rva);
        }
        if (section.rva < nextFree) {
            return Fail(error, "section %s at rva 0x%x overlaps the headers or the section before",
                        name, section.rva);
        }
        if (!Within(section.rva, section.virtualSize, sizeOfImage_) || section.virtualSize == 0) {
            return Fail(error, "section %s (rva 0x%x, 0x%x bytes) lies outside the image", name,
                        section.rva, section.virtualSize);
        }
        uint32_t copied = std::min(section.rawSize, section.virtualSize);
        if (copied != 0 && !Within(section.rawOffset, copied, size)) {
            return Fail(error, "section %s: raw data (0x%x bytes at 0x%x) past the end of the file",
                        name, copied, section.rawOffset);
        }
        if ((section.characteristics & kSectionWrite) != 0 &&
            (section.characteristics & kSectionExecute) != 0) {
            return Fail(error, "section %s is both writable and executable", name);
        }
        if (copied != 0) {
            std::memcpy(layout_.data() + section.rva, data + section.rawOffset, copied);
        }
        nextFree = section.rva + ((section.virtualSize + kPageSize - 1) & ~(kPageSize - 1));
        sections_.push_back(section);
    }
    const PeSection* entrySection = SectionAt(entryRva_);
    if (entrySection == nullptr || (entrySection->characteristics & kSectionExecute) == 0) {
        return Fail(error, "entry point rva 0x%x is not in an executable section", entryRva_);
    }
    if (directorySize[kBaseRelocationDirectory] == 0) {
        return Fail(error, "no base relocation directory: the image cannot be moved");
    }
    if (!ParseRelocations(directoryRva[kBaseRelocationDirectory],
                          directorySize[kBaseRelocationDirectory], error)) {
        return false;
    }
    if (directorySize[kImportDirectory] != 0 &&
        !ParseImports(directoryRva[kImportDirectory], directorySize[kImportDirectory], error)) {
        return false;
    }
    return ParseSymbols(data, size, symbolPointer, symbolCount, error);
}

bool PeImage::ParseRelocations(uint32_t rva, uint32_t size, std::string* error) {
    if (!Within(rva, size, sizeOfImage_)) {
        return Fail(error, "base relocation directory (rva 0x%x, 0x%x bytes) outside the image",
                    rva, size);
    }
    uint32_t at = rva;
    uint32_t end = rva + size;
    while (at < end) {
        if (end - at < 8) {
            return Fail(error, "base relocation block at rva 0x%x truncated", at);
        }
        uint32_t page = Read<uint32_t>(&layout_[at]);
        uint32_t blockSize = Read<uint32_t>(&layout_[at + 4]);
        if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - at) {
            return Fail(error, "base relocation block at rva 0x%x has bad size 0x%x", at,
                        blockSize);
        }
        for (uint32_t entry = at + 8; entry < at + blockSize; entry += 2) {
            uint16_t value = Read<uint16_t>(&layout_[entry]);
            uint16_t type = value >> 12;
            uint32_t target = page + (value & 0xfff);
            if (type == kRelocationAbsolute) {
                continue;
            }
            if (type != kRelocationDir64) {
                return Fail(error, "relocation type %u at rva 0x%x (only DIR64 is handled)", type,
                            target);
            }
            const PeSection* section = SectionAt(target);
            if (section == nullptr || !section->Contains(target + 7)) {
                return Fail(error, "DIR64 relocation at rva 0x%x is not inside one section",
                            target);
            }
            relocations_.push_back(target);
        }
        at += blockSize;
    }
    return true;
}

bool PeImage::StringAt(uint32_t rva, std::string* text) const {
    if (rva >= sizeOfImage_) {
        return false;
    }
    const void* end = std::memchr(&layout_[rva], 0, sizeOfImage_ - rva);
    if (end == nullptr) {
        return false;
    }
    text->assign(reinterpret_cast<const char*>(&layout_[rva]));
    return true;
}

bool PeImage::ParseImports(uint32_t rva, uint32_t size, std::string* error) {
    if (!Within(rva, size, sizeOfImage_)) {
        return Fail(error, "import directory (rva 0x%x, 0x%x bytes) outside the image", rva, size);
    }
    for (uint32_t at = rva;; at += 20) {
        if (!Within(at, 20, sizeOfImage_)) {
            return Fail(error, "import descriptor at rva 0x%x runs past the image", at);
        }
        uint32_t lookup = Read<uint32_t>(&layout_[at]);
        uint32_t nameRva = Read<uint32_t>(&layout_[at + 12]);
        uint32_t slots = Read<uint32_t>(&layout_[at + 16]);
        if (lookup == 0 && nameRva == 0 && slots == 0) {
            return true;
        }
        std::string dll;
        if (!StringAt(nameRva, &dll)) {
            return Fail(error, "import descriptor at rva 0x%x: DLL name outside the image", at);
        }
        uint32_t names = lookup != 0 ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            uint64_t thunkAt = names + i * 8ull;
            uint64_t slotAt = slots + i * 8ull;
            if (!Within(thunkAt, 8, sizeOfImage_) || !Within(slotAt, 8, sizeOfImage_)) {
                return Fail(error, "import table of %s runs past the image", dll.c_str());
            }
            uint64_t thunk = Read<uint64_t>(&layout_[thunkAt]);
            if (thunk == 0) {
                break;
            }
            if ((thunk & kImportByOrdinal) != 0) {
                return Fail(error, "import by ordinal %u from %s (only by name is handled)",
                            static_cast<unsigned>(thunk & 0xffff), dll.c_str());
            }
            std::string name;
            if (thunk > 0xffffffffu || !StringAt(static_cast<uint32_t>(thunk) + 2, &name) ||
                name.empty()) {
                return Fail(error, "import %u from %s: name outside the image", i, dll.c_str());
            }
            imports_.push_back(PeImport{dll, name, static_cast<uint32_t>(slotAt)});
        }
    }
}

bool PeImage::ParseSymbols(const uint8_t* data, size_t size, uint32_t pointer, uint32_t count,
                           std::string* error) {
    if (pointer == 0 || count == 0) {
        return true;  // stripped: reports name RVAs
    }
    uint64_t tableSize = count * static_cast<uint64_t>(kSymbolSize);
    if (!Within(pointer, tableSize + 4, size)) {
        return Fail(error, "COFF symbol table (%u symbols at 0x%x) past the end of the file", count,
                    pointer);
    }
    const uint8_t* strings = data + pointer + tableSize;
    uint32_t stringsSize = Read<uint32_t>(strings);
    if (stringsSize < 4 || !Within(pointer + tableSize, stringsSize, size)) {
        return Fail(error, "COFF string table past the end of the file");
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* symbol = data + pointer + i * kSymbolSize;
        uint8_t aux = symbol[17];
        int16_t sectionNumber = Read<int16_t>(symbol + 12);
        uint16_t type = Read<uint16_t>(symbol + 14);
        if (type == kSymbolTypeFunction && sectionNumber > 0 &&
            static_cast<size_t>(sectionNumber) <= sections_.size()) {
            std::string name;
            if (Read<uint32_t>(symbol) == 0) {
                uint32_t offset = Read<uint32_t>(symbol + 4);
                if (offset < 4 || offset >= stringsSize ||
                    std::memchr(strings + offset, 0, stringsSize - offset) == nullptr) {
                    return Fail(error, "COFF symbol %u: name outside the string table", i);
                }
                name = reinterpret_cast<const char*>(strings + offset);
            } else {
                name = SectionName(symbol);
            }
            const PeSection& section = sections_[sectionNumber - 1];
            uint32_t value = Read<uint32_t>(symbol + 8);
            if (value < section.virtualSize) {
                symbols_.push_back(PeSymbol{name, section.rva + value});
            }
        }
        i += aux;
    }
    std::stable_sort(symbols_.begin(), symbols_.end(),
                     [](const PeSymbol& a, const PeSymbol& b) { return a.rva < b.rva; });
    return true;
}

const PeSection* PeImage::SectionAt(uint32_t rva) const {
    for (const PeSection& section : sections_) {
        if (section.Contains(rva)) {
            return &section;
        }
    }
    return nullptr;
}

std::string PeImage::NameOf(uint32_t rva) const {
    char text[64];
    const PeSection* section = SectionAt(rva);
    auto after = std::upper_bound(symbols_.begin(), symbols_.end(), rva,
                                  [](uint32_t at, const PeSymbol& s) { return at < s.rva; });
    if (section != nullptr && after != symbols_.begin()) {
        const PeSymbol& symbol = *(after - 1);
        if (section->Contains(symbol.rva)) {
            if (symbol.rva == rva) {
                return symbol.name;
            }
            std::snprintf(text, sizeof text, "+0x%x", rva - symbol.rva);
            return symbol.name + text;
        }
    }
    std::snprintf(text, sizeof text, "rva 0x%x", rva);
    return text;
}

}  // namespace host::loader
