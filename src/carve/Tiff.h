// The TIFF structure shared by TIFF files, the camera raws built on it and
// the EXIF segment of a JPEG.
#pragma once

#include <cstdint>

#include "carve/Carve.h"
#include "carve/SourceReader.h"

namespace carve {

// Sets the EXIF dates of the TIFF structure in [base, base + size) of the
// reader (a JPEG's APP1 segment after "Exif\0\0"): DateTimeOriginal as
// created, DateTime as modified. Leaves them unset where it cannot read them.
void ReadExifDates(SourceReader& reader, std::uint64_t base, std::uint64_t size, Carving* result);

}  // namespace carve
