// Decoding of a non-resident attribute's run list.
#pragma once

#include <cstdint>

#include "util/ByteReader.h"
#include "platform/Types.h"

// One run: `length` clusters starting at logical cluster `lcn`, or zeros
// when `sparse` (an offset field of 0 bytes).
struct DataRun {
  std::uint64_t length = 0;
  std::int64_t lcn = 0;
  bool sparse = false;
};

// Walks a run list one run at a time, checking every field against the end
// of the attribute that holds it.
class RunListCursor {
 public:
  // `attribute` is the whole attribute; the list starts at `listOffset`.
  RunListCursor(const ByteReader& attribute, std::uint32_t listOffset)
      : bytes(attribute), position(listOffset) {}

  // The next run into `run` and true in `more`, or false in `more` at the
  // terminating 0 byte. Returns code::InvalidParameter for a header nibble
  // above 8, a field past the attribute's end, a list without terminator, or
  // a start cluster that is negative or does not fit 63 bits.
  DWORD Next(DataRun* run, bool* more);

 private:
  ByteReader bytes;
  std::size_t position;
  std::int64_t currentLcn = 0;  // runs are relative to the previous run's start
};
