// A PE32+ image as the kernel's loader sees it, parsed strictly: the headers,
// the sections, the DIR64 base relocations, the imports by name and the COFF
// symbol table (for naming driver routines in reports). Anything the host's
// loader does not handle (another machine, TLS, delay-load or bound imports,
// imports by ordinal, a missing relocation directory, overlapping sections,
// a relocation type other than DIR64) is refused with one message naming it.
// Pure parsing: no memory is mapped and nothing is bound here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host::loader {

// Section characteristics the loader acts on.
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct PeSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;

    bool Contains(uint32_t at) const { return at >= rva && at - rva < virtualSize; }
};

struct PeImport {
    std::string dll;   // as the image spells it
    std::string name;  // the routine, imported by name
    uint32_t slotRva;  // its import address table slot
};

struct PeSymbol {
    std::string name;  // as linked (mangled for C++)
    uint32_t rva;
};

class PeImage {
  public:
    // Parses `size` bytes of a file. On failure returns false and sets *error
    // to one line naming what was refused.
    static bool Parse(const uint8_t* data, size_t size, PeImage* image, std::string* error);

    // The image laid out as it is mapped: SizeOfImage bytes, headers and
    // section contents at their RVAs, everything else zero.
    const std::vector<uint8_t>& Layout() const { return layout_; }

    uint64_t ImageBase() const { return imageBase_; }
    uint32_t SizeOfImage() const { return sizeOfImage_; }
    uint32_t SizeOfHeaders() const { return sizeOfHeaders_; }
    uint32_t EntryRva() const { return entryRva_; }
    uint32_t CheckSum() const { return checkSum_; }
    uint16_t Subsystem() const { return subsystem_; }
    uint16_t DllCharacteristics() const { return dllCharacteristics_; }
    const std::vector<PeSection>& Sections() const { return sections_; }
    // RVAs of the 64-bit slots the DIR64 relocations adjust, in table order.
    const std::vector<uint32_t>& Relocations() const { return relocations_; }
    const std::vector<PeImport>& Imports() const { return imports_; }
    // Function symbols, sorted by RVA (empty if the image carries none).
    const std::vector<PeSymbol>& Symbols() const { return symbols_; }

    // The section holding `rva`, or nullptr.
    const PeSection* SectionAt(uint32_t rva) const;
    // "Symbol+0x12" for the function symbol at or before `rva` in the same
    // section, else "rva 0x1234".
    std::string NameOf(uint32_t rva) const;

  private:
    bool ParseHeaders(const uint8_t* data, size_t size, std::string* error);
    bool ParseRelocations(uint32_t rva, uint32_t size, std::string* error);
    bool ParseImports(uint32_t rva, uint32_t size, std::string* error);
    bool ParseSymbols(const uint8_t* data, size_t size, uint32_t pointer, uint32_t count,
                      std::string* error);
    // A NUL-terminated string at `rva` inside the layout, or false.
    bool StringAt(uint32_t rva, std::string* text) const;

    std::vector<uint8_t> layout_;
    uint64_t imageBase_ = 0;
    uint32_t sizeOfImage_ = 0;
    uint32_t sizeOfHeaders_ = 0;
    uint32_t entryRva_ = 0;
    uint32_t checkSum_ = 0;
    uint16_t subsystem_ = 0;
    uint16_t dllCharacteristics_ = 0;
    std::vector<PeSection> sections_;
    std::vector<uint32_t> relocations_;
    std::vector<PeImport> imports_;
    std::vector<PeSymbol> symbols_;
};

}  // namespace host::loader
