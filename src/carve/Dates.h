// Dates as files carry them, made FILETIMEs (100 ns since 1601-01-01).
#pragma once

#include <cstddef>
#include <cstdint>

namespace carve {

constexpr std::uint64_t FileTimeTicksPerSecond = 10000000;
constexpr std::uint64_t SecondsFrom1601To1904 = 9561628800ull;   // ISO media's epoch
constexpr std::uint64_t SecondsFrom1601To1970 = 11644473600ull;  // Unix time (GZIP, PE)

// The FILETIME of a civil date and time; 0 when a field is out of range.
std::uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second);

// Seconds after an epoch given in seconds after 1601; 0 stays 0 (unset).
std::uint64_t FileTimeAfter(std::uint64_t epochSeconds, std::uint64_t seconds);

// "YYYY:MM:DD HH:MM:SS", the EXIF and TIFF DateTime form; 0 when it is not.
std::uint64_t FileTimeOfExif(const char* text, std::size_t length);

}  // namespace carve
