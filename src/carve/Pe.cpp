// PE executables and DLLs (Microsoft PE/COFF): the file ends at the
// farthest of the headers, every section's raw data, the certificate table
// (which the data directory gives as a file offset, past the sections) and
// a COFF symbol table with its string table. Bytes appended after those
// (an installer's payload) are not part of what the headers state.
#include <algorithm>

#include "carve/Dates.h"
#include "carve/Parsers.h"
#include "util/ByteReader.h"

namespace carve {

namespace {

constexpr std::size_t DosHeaderBytes = 64;
constexpr std::size_t NewHeaderOffset = 0x3C;  // e_lfanew: u32 file offset of "PE\0\0"
constexpr std::size_t CoffBytes = 20;          // after the signature
constexpr std::size_t CoffMachine = 0, CoffSections = 2, CoffTime = 4, CoffSymbols = 8, CoffSymbolCount = 12;
constexpr std::size_t CoffOptionalSize = 16, CoffCharacteristics = 18;
constexpr std::uint16_t CharacteristicDll = 0x2000;
constexpr std::uint16_t MaxSections = 96;      // the loader's limit
constexpr std::uint16_t MagicPe32 = 0x10B, MagicPe32Plus = 0x20B;
constexpr std::size_t OptionalSizeOfHeaders = 60;  // u32, in both forms
constexpr std::size_t OptionalSubsystem = 68;      // u16
constexpr std::uint16_t SubsystemNative = 1;       // drivers
constexpr std::size_t DirectoryCount32 = 92, DirectoryCount64 = 108;  // u32 NumberOfRvaAndSizes
constexpr std::size_t Directories32 = 96, Directories64 = 112;        // 8 bytes each: address, size
constexpr std::uint32_t CertificateDirectory = 4;  // its address is a file offset
constexpr std::size_t SectionBytes = 40;
constexpr std::size_t SectionRawSize = 16, SectionRawPointer = 20;
constexpr std::uint64_t SymbolBytes = 18;          // a COFF symbol table entry; the string table's u32 size follows

struct Machine {
  std::uint16_t code;
  const char* exe;
  const char* dll;
};

const Machine Machines[] = {
    {0x014C, "Windows executable (x86)", "Windows DLL (x86)"},
    {0x8664, "Windows executable (x64)", "Windows DLL (x64)"},
    {0xAA64, "Windows executable (ARM64)", "Windows DLL (ARM64)"},
    {0x01C4, "Windows executable (ARM)", "Windows DLL (ARM)"},
};

}  // namespace

bool MatchesPe(const std::uint8_t* bytes, std::size_t available) {
  const ByteReader in(bytes, available);
  std::uint32_t lfanew = 0;
  if (!HasText(bytes, available, 0, "MZ") || !in.U32(NewHeaderOffset, &lfanew) || lfanew < DosHeaderBytes) return false;
  // Where the probe holds it, the PE signature too.
  return !in.Holds(lfanew, 4) || HasText(bytes, available, lfanew, "PE\0\0");
}

void ParsePe(SourceReader& reader, const Limits&, Carving* result) {
  std::uint32_t lfanew = 0;
  const std::uint8_t* dos = reader.Get(0, DosHeaderBytes);
  if (dos == nullptr || !MatchesPe(dos, DosHeaderBytes) || !reader.U32(NewHeaderOffset, &lfanew))
    return SetNotThisType(result);
  const std::uint64_t coffAt = std::uint64_t{lfanew} + 4;
  if (!reader.Equals(lfanew, "PE\0\0", 4)) return SetNotThisType(result);
  const std::uint8_t* coffBytes = reader.Get(coffAt, CoffBytes);
  if (coffBytes == nullptr) return SetNotThisType(result);
  const ByteReader coff(coffBytes, CoffBytes);
  std::uint16_t machine = 0, sections = 0, optionalSize = 0, characteristics = 0, magic = 0;
  std::uint32_t linked = 0, symbols = 0, symbolCount = 0;
  coff.U16(CoffMachine, &machine);
  coff.U16(CoffSections, &sections);
  coff.U32(CoffTime, &linked);
  coff.U32(CoffSymbols, &symbols);
  coff.U32(CoffSymbolCount, &symbolCount);
  coff.U16(CoffOptionalSize, &optionalSize);
  coff.U16(CoffCharacteristics, &characteristics);
  const std::uint64_t optional = coffAt + CoffBytes;
  if (sections == 0 || sections > MaxSections || optionalSize < Directories32 || !reader.U16(optional, &magic) ||
      (magic != MagicPe32 && magic != MagicPe32Plus))
    return SetNotThisType(result);
  const bool wide = magic == MagicPe32Plus;
  std::uint32_t headers = 0, directoryCount = 0, certificate = 0, certificateSize = 0;
  std::uint16_t subsystem = 0;
  const std::size_t countAt = wide ? DirectoryCount64 : DirectoryCount32;
  const std::size_t directories = wide ? Directories64 : Directories32;
  if (!reader.U32(optional + OptionalSizeOfHeaders, &headers) || !reader.U16(optional + OptionalSubsystem, &subsystem))
    return SetNotThisType(result);
  if (optionalSize >= countAt + 4 && reader.U32(optional + countAt, &directoryCount) &&
      directoryCount > CertificateDirectory && optionalSize >= directories + 8 * (CertificateDirectory + 1)) {
    const std::uint64_t at = optional + directories + 8 * CertificateDirectory;
    if (!reader.U32(at, &certificate) || !reader.U32(at + 4, &certificateSize)) return SetNotThisType(result);
  }

  const bool dll = (characteristics & CharacteristicDll) != 0;
  result->extension = dll ? "dll" : subsystem == SubsystemNative ? "sys" : "exe";
  result->subtype = dll ? "Windows DLL" : "Windows executable";
  for (const Machine& known : Machines)
    if (known.code == machine) result->subtype = dll ? known.dll : known.exe;
  result->created = {FileTimeAfter(SecondsFrom1601To1970, linked), false};

  const std::uint64_t table = optional + optionalSize;
  std::uint64_t end = std::max<std::uint64_t>(headers, table + std::uint64_t{sections} * SectionBytes);
  for (std::uint16_t i = 0; i < sections; ++i) {
    const std::uint8_t* s = reader.Get(table + std::uint64_t{i} * SectionBytes, SectionBytes);
    if (s == nullptr) return SetDamaged(result, reader.Available(end), Damage::CutShort);
    const ByteReader section(s, SectionBytes);
    std::uint32_t rawSize = 0, rawPointer = 0;
    section.U32(SectionRawSize, &rawSize);
    section.U32(SectionRawPointer, &rawPointer);
    if (rawSize != 0 && rawPointer != 0) end = std::max(end, std::uint64_t{rawPointer} + rawSize);
  }
  if (certificate != 0 && certificateSize != 0) {
    // The table lies after the sections' data, or the header lies.
    if (certificate < headers) return SetDamaged(result, reader.Available(end), Damage::Invalid);
    end = std::max(end, std::uint64_t{certificate} + certificateSize);
  }
  if (symbols != 0) {
    const std::uint64_t strings = symbols + std::uint64_t{symbolCount} * SymbolBytes;
    std::uint32_t stringBytes = 0;
    if (!reader.U32(strings, &stringBytes)) return SetDamaged(result, reader.Available(std::max(end, strings)), Damage::CutShort);
    // The size counts its own four bytes.
    end = std::max(end, strings + std::max<std::uint32_t>(stringBytes, 4));
  }
  const std::uint64_t available = reader.Available(end);
  if (available < end) return SetDamaged(result, available, Damage::CutShort);
  SetCarved(result, end);
}

}  // namespace carve
