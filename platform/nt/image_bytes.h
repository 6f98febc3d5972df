// Images: the machine's state (a volume, the registry) as bytes that outlive the kernel, for a
// restart or a host folder. An image is
//
//   magic (8 bytes) | version (4) | payload length (8) | payload | CRC-32 of the payload (4)
//
// with every number little-endian. The writer appends fields to the payload; the reader takes
// them back in the same order, checking each length against the bytes that remain. A reader
// that meets a short, damaged or foreign image stops at its first failure and keeps that
// failure's text; every later read returns zero or empty.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/nt_types.h"

namespace nt {

class ImageWriter {
 public:
  ImageWriter() = default;
  ImageWriter(const ImageWriter&) = delete;
  ImageWriter& operator=(const ImageWriter&) = delete;

  void U8(UCHAR value);
  void U32(ULONG value);
  void U64(ULONGLONG value);
  void I64(LONGLONG value) { U64(static_cast<ULONGLONG>(value)); }
  // A count of UTF-16 units, then the units.
  void Text(std::u16string_view text);
  // A count of bytes, then the bytes.
  void Bytes(const std::vector<UCHAR>& bytes);
  // Bytes as they are, without a count: a payload made elsewhere.
  void Raw(const UCHAR* bytes, size_t size);

  // The whole image of the payload written so far. `magic` has 8 characters.
  std::vector<UCHAR> Finish(std::string_view magic, ULONG version) const;

 private:
  std::vector<UCHAR> payload_;
};

class ImageReader {
 public:
  // Checks the frame of `image` (magic, version, length, checksum); a failure there is the
  // reader's failure. `image` must outlive the reader.
  ImageReader(const std::vector<UCHAR>& image, std::string_view magic, ULONG version);
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  bool ok() const { return error_.empty(); }
  // Why the image was refused; empty while it is ok.
  const std::string& error() const { return error_; }
  // Refuses the image for a reason of its content. Only the first failure is kept.
  void Fail(const std::string& why);

  UCHAR U8();
  ULONG U32();
  ULONGLONG U64();
  LONGLONG I64() { return static_cast<LONGLONG>(U64()); }
  // Text of at most `longest` units.
  std::u16string Text(size_t longest);
  std::vector<UCHAR> Bytes();
  // A count of records that each take at least `smallest` bytes: refused when that many cannot
  // fit in what remains.
  ULONG Count(size_t smallest);
  // Refuses the image when bytes remain after its last field.
  void ExpectEnd();

 private:
  // Whether `count` more bytes remain; refuses the image when not.
  bool Have(size_t count);

  const std::vector<UCHAR>& image_;
  size_t at_ = 0;
  size_t end_ = 0;
  std::string error_;
};

// The CRC-32 (reflected, polynomial 0xEDB88320) of `size` bytes.
ULONG Crc32(const UCHAR* bytes, size_t size);

}  // namespace nt
