#include "carve/Carve.h"

#include "carve/Parsers.h"
#include "carve/SourceReader.h"

namespace carve {

namespace {

// Strong signatures first; MP3's eleven-bit frame sync, the weakest, last.
const FileType TypeTable[] = {
    {Family::Jpeg, "JPEG", "jpg", "FF D8 FF", MatchesJpeg, ParseJpeg},
    {Family::Png, "PNG", "png", "89 'PNG' 0D 0A 1A 0A", MatchesPng, ParsePng},
    {Family::Gif, "GIF", "gif", "'GIF87a' or 'GIF89a'", MatchesGif, ParseGif},
    {Family::Tiff, "TIFF", "tif", "'II' 2A 00, 'MM' 00 2A, 'II' 2B 00, 'MM' 00 2B", MatchesTiff, ParseTiff},
    {Family::Pdf, "PDF", "pdf", "'%PDF-'", MatchesPdf, ParsePdf},
    {Family::Zip, "ZIP", "zip", "'PK' 03 04", MatchesZip, ParseZip},
    {Family::IsoMedia, "ISO media", "mp4", "'ftyp' at 4", MatchesIsoMedia, ParseIsoMedia},
    {Family::Riff, "RIFF", "riff", "'RIFF' or 'RF64'", MatchesRiff, ParseRiff},
    {Family::Sqlite, "SQLite", "sqlite", "'SQLite format 3' 00", MatchesSqlite, ParseSqlite},
    {Family::SevenZip, "7z", "7z", "'7z' BC AF 27 1C", MatchesSevenZip, ParseSevenZip},
    {Family::Rar, "RAR", "rar", "'Rar!' 1A 07 00 or 'Rar!' 1A 07 01 00", MatchesRar, ParseRar},
    {Family::Gzip, "GZIP", "gz", "1F 8B 08", MatchesGzip, ParseGzip},
    {Family::Pe, "PE", "exe", "'MZ', then 'PE' 00 00 at e_lfanew", MatchesPe, ParsePe},
    {Family::Bmp, "BMP", "bmp", "'BM'", MatchesBmp, ParseBmp},
    {Family::Mp3, "MP3", "mp3", "'ID3' or a frame sync FF Ex", MatchesMp3, ParseMp3},
};

constexpr std::size_t TypeCount = sizeof(TypeTable) / sizeof(TypeTable[0]);

}  // namespace

const FileType* Types(std::size_t* count) {
  *count = TypeCount;
  return TypeTable;
}

const FileType* TypeOf(Family family) {
  for (const FileType& type : TypeTable)
    if (type.family == family) return &type;
  return nullptr;
}

const FileType* Identify(const std::uint8_t* bytes, std::size_t available) {
  for (const FileType& type : TypeTable)
    if (type.Matches(bytes, available)) return &type;
  return nullptr;
}

DWORD Carve(const FileType& type, ByteSource& source, const Limits& limits, Carving* result) {
  *result = Carving();
  SourceReader reader(source, limits.windowBytes);
  result->extension = type.extension;
  result->subtype = type.name;
  type.Parse(reader, limits, result);
  if (!reader.Allocated()) return code::NotEnoughMemory;
  if (result->verdict == Verdict::NotThisType) *result = Carving();
  result->readError = reader.ReadError();
  return code::Success;
}

}  // namespace carve
