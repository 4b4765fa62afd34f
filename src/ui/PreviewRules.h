// The image preview's decision, made on the first bytes of a file before the
// rest is read: whether its name and those bytes make it a picture the
// preview can show, and how much of the file the picture takes. No window
// system here, so it is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The preview reads at most this much of a file.
constexpr std::uint64_t PreviewLimitBytes = std::uint64_t{256} << 20;
// Bytes from the start of a file the decision looks at (all of a shorter file).
constexpr std::size_t PreviewHeadBytes = 64;

enum class PreviewVerdict {
  Show,      // `bytes` from the start go to the decoder the name chooses
  NotImage,  // no decoder for the name's extension, or the bytes are not a picture it reads
  Empty,     // the file has no bytes
  TooLarge,  // the picture takes more than PreviewLimitBytes
};

struct PreviewDecision {
  PreviewVerdict verdict;
  int imageType;        // imagetype:: for the name's extension
  std::uint64_t bytes;  // what the picture takes from the start: never more than the file
};

// `head` holds the file's first bytes: min(PreviewHeadBytes, fileSize) of
// them, fewer only when the file could not give more. The name's extension
// chooses the decoder, as it always has (a JPEG named ".dat" is not shown);
// the bytes must then start as a picture that decoder reads: the program's
// own BMP or TGA reader, or for JPEG, PNG, GIF, TIFF and ICO names the
// system's decoder, which tells the format from the bytes. BMP and TGA
// headers give the size of their pixels, so no more than that is read;
// the other formats take the whole file.
PreviewDecision DecidePreview(const std::u16string& name, const std::uint8_t* head, std::size_t headSize,
                              std::uint64_t fileSize);

// "The picture is too large to preview: 300 MB (the preview reads at most 256 MB)."
std::u16string PreviewTooLargeText(std::uint64_t bytes);
