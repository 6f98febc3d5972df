// Feeds arbitrary bytes to the language-file reader as a file on the machine's C: volume, then
// looks texts up in it. The first five bytes choose the lookup: a 32-bit id (little endian),
// then the kind (bits 0-1, kind 3 being no kind) and the module's spelling (bit 2); the rest is
// the file. Whatever the file holds, a lookup either fails with an empty text or returns a text
// no longer than the file with no blanks at either end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/w_lang_file.h"
#include "platform/fs/file_systems.h"
#include "platform/nt/machine_kernel.h"
#include "platform/win32/file_api.h"

namespace {

constexpr char16_t kPath[] = u"C:\\kvlang.lng";

// The machine of the whole run, with its volume C:. It ends at exit, before the statics of the
// file systems it started, so that nothing of it is left behind.
class LangMachine {
 public:
  LangMachine() {
    if (!NT_SUCCESS(fs::FileSystems::Start())) std::abort();
    fs::FileSystems::AddVolume(u'C', fs::Format::kNtfs, 0x0A1B2C3D);
  }

 private:
  nt::Kernel kernel_;
};

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

// Writes the file through the user-mode routines, so that every run reads its own bytes.
void WriteLangFile(const std::uint8_t* data, std::size_t size) {
  HANDLE file = CreateFileW(kPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) std::abort();
  DWORD written = 0;
  if (size != 0 && (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) ||
                    written != size)) {
    std::abort();
  }
  CloseHandle(file);
}

void Check(const WLangFile& lang, int kind, int id, std::size_t fileSize) {
  std::u16string text = u"stale";
  const bool found = lang.Lookup(kind, id, &text);
  if (!found) {
    if (!text.empty()) std::abort();
    return;
  }
  if (!lang.IsOpen() || kind < WLangFile::kControl || kind > WLangFile::kHelp) std::abort();
  if (text.size() * sizeof(char16_t) > fileSize) std::abort();
  if (!text.empty() && (IsBlank(text.front()) || IsBlank(text.back()))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static LangMachine machine;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  std::int32_t id = 0;
  std::memcpy(&id, data, sizeof id);
  const int kind = data[4] & 3;
  const char16_t* module = (data[4] & 4) != 0 ? u"KvSyncSvc" : u"kvagent";
  data += 5;
  size -= 5;
  WriteLangFile(data, size);
  WLangFile lang;
  const bool opened = lang.Open(kPath, module);
  if (opened != (size != 0)) std::abort();
  Check(lang, kind, id, size);
  // The ids the programs ask for most.
  Check(lang, WLangFile::kControl, 1004, size);
  Check(lang, WLangFile::kMsg, 5001, size);
  lang.Close();
  Check(lang, kind, id, size);
  return 0;
}
