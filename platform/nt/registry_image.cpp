#include "platform/nt/registry_image.h"

#include <algorithm>
#include <set>

#include "platform/nt/access_rights.h"
#include "platform/nt/handles.h"
#include "platform/nt/image_bytes.h"
#include "platform/nt/ntstatus.h"
#include "platform/nt/object_namespace.h"
#include "platform/nt/registry.h"

namespace nt {
namespace {

constexpr std::u16string_view kRoot = u"\\Registry";
constexpr size_t kLongestKeyName = 32767;
constexpr size_t kLongestComponent = 255;
constexpr size_t kLongestValueName = 16383;

UNICODE_STRING Counted(std::u16string& text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(text.size() * sizeof(WCHAR)), text.data()};
}

// Calls `query(buffer, length, &needed)` with a buffer that grows until the record fits.
template <typename Query>
NTSTATUS QueryGrowing(std::vector<UCHAR>* buffer, Query query) {
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status = query(buffer->data(), static_cast<ULONG>(buffer->size()), &needed);
    if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) return status;
    buffer->resize(std::max<size_t>(needed, buffer->size() * 2));
  }
}

// Appends the key `name` and every key below it to `keys`.
void SaveKey(const std::u16string& name, std::vector<RegistryImage::Key>* keys) {
  std::u16string counted_name = name;
  UNICODE_STRING unicode = Counted(counted_name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return;
  RegistryImage::Key saved;
  saved.name = name;
  std::vector<UCHAR> buffer(256);
  for (ULONG index = 0;; ++index) {
    const NTSTATUS status = QueryGrowing(&buffer, [&](PVOID out, ULONG length, PULONG needed) {
      return ZwEnumerateValueKey(key, index, KeyValueFullInformation, out, length, needed);
    });
    if (!NT_SUCCESS(status)) break;
    const auto* record = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    RegistryImage::Value value;
    value.name.assign(record->Name, record->NameLength / sizeof(WCHAR));
    value.type = record->Type;
    value.data.assign(buffer.data() + record->DataOffset,
                      buffer.data() + record->DataOffset + record->DataLength);
    saved.values.push_back(std::move(value));
  }
  std::vector<std::u16string> subkeys;
  for (ULONG index = 0;; ++index) {
    const NTSTATUS status = QueryGrowing(&buffer, [&](PVOID out, ULONG length, PULONG needed) {
      return ZwEnumerateKey(key, index, KeyBasicInformation, out, length, needed);
    });
    if (!NT_SUCCESS(status)) break;
    const auto* record = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer.data());
    subkeys.emplace_back(record->Name, record->NameLength / sizeof(WCHAR));
  }
  ZwClose(key);
  keys->push_back(std::move(saved));
  for (const std::u16string& subkey : subkeys) SaveKey(name + u"\\" + subkey, keys);
}

}  // namespace

std::vector<UCHAR> SaveRegistryImage() {
  std::vector<RegistryImage::Key> keys;
  SaveKey(std::u16string(kRoot), &keys);
  ImageWriter writer;
  writer.U32(static_cast<ULONG>(keys.size()));
  for (const RegistryImage::Key& key : keys) {
    writer.Text(key.name);
    writer.U32(static_cast<ULONG>(key.values.size()));
    for (const RegistryImage::Value& value : key.values) {
      writer.Text(value.name);
      writer.U32(value.type);
      writer.Bytes(value.data);
    }
  }
  return writer.Finish(kRegistryImageMagic, kRegistryImageVersion);
}

bool ParseRegistryImage(const std::vector<UCHAR>& bytes, RegistryImage* image, std::string* error) {
  ImageReader reader(bytes, kRegistryImageMagic, kRegistryImageVersion);
  RegistryImage parsed;
  std::set<std::u16string> known;  // folded names of the keys read so far
  // A key takes its name's count and its values' count; a value its name's count, its type
  // and its data's count.
  const ULONG key_count = reader.Count(8);
  for (ULONG k = 0; k < key_count && reader.ok(); ++k) {
    RegistryImage::Key key;
    key.name = reader.Text(kLongestKeyName);
    const std::u16string folded = FoldName(key.name);
    if (reader.ok()) {
      const size_t slash = key.name.rfind(u'\\');
      const std::u16string_view component = slash == std::u16string::npos
                                                ? std::u16string_view()
                                                : std::u16string_view(key.name).substr(slash + 1);
      if (k == 0 ? folded != u"\\REGISTRY"
                 : (component.empty() || component.size() > kLongestComponent ||
                    known.count(folded.substr(0, slash)) == 0)) {
        reader.Fail("key " + std::to_string(k) + " is not below a key before it");
      } else if (!known.insert(folded).second) {
        reader.Fail("key " + std::to_string(k) + " comes twice");
      }
    }
    const ULONG value_count = reader.Count(12);
    std::set<std::u16string> names;
    for (ULONG v = 0; v < value_count && reader.ok(); ++v) {
      RegistryImage::Value value;
      value.name = reader.Text(kLongestValueName);
      value.type = reader.U32();
      value.data = reader.Bytes();
      if (reader.ok() && !names.insert(FoldName(value.name)).second) {
        reader.Fail("key " + std::to_string(k) + " has two values of one name");
      }
      key.values.push_back(std::move(value));
    }
    parsed.keys.push_back(std::move(key));
  }
  reader.ExpectEnd();
  if (!reader.ok()) {
    *error = reader.error();
    return false;
  }
  *image = std::move(parsed);
  return true;
}

NTSTATUS RestoreRegistryImage(const RegistryImage& image) {
  for (const RegistryImage::Key& key : image.keys) {
    NTSTATUS status = RegistryControl::CreateKey(key.name);
    if (!NT_SUCCESS(status)) return status;
    for (const RegistryImage::Value& value : key.values) {
      status = RegistryControl::SetValue(key.name, value.name, value.type, value.data.data(),
                                         static_cast<ULONG>(value.data.size()));
      if (!NT_SUCCESS(status)) return status;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace nt
