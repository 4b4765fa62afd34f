// MP3 (MPEG-1, -2 and 2.5 audio, any layer): an ID3v2 tag, then frames
// whose lengths come from their headers (version, layer, bit rate, sample
// rate, padding), then an ID3v1 tag. The stream keeps its version, layer
// and sample rate; a Xing, Info or VBRI header in the first frame states
// how many frames follow, and one in a later frame begins another file.
#include "carve/Parsers.h"

namespace carve {

namespace {

constexpr std::size_t Id3v2Header = 10;  // "ID3", version, revision, flags, syncsafe u32 size
constexpr std::uint8_t Id3v2Footer = 0x10;  // flag: a 10-byte footer follows the tag (version 4)
constexpr std::uint64_t Id3v1Bytes = 128;   // "TAG" and fixed fields
constexpr std::size_t FrameHeader = 4;
constexpr unsigned VersionMpeg2 = 2, VersionMpeg1 = 3;  // bits 20-19: 0 is MPEG-2.5, 1 reserved
constexpr unsigned LayerIII = 1, LayerII = 2, LayerI = 3;                   // bits 18-17; 0 is reserved
constexpr unsigned FreeBitrate = 0, BadBitrate = 15;
constexpr unsigned ReservedRate = 3;
constexpr unsigned ReservedEmphasis = 2;
constexpr unsigned ChannelsMono = 3;
constexpr std::uint64_t VbriAt = 36;     // from the frame's start: "VBRI", u16 version, delay, quality, u32 bytes
constexpr std::uint64_t VbriFrames = 14;  // then u32 frames
constexpr std::uint64_t MinFrames = 6;  // fewer in a row is no MP3: a frame sync is only 11 bits

// kbit/s by bit rate index: MPEG-1 layers I, II, III; MPEG-2 and 2.5 layer I; and their layers II and III.
constexpr std::uint16_t Bitrates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
// Hz by sample rate index: MPEG-1; MPEG-2 halves them, MPEG-2.5 quarters them.
constexpr std::uint32_t Rates[3] = {44100, 48000, 32000};

struct Frame {
  unsigned version = 0, layer = 0, rate = 0, mono = 0;
  std::uint32_t bytes = 0;
};

bool Decode(const std::uint8_t* h, Frame* frame) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const unsigned version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
  const unsigned bitrate = h[2] >> 4, rate = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (version == 1 || layer == 0 || bitrate == FreeBitrate || bitrate == BadBitrate || rate == ReservedRate ||
      (h[3] & 3) == ReservedEmphasis)
    return false;
  const unsigned table = version == VersionMpeg1 ? 3 - layer : layer == LayerI ? 3 : 4;
  const std::uint32_t bitsPerSecond = Bitrates[table][bitrate] * 1000u;
  const std::uint32_t hz = Rates[rate] >> (version == VersionMpeg1 ? 0 : version == VersionMpeg2 ? 1 : 2);
  if (layer == LayerI) frame->bytes = (12 * bitsPerSecond / hz + padding) * 4;
  else if (layer == LayerIII && version != VersionMpeg1) frame->bytes = 72 * bitsPerSecond / hz + padding;
  else frame->bytes = 144 * bitsPerSecond / hz + padding;
  frame->version = version, frame->layer = layer, frame->rate = rate, frame->mono = (h[3] >> 6) == ChannelsMono;
  return true;
}

// Where a Xing or Info header lies: after the layer III side information,
// whose size depends on the version and the channels.
std::uint64_t XingAt(std::uint64_t pos, const Frame& frame) {
  const std::uint64_t side = frame.version == VersionMpeg1 ? (frame.mono ? 17 : 32) : (frame.mono ? 9 : 17);
  return pos + FrameHeader + side;
}

// The frame count a Xing or Info header or a VBRI header states; 0 when the frame has none.
std::uint32_t StatedFrames(SourceReader& reader, std::uint64_t pos, const Frame& frame) {
  constexpr std::uint32_t XingFrames = 0x0001;  // flag: a u32 big-endian frame count follows the flags
  const std::uint64_t xing = XingAt(pos, frame);
  std::uint32_t flags = 0, frames = 0;
  if (frame.layer == LayerIII && (reader.Equals(xing, "Xing", 4) || reader.Equals(xing, "Info", 4))) {
    if (reader.U32BE(xing + 4, &flags) && (flags & XingFrames) && reader.U32BE(xing + 8, &frames)) return frames;
    return 0;
  }
  const std::uint64_t vbri = pos + VbriAt;
  if (reader.Equals(vbri, "VBRI", 4) && reader.U32BE(vbri + VbriFrames, &frames)) return frames;
  return 0;
}

bool HasTag(SourceReader& reader, std::uint64_t pos, const Frame& frame) {
  const std::uint64_t xing = XingAt(pos, frame);
  return reader.Equals(xing, "Xing", 4) || reader.Equals(xing, "Info", 4) || reader.Equals(pos + VbriAt, "VBRI", 4);
}

bool Id3v2(const std::uint8_t* h, std::uint64_t* end) {
  if (h[0] != 'I' || h[1] != 'D' || h[2] != '3' || h[3] < 2 || h[3] > 4 || h[4] == 0xFF) return false;
  std::uint64_t size = 0;
  for (int i = 6; i < 10; ++i) {
    if (h[i] & 0x80) return false;  // syncsafe: seven bits a byte
    size = (size << 7) | h[i];
  }
  *end = Id3v2Header + size + ((h[3] == 4 && (h[5] & Id3v2Footer)) ? Id3v2Header : 0);
  return true;
}

}  // namespace

bool MatchesMp3(const std::uint8_t* bytes, std::size_t available) {
  if (available < Id3v2Header) return false;
  std::uint64_t end = 0;
  Frame frame;
  return Id3v2(bytes, &end) || Decode(bytes, &frame);
}

void ParseMp3(SourceReader& reader, const Limits& limits, Carving* result) {
  const std::uint8_t* head = reader.Get(0, Id3v2Header);
  if (head == nullptr) return SetNotThisType(result);
  std::uint64_t pos = 0;
  const bool tagged = Id3v2(head, &pos);
  if (!tagged && !MatchesMp3(head, Id3v2Header)) return SetNotThisType(result);
  if (!reader.Reaches(pos)) return SetDamaged(result, 0, Damage::CutShort);
  Frame first;
  std::uint64_t frames = 0, stated = 0;
  Damage stop = Damage::None;
  // Each frame consumes its bytes (at least 24): the walk ends with the source.
  for (;;) {
    if (pos >= limits.unstatedBytes) {
      stop = Damage::Unbounded;
      break;
    }
    const std::uint8_t* h = reader.Get(pos, FrameHeader);
    Frame frame;
    if (h == nullptr) {
      if (reader.Available(pos + 1) > pos) stop = Damage::CutShort;
      break;
    }
    if (!Decode(h, &frame)) break;
    if (frames > 0 && (frame.version != first.version || frame.layer != first.layer || frame.rate != first.rate)) break;
    if (frames == 0) {
      first = frame;
      stated = StatedFrames(reader, pos, frame);
    } else if (HasTag(reader, pos, frame)) {
      break;  // the first frame of another file
    }
    if (!reader.Reaches(pos + frame.bytes)) {
      stop = Damage::CutShort;
      break;
    }
    pos += frame.bytes;
    ++frames;
  }
  if (frames < MinFrames) return tagged ? SetDamaged(result, pos, stop == Damage::None ? Damage::Invalid : stop)
                                        : SetNotThisType(result);
  result->extension = "mp3";
  static const char* const layers[] = {"", "MP3", "MPEG audio layer II", "MPEG audio layer I"};
  result->subtype = layers[first.layer];
  if (first.layer == LayerII) result->extension = "mp2";
  if (stop != Damage::None) return SetDamaged(result, pos, stop);
  // The stated count leaves out the frame that states it.
  if (stated != 0 && frames < stated + 1) return SetDamaged(result, pos, Damage::Invalid);
  if (reader.Equals(pos, "TAG", 3)) {
    if (!reader.Reaches(pos + Id3v1Bytes)) return SetDamaged(result, pos, Damage::CutShort);
    pos += Id3v1Bytes;
  }
  SetCarved(result, pos);
}

}  // namespace carve
