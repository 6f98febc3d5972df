// The language file: the programs' user-visible texts by number, replaceable by a UTF-16
// little-endian text file. Sections are headed "[module-kind]" (kind "control", "msg" or
// "help"); inside a section each line is "id=text". Lines end with CR LF, LF or CR; a line whose
// first non-blank character is ";" is a comment; a line without "=" is skipped; the next line
// starting with "[" ends the section. While a line is read, \" \' \n \r \t become the
// character they name (a backslash before anything else stays as it is), and a line is read in
// pieces of at most 4096 file characters, each piece counting as a line. The text ends at its
// first NUL character.
#pragma once

#include <string>

#include "framework/w_object.h"
#include "platform/win32/windows_types.h"

class WLangFile : public WObject {
 public:
  enum Kind { kControl = 0, kMsg = 1, kHelp = 2 };

  // The most file characters read as one line.
  static constexpr size_t kMaxLine = 4096;

  WLangFile() = default;
  WLangFile(const WLangFile&) = delete;
  WLangFile& operator=(const WLangFile&) = delete;
  // Closes the file.
  ~WLangFile() override;

  // Closes whatever was open, keeps the module name lower-cased, and maps the file read-only
  // (GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING). False when the file cannot be opened, is
  // empty or larger than 4 GB, or cannot be mapped; nothing stays open then.
  bool Open(LPCWSTR path, LPCWSTR module);
  // The text of `id` in this module's section of `kind` (kControl, kMsg or kHelp), with
  // blanks trimmed at both ends. `text` is emptied first, so a failed lookup leaves it empty.
  // The first "[module-kind]" in the file (case-sensitive) starts the section; the first
  // entry with the id counts.
  bool Lookup(int kind, int id, std::u16string* text) const;
  void Close();

  bool IsOpen() const { return view_ != nullptr; }

 private:
  const WCHAR* view_ = nullptr;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE mapping_ = nullptr;
  DWORD size_ = 0;
  std::u16string module_;
};
