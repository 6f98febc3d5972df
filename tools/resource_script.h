// Resource scripts: the text form of a module's dialogs and string tables, compiled into the
// binary resources the machine's dialog manager and LoadStringW read.
//
// The script language is the usual one of Windows projects, as far as our modules use it:
//   #include "ids.h"              reads the #define lines of a header beside the script
//   #define NAME value
//   id DIALOGEX x, y, cx, cy      STYLE, EXSTYLE, CAPTION, FONT, CLASS; then BEGIN ... END
//                                 with LTEXT, RTEXT, CTEXT, PUSHBUTTON, DEFPUSHBUTTON,
//                                 CHECKBOX, AUTOCHECKBOX, RADIOBUTTON, AUTORADIOBUTTON,
//                                 GROUPBOX, EDITTEXT, LISTBOX, COMBOBOX, ICON and CONTROL
//   STRINGTABLE BEGIN id, "text" ... END
//   id RCDATA "file"              a file's bytes as they are (also RT_MANIFEST, or a type
//                                 number other than 5 and 6)
//   LANGUAGE x, y                 read and ignored: the machine has one language
// Numbers are decimal or 0x hexadecimal; style expressions join names and numbers with "|"
// and "+", and "NOT x" takes bits away from the statement's default style. Comments are // and
// /* */. Texts are UTF-8 in the script and UTF-16 in the result. Ids are 16-bit numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rc {

// One compiled resource: type (5 dialog, 6 string block, or the type of a file's bytes), id
// and bytes.
struct Resource {
  uint16_t type;
  uint16_t id;
  std::vector<uint8_t> bytes;
};

// Reads a file named by #include or a file resource; false when it cannot be read.
using IncludeReader = bool (*)(const std::string& name, std::string* text);

struct CompileResult {
  bool ok = false;
  // On failure: "line N: what is wrong".
  std::string error;
  // Sorted by type, then id.
  std::vector<Resource> resources;
};

// Compiles a script. Every error stops the compilation with the line it was found on: an
// unknown name or statement, a missing comma or END, a number out of range, a string that does
// not end, a resource id given twice.
CompileResult Compile(std::string_view script, IncludeReader include);

// The C++ source that links `resources` into a module: a function `function` returning the
// table as std::span<const ModuleResource>.
std::string EmitSource(const std::vector<Resource>& resources, const std::string& function,
                       const std::string& script_name);

}  // namespace rc
