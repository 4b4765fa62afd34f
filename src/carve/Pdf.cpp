// PDF (ISO 32000): read forward to the last "%%EOF" whose "startxref"
// points at a cross-reference table (the "xref" keyword, its subsections
// and "trailer") or a cross-reference stream (an object whose dictionary
// has /Type /XRef). An incremental update appends objects, a new
// cross-reference section and a new %%EOF: after a valid %%EOF the walk
// goes on only when what follows begins such an update.
#include <cstring>

#include "carve/Dates.h"
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::size_t HeaderBytes = 8;  // "%PDF-1.7"
constexpr std::size_t KeywordStartxref = 9;
constexpr std::size_t KeywordEof = 5;
constexpr std::size_t XrefEntryBytes = 20;    // "nnnnnnnnnn ggggg n" and a two-byte end of line
constexpr std::size_t MaxNumberDigits = 20;
// Cautious bounds, not format facts: white space skipped between tokens
// (free space is often zeros, which PDF counts as white space), and the
// start of a cross-reference stream's dictionary searched for /XRef.
constexpr std::size_t MaxGapBytes = 4096;
constexpr std::size_t MaxDictionaryBytes = 4096;
constexpr std::size_t MaxDateBytes = 32;  // "D:YYYYMMDDHHmmSS+HH'mm'"

bool IsWhite(std::uint8_t c) { return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }
bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

class PdfWalk {
 public:
  PdfWalk(SourceReader& source, const Limits& bounds, Carving* carving)
      : reader(source), limits(bounds), result(carving) {}

  void Walk() {
    std::uint64_t pos = HeaderBytes;
    std::uint64_t best = 0;  // the end of the last valid %%EOF line
    bool cut = false;
    for (;;) {
      if (pos >= limits.unstatedBytes) break;
      std::size_t got = 0;
      const std::uint8_t* p = reader.Some(pos, limits.unstatedBytes - pos, &got);
      if (p == nullptr) {
        cut = true;
        break;
      }
      std::size_t i = 0;
      while (i < got && p[i] != '%' && p[i] != 's' && p[i] != 'e' && p[i] != '/') ++i;
      if (i == got) {
        pos += got;
        continue;
      }
      const std::uint64_t at = pos + i;
      pos = at + 1;
      const std::uint8_t first = p[i];  // `p` is not used past the reads below
      if (first == 's' && reader.Equals(at, "startxref", KeywordStartxref)) {
        Startxref(at);
      } else if (first == 'e' && reader.Equals(at, "endobj", 6)) {
        lastObjectEnd = at + 6;
      } else if (first == '/') {
        if (reader.Equals(at, "/CreationDate", 13)) Date(at + 13, &pendingCreated);
        else if (reader.Equals(at, "/ModDate", 8)) Date(at + 8, &pendingModified);
      } else if (first == '%' && reader.Equals(at, "%PDF-", 5)) {
        break;  // another file begins: no update holds a header
      } else if (first == '%' && reader.Equals(at, "%%EOF", KeywordEof)) {
        const bool valid = startxrefEnd != 0 && at >= startxrefEnd && at - startxrefEnd <= MaxGapBytes &&
                           Blank(startxrefEnd, at) && XrefAt(xrefOffset, startxrefAt);
        startxrefEnd = 0;
        if (!valid) {
          // A linearized file's first %%EOF need not lead anywhere; but once
          // a revision was whole, a broken one after it is damage.
          if (best != 0) return SetDamaged(result, best, Damage::Invalid);
          brokenEnd = true;
          continue;
        }
        best = LineEnd(at + KeywordEof);
        // Dates count once the revision that holds them is whole.
        if (pendingCreated.fileTime != 0) result->created = pendingCreated;
        if (pendingModified.fileTime != 0) result->modified = pendingModified;
        std::uint64_t next = 0;
        if (!UpdateFollows(best, &next)) return SetCarved(result, best);
        pos = next;
      }
    }
    if (best != 0) {
      // The update that seemed to follow never ended: the file is its last whole revision.
      return SetCarved(result, best);
    }
    const Damage why = brokenEnd ? Damage::Invalid : cut ? Damage::CutShort : Damage::Unbounded;
    result->created = pendingCreated;
    result->modified = pendingModified;
    SetDamaged(result, lastObjectEnd != 0 ? lastObjectEnd : HeaderBytes, why);
  }

 private:
  // "startxref", white space, the offset of the cross-reference section.
  void Startxref(std::uint64_t at) {
    startxrefEnd = 0;
    std::uint64_t pos = SkipWhite(at + KeywordStartxref);
    std::uint64_t value = 0;
    if (!Number(&pos, &value)) return;
    startxrefAt = at;
    startxrefEnd = pos;
    xrefOffset = value;
  }

  std::uint64_t SkipWhite(std::uint64_t pos) {
    std::uint8_t c = 0;
    for (std::size_t n = 0; n < MaxGapBytes && reader.U8(pos, &c) && IsWhite(c); ++n) ++pos;
    return pos;
  }

  bool Blank(std::uint64_t from, std::uint64_t to) {
    std::uint8_t c = 0;
    for (std::uint64_t pos = from; pos < to; ++pos)
      if (!reader.U8(pos, &c) || !IsWhite(c)) return false;
    return true;
  }

  bool Number(std::uint64_t* pos, std::uint64_t* value) {
    std::uint64_t result = 0;
    std::size_t digits = 0;
    std::uint8_t c = 0;
    while (digits < MaxNumberDigits && reader.U8(*pos, &c) && IsDigit(c)) {
      if (result > (UINT64_MAX - 9) / 10) return false;
      result = result * 10 + (c - '0');
      ++*pos;
      ++digits;
    }
    *value = result;
    return digits > 0;
  }

  // The end of the line that ends at `pos`: after CR LF, LF or CR.
  std::uint64_t LineEnd(std::uint64_t pos) {
    std::uint8_t c = 0;
    if (reader.U8(pos, &c) && c == '\r') ++pos;
    if (reader.U8(pos, &c) && c == '\n') ++pos;
    return pos;
  }

  // "N G obj" at `pos` (after white space); `*after` receives the end of "obj".
  bool ObjectHeader(std::uint64_t pos, std::uint64_t* after) {
    std::uint64_t number = 0, generation = 0;
    if (!Number(&pos, &number)) return false;
    const std::uint64_t gap = SkipWhite(pos);
    if (gap == pos) return false;
    pos = gap;
    if (!Number(&pos, &generation)) return false;
    const std::uint64_t gap2 = SkipWhite(pos);
    if (gap2 == pos || !reader.Equals(gap2, "obj", 3)) return false;
    *after = gap2 + 3;
    return true;
  }

  // Whether an incremental update begins after `end`: an object, a
  // cross-reference table or a comment line before one.
  bool UpdateFollows(std::uint64_t end, std::uint64_t* next) {
    std::uint64_t pos = SkipWhite(end);
    std::uint8_t c = 0;
    if (reader.U8(pos, &c) && c == '%' && !reader.Equals(pos, "%PDF-", 5) && !reader.Equals(pos, "%%EOF", 5)) {
      for (std::size_t n = 0; n < MaxGapBytes && reader.U8(pos, &c) && c != '\n' && c != '\r'; ++n) ++pos;
      pos = SkipWhite(pos);
    }
    std::uint64_t after = 0;
    if (reader.Equals(pos, "xref", 4) || ObjectHeader(pos, &after)) {
      *next = pos;
      return true;
    }
    return false;
  }

  // A cross-reference table or stream at `offset`, before `limit`.
  bool XrefAt(std::uint64_t offset, std::uint64_t limit) {
    if (offset < HeaderBytes || offset >= limit) return false;
    if (reader.Equals(offset, "xref", 4)) return XrefTable(offset + 4, limit);
    std::uint64_t pos = 0;
    if (!ObjectHeader(offset, &pos)) return false;
    pos = SkipWhite(pos);
    if (!reader.Equals(pos, "<<", 2)) return false;
    // /Type /XRef within the start of the dictionary, before its stream.
    for (std::size_t n = 0; n < MaxDictionaryBytes && pos < limit; ++n, ++pos) {
      if (reader.Equals(pos, "stream", 6) || reader.Equals(pos, "endobj", 6)) return false;
      if (reader.Equals(pos, "/XRef", 5)) return true;
    }
    return false;
  }

  // Subsections ("first count", then count entries of 20 bytes) up to "trailer <<".
  bool XrefTable(std::uint64_t pos, std::uint64_t limit) {
    bool subsection = false;
    // Each turn consumes a subsection header and its entries.
    while (pos < limit) {
      pos = SkipWhite(pos);
      if (reader.Equals(pos, "trailer", 7)) return subsection && reader.Equals(SkipWhite(pos + 7), "<<", 2);
      std::uint64_t firstObject = 0, count = 0;
      if (!Number(&pos, &firstObject)) return false;
      std::uint8_t c = 0;
      if (!reader.U8(pos, &c) || c != ' ') return false;
      ++pos;
      if (!Number(&pos, &count)) return false;
      pos = SkipWhite(pos);
      if (pos > limit || count > (limit - pos) / XrefEntryBytes) return false;
      if (count > 0) {
        const std::uint8_t* e = reader.Get(pos, XrefEntryBytes);
        if (e == nullptr) return false;
        for (std::size_t k = 0; k < 10; ++k)
          if (!IsDigit(e[k])) return false;
        if (e[10] != ' ' || e[16] != ' ' || (e[17] != 'n' && e[17] != 'f') || !IsWhite(e[18]) || !IsWhite(e[19]))
          return false;
      }
      pos += count * XrefEntryBytes;
      subsection = true;
    }
    return false;
  }

  // A date string "(D:YYYYMMDDHHmmSSOHH'mm')" after a key; the last one read wins.
  void Date(std::uint64_t pos, Timestamp* date) {
    pos = SkipWhite(pos);
    std::uint8_t text[MaxDateBytes] = {};
    std::size_t length = 0;
    std::uint8_t c = 0;
    if (!reader.U8(pos, &c) || c != '(') return;
    ++pos;
    if (reader.Equals(pos, "D:", 2)) pos += 2;
    while (length < MaxDateBytes && reader.U8(pos + length, &c) && c != ')') text[length++] = c;
    auto field = [&](std::size_t at, std::size_t digits, int fallback) {
      if (at + digits > length) return fallback;
      int value = 0;
      for (std::size_t k = at; k < at + digits; ++k) {
        if (!IsDigit(text[k])) return -1;
        value = value * 10 + (text[k] - '0');
      }
      return value;
    };
    const int year = field(0, 4, -1), month = field(4, 2, 1), day = field(6, 2, 1);
    const int hour = field(8, 2, 0), minute = field(10, 2, 0), second = field(12, 2, 0);
    std::uint64_t fileTime = FileTimeOf(year, month, day, hour, minute, second);
    if (fileTime == 0) return;
    // O is Z, + or - with HH'mm': the time is local to that zone.
    if (length > 14 && (text[14] == '+' || text[14] == '-')) {
      const int zoneHours = field(15, 2, 0);
      const int zoneMinutes = length > 18 && text[17] == '\'' ? field(18, 2, 0) : 0;
      if (zoneHours < 0 || zoneHours > 23 || zoneMinutes < 0 || zoneMinutes > 59) return;
      const std::uint64_t shift = (std::uint64_t(zoneHours) * 3600 + std::uint64_t(zoneMinutes) * 60) * FileTimeTicksPerSecond;
      if (text[14] == '+') {
        if (shift > fileTime) return;
        fileTime -= shift;
      } else {
        fileTime += shift;
      }
    }
    *date = {fileTime, false};
  }

  SourceReader& reader;
  const Limits& limits;
  Carving* result;
  std::uint64_t startxrefAt = 0, startxrefEnd = 0, xrefOffset = 0;
  std::uint64_t lastObjectEnd = 0;
  bool brokenEnd = false;  // a %%EOF whose startxref leads nowhere
  Timestamp pendingCreated, pendingModified;  // read since the last whole revision
};

}  // namespace

bool MatchesPdf(const std::uint8_t* bytes, std::size_t available) {
  return available >= HeaderBytes && HasText(bytes, available, 0, "%PDF-") && IsDigit(bytes[5]) && bytes[6] == '.' &&
         IsDigit(bytes[7]);
}

void ParsePdf(SourceReader& reader, const Limits& limits, Carving* result) {
  const std::uint8_t* head = reader.Get(0, HeaderBytes);
  if (head == nullptr || !MatchesPdf(head, HeaderBytes)) return SetNotThisType(result);
  static const char* const versions[] = {"PDF 1.0", "PDF 1.1", "PDF 1.2", "PDF 1.3", "PDF 1.4", "PDF 1.5", "PDF 1.6", "PDF 1.7"};
  result->extension = "pdf";
  result->subtype = head[5] == '1' && head[7] <= '7' ? versions[head[7] - '0'] : head[5] == '2' && head[7] == '0' ? "PDF 2.0" : "PDF";
  PdfWalk walk(reader, limits, result);
  walk.Walk();
}

}  // namespace carve
