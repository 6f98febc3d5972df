#include "platform/fs/volume.h"

#include <algorithm>
#include <cstring>

namespace fs {
namespace {

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now;
}

bool IsShortNameCharacter(char16_t c) {
  if (c >= u'A' && c <= u'Z') return true;
  if (c >= u'0' && c <= u'9') return true;
  return std::u16string_view(u"$%'-_@~`!(){}^#&").find(c) != std::u16string_view::npos;
}

// A valid 8.3 name: up to 8 characters, an optional dot and up to 3 more, all of them allowed
// in short names once upper-cased.
bool IsShortName(std::u16string_view name) {
  if (name == u"." || name == u"..") return true;
  const size_t dot = name.find(u'.');
  const std::u16string_view base = name.substr(0, dot);
  const std::u16string_view extension =
      dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3) return false;
  if (extension.find(u'.') != std::u16string_view::npos) return false;
  for (char16_t c : name) {
    if (c != u'.' && !IsShortNameCharacter(RtlUpcaseUnicodeChar(c))) return false;
  }
  for (char16_t c : name) {
    if (c != RtlUpcaseUnicodeChar(c)) return false;
  }
  return true;
}

}  // namespace

ULONG SerialOffsetOf(Format format) {
  switch (format) {
    case Format::kFat:
      return 39;
    case Format::kFat32:
      return 67;
    case Format::kNtfs:
      return 72;
  }
  return 0;
}

std::u16string_view FileSystemNameOf(Format format) {
  switch (format) {
    case Format::kFat:
      return u"FAT";
    case Format::kFat32:
      return u"FAT32";
    case Format::kNtfs:
      return u"NTFS";
  }
  return u"";
}

ULONG AttributesOf(Format format) {
  if (format != Format::kNtfs) return FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  return FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS |
         FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS | FILE_NAMED_STREAMS;
}

std::u16string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = RtlUpcaseUnicodeChar(c);
  return folded;
}

std::u16string ShortNameFor(const Node& folder, std::u16string_view name) {
  if (IsShortName(name)) return u"";
  const size_t dot = name.rfind(u'.');
  std::u16string base;
  std::u16string extension;
  for (size_t i = 0; i < name.size() && i != dot; ++i) {
    const char16_t c = RtlUpcaseUnicodeChar(name[i]);
    if (IsShortNameCharacter(c)) base.push_back(c);
  }
  if (dot != std::u16string_view::npos) {
    for (size_t i = dot + 1; i < name.size() && extension.size() < 3; ++i) {
      const char16_t c = RtlUpcaseUnicodeChar(name[i]);
      if (IsShortNameCharacter(c)) extension.push_back(c);
    }
  }
  if (base.empty()) base = u"FILE";
  for (int n = 1; n < 1000000; ++n) {
    const std::u16string suffix = u"~" + [n] {
      std::u16string digits;
      for (int v = n; v != 0; v /= 10) digits.insert(digits.begin(), char16_t(u'0' + v % 10));
      return digits;
    }();
    std::u16string candidate = base.substr(0, 8 - suffix.size()) + suffix;
    if (!extension.empty()) candidate += u"." + extension;
    bool taken = folder.children.count(candidate) != 0;
    for (const auto& [key, link] : folder.children) {
      if (link.short_name == candidate) taken = true;
    }
    if (!taken) return candidate;
  }
  return u"";
}

bool MatchesPattern(std::u16string_view pattern, std::u16string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern.front() == u'*') {
    for (size_t skip = 0; skip <= name.size(); ++skip) {
      if (MatchesPattern(pattern.substr(1), name.substr(skip))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  if (pattern.front() != u'?' &&
      RtlUpcaseUnicodeChar(pattern.front()) != RtlUpcaseUnicodeChar(name.front())) {
    return false;
  }
  return MatchesPattern(pattern.substr(1), name.substr(1));
}

Volume::Volume(Format format, ULONG serial, std::u16string_view label)
    : format_(format), serial_(serial), label_(label), created_(Now()) {
  root_ = std::make_shared<Node>();
  root_->id = NextId();
  root_->directory = true;
  root_->attributes = FILE_ATTRIBUTE_DIRECTORY;
  root_->creation = root_->access = root_->write = root_->change = created_;
  Remember(root_);
}

ULONG Volume::serial() const { return serial_; }

std::vector<UCHAR> Volume::BootSector() const {
  std::vector<UCHAR> sector(kSectorSize, 0);
  sector[0] = 0xEB;
  sector[1] = 0x52;
  sector[2] = 0x90;
  std::memcpy(&sector[SerialOffsetOf(format_)], &serial_, sizeof(serial_));
  // The signature each file system looks for.
  switch (format_) {
    case Format::kFat:
      std::memcpy(&sector[54], "FAT16   ", 8);
      break;
    case Format::kFat32:
      std::memcpy(&sector[82], "FAT32   ", 8);
      break;
    case Format::kNtfs:
      std::memcpy(&sector[3], "NTFS    ", 8);
      break;
  }
  sector[510] = 0x55;
  sector[511] = 0xAA;
  return sector;
}

void Volume::SetGone(bool gone) {
  std::lock_guard guard(lock_);
  gone_ = gone;
}

bool Volume::gone() const {
  std::lock_guard guard(lock_);
  return gone_;
}

void Volume::SetCapacity(ULONGLONG bytes) {
  std::lock_guard guard(lock_);
  capacity_ = bytes;
}

ULONGLONG Volume::capacity() const { return capacity_; }

void Volume::FailNext(RequestKind kind, ULONG count, NTSTATUS status) {
  std::lock_guard guard(lock_);
  faults_.push_back(Fault{kind, count, status});
}

void Volume::SetCompleteLater(bool later) {
  std::lock_guard guard(lock_);
  complete_later_ = later;
}

bool Volume::complete_later() const {
  std::lock_guard guard(lock_);
  return complete_later_;
}

void Volume::CutPowerAfter(ULONG requests) {
  std::lock_guard guard(lock_);
  power_left_ = requests;
}

void Volume::RestorePower() {
  std::lock_guard guard(lock_);
  power_left_ = -1;
}

NTSTATUS Volume::TakeFault(RequestKind kind) {
  if (power_left_ == 0) return STATUS_DEVICE_NOT_READY;
  if (power_left_ > 0) --power_left_;
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->kind != kind && it->kind != RequestKind::kAny) continue;
    const NTSTATUS status = it->status;
    if (--it->count == 0) faults_.erase(it);
    return status;
  }
  return STATUS_SUCCESS;
}

bool Volume::FaultArmed(RequestKind kind) const {
  // A counted power cut counts the fast transfers too, so they go as requests.
  if (power_left_ >= 0) return true;
  return std::any_of(faults_.begin(), faults_.end(), [kind](const auto& fault) {
    return fault.kind == kind || fault.kind == RequestKind::kAny;
  });
}

std::shared_ptr<Node> Volume::NodeById(ULONGLONG id) {
  auto it = by_id_.find(id);
  return it == by_id_.end() ? nullptr : it->second.lock();
}

void Volume::Remember(const std::shared_ptr<Node>& node) { by_id_[node->id] = node; }

ULONGLONG Volume::UsedBytes() const {
  ULONGLONG used = 0;
  std::vector<const Node*> pending{root_.get()};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    for (const auto& [key, stream] : node->streams) used += ULONGLONG(stream.allocation);
    for (const auto& [key, link] : node->children) {
      if (link.node->parent.lock().get() == node && link.node->name == link.name) {
        pending.push_back(link.node.get());
      }
    }
  }
  return used;
}

bool Volume::Fits(LONGLONG more) const {
  return more <= 0 || UsedBytes() + ULONGLONG(more) <= capacity_;
}

std::shared_ptr<Node> Volume::MakePath(std::u16string_view path, bool directory) {
  std::shared_ptr<Node> folder = root_;
  size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && path[at] == u'\\') ++at;
    if (at == path.size()) break;
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view name = path.substr(at, end - at);
    const bool last = end == path.size();
    auto it = folder->children.find(Fold(name));
    if (it == folder->children.end()) {
      auto node = std::make_shared<Node>();
      node->id = NextId();
      node->directory = !last || directory;
      node->attributes = node->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      node->creation = node->access = node->write = node->change = Now();
      node->parent = folder;
      node->name = std::u16string(name);
      if (!node->directory) node->streams[u""];
      Remember(node);
      it = folder->children
               .emplace(Fold(name), Link{node->name, ShortNameFor(*folder, name), node})
               .first;
    }
    if (!last && !it->second.node->directory) return nullptr;
    folder = it->second.node;
    at = end;
  }
  return folder;
}

NTSTATUS Volume::PutFile(std::u16string_view path, std::string_view data, ULONG attributes) {
  std::lock_guard guard(lock_);
  std::shared_ptr<Node> node = MakePath(path, false);
  if (node == nullptr || node->directory) return STATUS_OBJECT_NAME_COLLISION;
  Stream& stream = node->streams[u""];
  stream.data.assign(data.begin(), data.end());
  stream.allocation = LONGLONG(stream.data.size());
  CcPurgeCacheSection(stream.section.get(), nullptr, 0, FALSE);
  if (attributes != 0) node->attributes = attributes;
  return STATUS_SUCCESS;
}

NTSTATUS Volume::PutDirectory(std::u16string_view path) {
  std::lock_guard guard(lock_);
  std::shared_ptr<Node> node = MakePath(path, true);
  return node != nullptr && node->directory ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

std::shared_ptr<Node> Volume::Find(std::u16string_view path) {
  std::lock_guard guard(lock_);
  std::shared_ptr<Node> node = root_;
  size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && path[at] == u'\\') ++at;
    if (at == path.size()) break;
    size_t end = path.find(u'\\', at);
    if (end == std::u16string_view::npos) end = path.size();
    auto it = node->children.find(Fold(path.substr(at, end - at)));
    if (it == node->children.end()) return nullptr;
    node = it->second.node;
    at = end;
  }
  return node;
}

std::string Volume::ReadFile(std::u16string_view path, bool* found) {
  std::shared_ptr<Node> node = Find(path);
  std::lock_guard guard(lock_);
  const bool exists = node != nullptr && !node->directory;
  if (found != nullptr) *found = exists;
  if (!exists) return "";
  const Stream& stream = node->streams[u""];
  std::string data(stream.data.begin(), stream.data.end());
  nt::OverlayCachedData(stream.section.get(), &data);
  return data;
}

}  // namespace fs
