// JPEG (ITU-T T.81, JFIF, EXIF): the marker segments, each with its length,
// and the entropy-coded data of every scan up to the marker that ends it,
// to EOI. A progressive JPEG has several scans; restart markers inside a
// scan must count 0 to 7 in turn.
#include <cstring>

#include "carve/Parsers.h"
#include "carve/Tiff.h"

namespace carve {

namespace {

constexpr std::uint8_t MarkerByte = 0xFF;  // every marker is FF then its code; FF may repeat as fill
constexpr std::uint8_t Stuffed = 0x00;     // FF 00 in entropy-coded data is a data byte FF
constexpr std::uint8_t Tem = 0x01;         // standalone, no length
constexpr std::uint8_t Rst0 = 0xD0;        // RST0 to RST7: standalone, only inside a scan
constexpr std::uint8_t Rst7 = 0xD7;
constexpr std::uint8_t Soi = 0xD8;
constexpr std::uint8_t Eoi = 0xD9;
constexpr std::uint8_t Sos = 0xDA;
constexpr std::uint8_t Dri = 0xDD;
constexpr std::uint8_t App0 = 0xE0;
constexpr std::uint8_t App1 = 0xE1;
constexpr std::uint8_t FirstSegment = 0xC0;  // C0 to FE, but for RSTn, SOI and EOI, carry a length
constexpr std::size_t LengthBytes = 2;       // u16 big-endian, counting itself
constexpr std::size_t SofFixed = 8;          // length, P, Y, X, Nf; then 3 bytes per component
constexpr std::size_t SofWidth = 3;          // in the body: u16 X, the samples per line
constexpr std::size_t SofComponents = 5;     // u8 Nf
constexpr std::size_t SosFixed = 6;          // length, Ns, Ss, Se, AhAl; plus 2 bytes per component
constexpr std::uint8_t MaxScanComponents = 4;
constexpr std::size_t DriLength = 4;
constexpr std::size_t ExifHeader = 6;        // "Exif" 00 00, then the TIFF structure
constexpr std::size_t JfifHeader = 5;        // "JFIF" 00

bool IsFrame(std::uint8_t marker) {
  // SOF0-3, 5-7, 9-11, 13-15: C4 is DHT, C8 JPG, CC DAC.
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool IsProgressive(std::uint8_t marker) { return marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE; }

struct JpegWalk {
  SourceReader& reader;
  const Limits& limits;
  Carving* result;
  std::uint64_t good = 0;  // the last checked byte's end
  std::uint16_t restartInterval = 0;
  unsigned segments = 0;
  bool frame = false, scan = false, progressive = false, exif = false, jfif = false;

  // Marks the file damaged at `good`; false, so that callers can return it.
  bool Fail(Damage why) {
    SetDamaged(result, good, why);
    return false;
  }

  // Walks the entropy-coded data from `pos` to the marker after it; *next
  // receives the marker's FF.
  bool Scan(std::uint64_t pos, std::uint64_t* next) {
    unsigned expectedRestart = 0;
    for (;;) {
      if (pos >= limits.unstatedBytes) return Fail(Damage::Unbounded);
      std::size_t got = 0;
      const std::uint8_t* p = reader.Some(pos, limits.unstatedBytes - pos, &got);
      if (p == nullptr) return Fail(Damage::CutShort);
      const void* found = std::memchr(p, MarkerByte, got);
      if (found == nullptr) {
        pos += got;
        good = pos;
        continue;
      }
      const std::uint64_t at = pos + static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - p);
      good = at;
      // Fill bytes may precede a marker: find the byte after the last FF.
      std::uint64_t code = at + 1;
      std::uint8_t value = 0;
      for (;;) {
        if (!reader.U8(code, &value)) return Fail(Damage::CutShort);
        if (value != MarkerByte) break;
        ++code;
      }
      if (value == Stuffed && code == at + 1) {
        pos = code + 1;
        good = pos;
        continue;
      }
      if (value >= Rst0 && value <= Rst7) {
        if (restartInterval == 0 || static_cast<unsigned>(value - Rst0) != expectedRestart) return Fail(Damage::Invalid);
        expectedRestart = (expectedRestart + 1) % 8;
        pos = code + 1;
        good = pos;
        continue;
      }
      *next = at;
      return true;
    }
  }

  // Reads one segment's fields that the walk checks; false when it fails.
  bool Segment(std::uint8_t marker, std::uint64_t start, std::uint16_t length) {
    const std::uint64_t body = start + 2 + LengthBytes;  // after FF, the code and the length
    const std::size_t bodyLength = length - LengthBytes;
    if (IsFrame(marker)) {
      std::uint8_t components = 0;
      std::uint16_t width = 0;
      if (length < SofFixed || !reader.U16BE(body + SofWidth, &width) || !reader.U8(body + SofComponents, &components))
        return Fail(Damage::Invalid);
      if (width == 0 || components == 0 || length != SofFixed + 3u * components) return Fail(Damage::Invalid);
      frame = true;
      progressive = progressive || IsProgressive(marker);
    } else if (marker == Dri) {
      if (length != DriLength || !reader.U16BE(body, &restartInterval)) return Fail(Damage::Invalid);
    } else if (marker == Sos) {
      std::uint8_t components = 0;
      if (!frame || length < SosFixed || !reader.U8(body, &components)) return Fail(Damage::Invalid);
      if (components < 1 || components > MaxScanComponents || length != SosFixed + 2u * components)
        return Fail(Damage::Invalid);
      scan = true;
    } else if (marker == App1 && bodyLength > ExifHeader && reader.Equals(body, "Exif\0\0", ExifHeader)) {
      exif = true;
      ReadExifDates(reader, body + ExifHeader, bodyLength - ExifHeader, result);
    } else if (marker == App0 && bodyLength >= JfifHeader && reader.Equals(body, "JFIF\0", JfifHeader)) {
      jfif = true;
    }
    return true;
  }

  const char* Subtype() const {
    if (progressive) return exif ? "progressive JPEG (EXIF)" : jfif ? "progressive JPEG (JFIF)" : "progressive JPEG";
    return exif ? "JPEG (EXIF)" : jfif ? "JPEG (JFIF)" : "JPEG";
  }

  void Walk() {
    std::uint64_t pos = 2;  // after SOI
    good = pos;
    for (;;) {
      if (pos >= limits.unstatedBytes) {
        Fail(Damage::Unbounded);
        return;
      }
      std::uint8_t value = 0;
      if (!reader.U8(pos, &value)) {
        Fail(Damage::CutShort);
        return;
      }
      if (value != MarkerByte) {
        Fail(Damage::Invalid);
        return;
      }
      std::uint64_t code = pos + 1;
      for (;;) {
        if (!reader.U8(code, &value)) {
          Fail(Damage::CutShort);
          return;
        }
        if (value != MarkerByte) break;
        ++code;
      }
      const std::uint64_t start = code - 1;  // the marker's last FF
      if (value == Eoi) {
        if (!scan) {
          Fail(Damage::Invalid);
          return;
        }
        SetCarved(result, code + 1);
        return;
      }
      if (value == Tem) {
        pos = code + 1;
        good = pos;
        continue;
      }
      if (value < FirstSegment || value == Soi || (value >= Rst0 && value <= Rst7)) {
        Fail(Damage::Invalid);
        return;
      }
      std::uint16_t length = 0;
      if (!reader.U16BE(code + 1, &length)) {
        Fail(Damage::CutShort);
        return;
      }
      if (length < LengthBytes) {
        Fail(Damage::Invalid);
        return;
      }
      const std::uint64_t end = code + 1 + length;
      if (!reader.Reaches(end)) {
        Fail(Damage::CutShort);
        return;
      }
      if (!Segment(value, start, length)) return;
      ++segments;
      good = end;
      pos = end;
      if (value == Sos && !Scan(end, &pos)) return;
    }
  }
};

}  // namespace

bool MatchesJpeg(const std::uint8_t* bytes, std::size_t available) {
  // SOI, then any marker but a second SOI or EOI.
  return available >= 4 && bytes[0] == MarkerByte && bytes[1] == Soi && bytes[2] == MarkerByte &&
         bytes[3] >= FirstSegment && bytes[3] != Soi && bytes[3] != Eoi && bytes[3] != MarkerByte;
}

void ParseJpeg(SourceReader& reader, const Limits& limits, Carving* result) {
  const std::uint8_t* head = reader.Get(0, 4);
  if (head == nullptr || !MatchesJpeg(head, 4)) return SetNotThisType(result);
  JpegWalk walk{reader, limits, result};
  walk.Walk();
  // Without a frame header this is a picture only if the source cut it
  // short after a segment or more (a long EXIF segment, say).
  if (!walk.frame && (result->damage != Damage::CutShort || walk.segments == 0)) return SetNotThisType(result);
  result->extension = "jpg";
  result->subtype = walk.Subtype();
}

}  // namespace carve
