#include "platform/nt/image_bytes.h"

#include <array>

namespace nt {
namespace {

constexpr size_t kMagicSize = 8;
constexpr size_t kHeaderSize = kMagicSize + 4 + 8;
constexpr size_t kTrailerSize = 4;

void Append(std::vector<UCHAR>* out, ULONGLONG value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<UCHAR>(value >> (8 * i)));
}

ULONGLONG Load(const UCHAR* bytes, int count) {
  ULONGLONG value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

constexpr std::array<ULONG, 256> MakeCrcTable() {
  std::array<ULONG, 256> table{};
  for (ULONG n = 0; n < 256; ++n) {
    ULONG c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<ULONG, 256> kCrcTable = MakeCrcTable();

}  // namespace

ULONG Crc32(const UCHAR* bytes, size_t size) {
  ULONG crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void ImageWriter::U8(UCHAR value) { payload_.push_back(value); }

void ImageWriter::U32(ULONG value) { Append(&payload_, value, 4); }

void ImageWriter::U64(ULONGLONG value) { Append(&payload_, value, 8); }

void ImageWriter::Text(std::u16string_view text) {
  U32(static_cast<ULONG>(text.size()));
  for (char16_t c : text) Append(&payload_, c, 2);
}

void ImageWriter::Bytes(const std::vector<UCHAR>& bytes) {
  U32(static_cast<ULONG>(bytes.size()));
  payload_.insert(payload_.end(), bytes.begin(), bytes.end());
}

void ImageWriter::Raw(const UCHAR* bytes, size_t size) {
  payload_.insert(payload_.end(), bytes, bytes + size);
}

std::vector<UCHAR> ImageWriter::Finish(std::string_view magic, ULONG version) const {
  std::vector<UCHAR> image;
  image.reserve(kHeaderSize + payload_.size() + kTrailerSize);
  for (size_t i = 0; i < kMagicSize; ++i) {
    image.push_back(i < magic.size() ? static_cast<UCHAR>(magic[i]) : ' ');
  }
  Append(&image, version, 4);
  Append(&image, payload_.size(), 8);
  image.insert(image.end(), payload_.begin(), payload_.end());
  Append(&image, Crc32(payload_.data(), payload_.size()), 4);
  return image;
}

ImageReader::ImageReader(const std::vector<UCHAR>& image, std::string_view magic, ULONG version)
    : image_(image) {
  if (image.size() < kHeaderSize + kTrailerSize) {
    Fail("too short to be an image (" + std::to_string(image.size()) + " bytes)");
    return;
  }
  for (size_t i = 0; i < kMagicSize; ++i) {
    const UCHAR expected = i < magic.size() ? static_cast<UCHAR>(magic[i]) : ' ';
    if (image[i] != expected) {
      Fail("not an image of this kind (its mark is not " + std::string(magic) + ")");
      return;
    }
  }
  const ULONG found = static_cast<ULONG>(Load(image.data() + kMagicSize, 4));
  if (found != version) {
    Fail("version " + std::to_string(found) + " where " + std::to_string(version) + " is read");
    return;
  }
  const ULONGLONG length = Load(image.data() + kMagicSize + 4, 8);
  if (length != image.size() - kHeaderSize - kTrailerSize) {
    Fail("truncated or extended: the payload should have " + std::to_string(length) +
         " bytes, the image holds " + std::to_string(image.size() - kHeaderSize - kTrailerSize));
    return;
  }
  at_ = kHeaderSize;
  end_ = kHeaderSize + static_cast<size_t>(length);
  if (Crc32(image.data() + at_, end_ - at_) != static_cast<ULONG>(Load(image.data() + end_, 4))) {
    Fail("damaged: the checksum does not match");
  }
}

void ImageReader::Fail(const std::string& why) {
  if (error_.empty()) error_ = why;
  at_ = end_;
}

bool ImageReader::Have(size_t count) {
  if (!ok()) return false;
  if (end_ - at_ < count) {
    Fail("a field at byte " + std::to_string(at_) + " runs past the end");
    return false;
  }
  return true;
}

UCHAR ImageReader::U8() {
  if (!Have(1)) return 0;
  return image_[at_++];
}

ULONG ImageReader::U32() {
  if (!Have(4)) return 0;
  const ULONG value = static_cast<ULONG>(Load(image_.data() + at_, 4));
  at_ += 4;
  return value;
}

ULONGLONG ImageReader::U64() {
  if (!Have(8)) return 0;
  const ULONGLONG value = Load(image_.data() + at_, 8);
  at_ += 8;
  return value;
}

std::u16string ImageReader::Text(size_t longest) {
  const size_t start = at_;
  const ULONG count = U32();
  if (count > longest) {
    Fail("a text at byte " + std::to_string(start) + " is longer than " + std::to_string(longest) +
         " characters");
    return u"";
  }
  if (!Have(size_t(count) * 2)) return u"";
  std::u16string text(count, u'\0');
  for (ULONG i = 0; i < count; ++i) {
    text[i] = static_cast<char16_t>(Load(image_.data() + at_, 2));
    at_ += 2;
  }
  return text;
}

std::vector<UCHAR> ImageReader::Bytes() {
  const ULONG count = U32();
  if (!Have(count)) return {};
  std::vector<UCHAR> bytes(image_.begin() + at_, image_.begin() + at_ + count);
  at_ += count;
  return bytes;
}

ULONG ImageReader::Count(size_t smallest) {
  const size_t start = at_;
  const ULONG count = U32();
  if (ok() && smallest != 0 && count > (end_ - at_) / smallest) {
    Fail("a count at byte " + std::to_string(start) + " (" + std::to_string(count) +
         ") names more records than the image holds");
    return 0;
  }
  return count;
}

void ImageReader::ExpectEnd() {
  if (ok() && at_ != end_) {
    Fail(std::to_string(end_ - at_) + " bytes follow the last field");
  }
}

}  // namespace nt
