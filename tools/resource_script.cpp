#include "tools/resource_script.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "platform/win32/control_styles.h"
#include "platform/win32/window_api.h"
#include "tools/script_names.h"

namespace rc {
namespace {

constexpr uint16_t kDialogType = 5;
constexpr uint16_t kStringType = 6;
constexpr uint16_t kRawDataType = 10;
constexpr uint16_t kManifestType = 24;

// Classes that templates name by their atom.
struct ClassAtom {
  const char* name;
  uint16_t atom;
};
constexpr ClassAtom kClassAtoms[] = {
    {"BUTTON", 0x80},  {"EDIT", 0x81},      {"STATIC", 0x82},
    {"LISTBOX", 0x83}, {"SCROLLBAR", 0x84}, {"COMBOBOX", 0x85},
};

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// A failure of the compilation: the message already carries its line.
struct Failure {
  std::string message;
};

enum class TokenKind { kEnd, kName, kNumber, kString, kPunct };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;  // a name, the punctuation, or a string's UTF-8 content
  int64_t number = 0;
  int line = 0;
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  [[noreturn]] void Fail(int line, const std::string& what) const {
    throw Failure{"line " + std::to_string(line) + ": " + what};
  }

  // The next token; a preprocessor line comes back whole as a name starting with "#".
  Token Next() {
    SkipBlanks();
    Token token;
    token.line = line_;
    if (pos_ >= text_.size()) return token;
    const char c = text_[pos_];
    if (c == '#') {
      const size_t end = text_.find('\n', pos_);
      token.kind = TokenKind::kName;
      token.text =
          std::string(text_.substr(pos_, end == std::string_view::npos ? end : end - pos_));
      pos_ = end == std::string_view::npos ? text_.size() : end;
      return token;
    }
    if (c == '"') return ReadString(token);
    if (IsDigit(c)) return ReadNumber(token);
    if (IsNameChar(c)) {
      const size_t start = pos_;
      while (pos_ < text_.size() && (IsNameChar(text_[pos_]) || IsDigit(text_[pos_]))) ++pos_;
      token.kind = TokenKind::kName;
      token.text = std::string(text_.substr(start, pos_ - start));
      return token;
    }
    if (std::string_view(",|+-(){}").find(c) == std::string_view::npos) {
      Fail(line_, std::string("unexpected character '") + c + "'");
    }
    ++pos_;
    token.kind = TokenKind::kPunct;
    token.text = std::string(1, c);
    return token;
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  }

  void SkipBlanks() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "//") {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (text_.substr(pos_, 2) == "/*") {
        const size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) Fail(line_, "comment does not end");
        line_ += static_cast<int>(std::count(text_.begin() + static_cast<long>(pos_),
                                             text_.begin() + static_cast<long>(end), '\n'));
        pos_ = end + 2;
      } else {
        return;
      }
    }
  }

  Token ReadNumber(Token& token) {
    int64_t value = 0;
    int base = 10;
    if (text_.substr(pos_, 2) == "0x" || text_.substr(pos_, 2) == "0X") {
      base = 16;
      pos_ += 2;
    }
    size_t digits = 0;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      int digit;
      if (IsDigit(c)) {
        digit = c - '0';
      } else if (base == 16 && c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (base == 16 && c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        break;
      }
      value = value * base + digit;
      if (value > 0xFFFFFFFFll) Fail(line_, "number too large");
      ++digits;
      ++pos_;
    }
    if (digits == 0) Fail(line_, "hexadecimal number without digits");
    if (pos_ < text_.size() && (text_[pos_] == 'L' || text_[pos_] == 'l')) ++pos_;
    token.kind = TokenKind::kNumber;
    token.number = value;
    return token;
  }

  Token ReadString(Token& token) {
    ++pos_;
    std::string value;
    for (;;) {
      if (pos_ >= text_.size() || text_[pos_] == '\n') Fail(token.line, "string does not end");
      const char c = text_[pos_++];
      if (c == '"') {
        if (pos_ < text_.size() && text_[pos_] == '"') {
          value += '"';
          ++pos_;
          continue;
        }
        break;
      }
      if (c == '\\' && pos_ < text_.size()) {
        const char escaped = text_[pos_++];
        switch (escaped) {
          case 'n':
            value += '\n';
            break;
          case 't':
            value += '\t';
            break;
          case 'r':
            value += '\r';
            break;
          case '\\':
            value += '\\';
            break;
          case '"':
            value += '"';
            break;
          default:
            value += '\\';
            value += escaped;
            break;
        }
        continue;
      }
      value += c;
    }
    token.kind = TokenKind::kString;
    token.text = value;
    return token;
  }

  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 1;
};

// Bits a style expression sets, and bits it takes away ("NOT").
struct Style {
  uint32_t set = 0;
  uint32_t clear = 0;
  uint32_t Apply(uint32_t base) const { return (base | set) & ~clear; }
};

// Little-endian writing of template records.
class Writer {
 public:
  void Word(uint32_t value) {
    bytes_.push_back(static_cast<uint8_t>(value));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
  }
  void Dword(uint32_t value) {
    Word(value & 0xFFFF);
    Word(value >> 16);
  }
  void Byte(uint8_t value) { bytes_.push_back(value); }
  void Text(const std::u16string& text) {
    for (char16_t c : text) Word(c);
    Word(0);
  }
  void Align4() {
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
  }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

struct Control {
  std::u16string text;
  bool text_is_number = false;
  uint16_t text_number = 0;
  uint32_t id = 0;
  std::string class_name;  // upper case for the atom classes
  uint32_t style = 0;
  uint32_t ex_style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
};

class Parser {
 public:
  Parser(std::string_view script, IncludeReader include) : lexer_(script), include_(include) {
    Advance();
  }

  std::vector<Resource> Parse() {
    std::map<uint16_t, std::u16string> strings;
    while (token_.kind != TokenKind::kEnd) {
      if (token_.kind == TokenKind::kName && token_.text[0] == '#') {
        Preprocess(token_);
        Advance();
        continue;
      }
      if (IsWord("STRINGTABLE")) {
        Advance();
        ParseStringTable(&strings);
        continue;
      }
      if (IsWord("LANGUAGE")) {
        SkipLanguage();
        continue;
      }
      const int line = token_.line;
      const uint16_t id = Id(Expression().set);
      if (IsWord("DIALOGEX")) {
        Advance();
        Add(line, Resource{kDialogType, id, ParseDialog()});
        continue;
      }
      Add(line, Resource{FileType(line), id, FileBytes(line)});
    }
    AddStrings(strings);
    std::sort(resources_.begin(), resources_.end(), [](const Resource& a, const Resource& b) {
      return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    return std::move(resources_);
  }

 private:
  [[noreturn]] void Fail(int line, const std::string& what) const { lexer_.Fail(line, what); }

  void Advance() { token_ = lexer_.Next(); }

  bool IsWord(const char* word) const {
    return token_.kind == TokenKind::kName && Upper(token_.text) == word;
  }
  bool IsPunct(char c) const { return token_.kind == TokenKind::kPunct && token_.text[0] == c; }

  void Expect(char c) {
    if (!IsPunct(c)) Fail(token_.line, std::string("expected '") + c + "'");
    Advance();
  }
  bool Accept(char c) {
    if (!IsPunct(c)) return false;
    Advance();
    return true;
  }

  void Begin() {
    if (IsWord("BEGIN") || IsPunct('{')) {
      Advance();
      return;
    }
    Fail(token_.line, "expected BEGIN");
  }
  bool AtEnd() const { return IsWord("END") || IsPunct('}'); }

  void Preprocess(const Token& line) {
    std::string rest = line.text.substr(1);
    Lexer words(rest);
    const Token directive = words.Next();
    if (directive.text == "define") {
      const Token name = words.Next();
      if (name.kind != TokenKind::kName) Fail(line.line, "#define without a name");
      Parser value(std::string_view(rest).substr(rest.find(name.text, rest.find("define") + 6) +
                                                 name.text.size()),
                   include_);
      value.defines_ = defines_;
      const Style style = value.Expression();
      defines_[name.text] = style.set;
    } else if (directive.text == "include") {
      const Token name = words.Next();
      std::string header;
      if (name.kind != TokenKind::kString || include_ == nullptr || !include_(name.text, &header)) {
        Fail(line.line, "cannot include " + name.text);
      }
      Parser included(header, include_);
      included.defines_ = defines_;
      included.ReadDefinesOnly();
      defines_ = included.defines_;
    } else if (directive.text != "pragma") {
      Fail(line.line, "unknown directive #" + directive.text);
    }
  }

  // A header: its #define lines count; everything else in it is skipped.
  void ReadDefinesOnly() {
    for (; token_.kind != TokenKind::kEnd; Advance()) {
      if (token_.kind == TokenKind::kName && token_.text.rfind("#define", 0) == 0) {
        Preprocess(token_);
      }
    }
  }

  int64_t NameValue(const Token& name) {
    auto defined = defines_.find(name.text);
    if (defined != defines_.end()) return defined->second;
    int64_t value;
    if (!LookUpName(name.text, &value)) Fail(name.line, "unknown name " + name.text);
    return value;
  }

  Style Term() {
    Style style;
    if (IsWord("NOT")) {
      Advance();
      style.clear = Term().set;
      return style;
    }
    if (Accept('-')) {
      style.set = static_cast<uint32_t>(-static_cast<int64_t>(Term().set));
      return style;
    }
    if (Accept('(')) {
      style = Expression();
      Expect(')');
      return style;
    }
    if (token_.kind == TokenKind::kNumber) {
      style.set = static_cast<uint32_t>(token_.number);
    } else if (token_.kind == TokenKind::kName && token_.text[0] != '#') {
      style.set = static_cast<uint32_t>(NameValue(token_));
    } else {
      Fail(token_.line, "expected a number or a name");
    }
    Advance();
    return style;
  }

  Style Expression() {
    Style style = Term();
    while (IsPunct('|') || IsPunct('+')) {
      Advance();
      const Style next = Term();
      style.set |= next.set;
      style.clear |= next.clear;
    }
    return style;
  }

  uint16_t Id(uint32_t value) {
    // A negative id (IDC_STATIC) keeps its low 16 bits, as templates store it.
    const auto as_signed = static_cast<int32_t>(value);
    if (as_signed < -32768 || as_signed > 65535) Fail(token_.line, "id out of range");
    return static_cast<uint16_t>(value);
  }

  int16_t Coordinate() {
    const auto value = static_cast<int32_t>(Expression().set);
    if (value < -32768 || value > 32767) Fail(token_.line, "coordinate out of range");
    return static_cast<int16_t>(value);
  }

  std::u16string String() {
    if (token_.kind != TokenKind::kString) Fail(token_.line, "expected a string");
    std::u16string text = Utf16(token_.text, token_.line);
    Advance();
    return text;
  }

  std::u16string Utf16(const std::string& utf8, int line) {
    std::u16string text;
    for (size_t i = 0; i < utf8.size();) {
      const auto lead = static_cast<uint8_t>(utf8[i]);
      uint32_t code;
      size_t length;
      if (lead < 0x80) {
        code = lead;
        length = 1;
      } else if ((lead & 0xE0) == 0xC0) {
        code = lead & 0x1F;
        length = 2;
      } else if ((lead & 0xF0) == 0xE0) {
        code = lead & 0x0F;
        length = 3;
      } else if ((lead & 0xF8) == 0xF0) {
        code = lead & 0x07;
        length = 4;
      } else {
        Fail(line, "text is not UTF-8");
      }
      if (i + length > utf8.size()) Fail(line, "text is not UTF-8");
      for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<uint8_t>(utf8[i + k]);
        if ((next & 0xC0) != 0x80) Fail(line, "text is not UTF-8");
        code = (code << 6) | (next & 0x3F);
      }
      i += length;
      if (code >= 0x10000) {
        code -= 0x10000;
        text += static_cast<char16_t>(0xD800 + (code >> 10));
        text += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
      } else {
        text += static_cast<char16_t>(code);
      }
    }
    return text;
  }

  void Add(int line, Resource resource) {
    for (const Resource& other : resources_) {
      if (other.type == resource.type && other.id == resource.id) {
        Fail(line, "resource " + std::to_string(resource.id) + " given twice");
      }
    }
    resources_.push_back(std::move(resource));
  }

  // The language of what follows: the machine has one, so it is read and not kept.
  void SkipLanguage() {
    Advance();
    Expression();
    Expect(',');
    Expression();
  }

  // The type of a resource whose bytes come from a file: RCDATA, RT_MANIFEST or a number other
  // than the types the compiler makes itself.
  uint16_t FileType(int line) {
    uint16_t type = 0;
    if (IsWord("RCDATA")) {
      type = kRawDataType;
    } else if (IsWord("RT_MANIFEST")) {
      type = kManifestType;
    } else if (token_.kind == TokenKind::kNumber && token_.number > 0 && token_.number <= 0xFFFF &&
               token_.number != kDialogType && token_.number != kStringType) {
      type = static_cast<uint16_t>(token_.number);
    } else {
      Fail(line, "expected DIALOGEX, RCDATA, RT_MANIFEST or a resource type");
    }
    Advance();
    return type;
  }

  // The bytes of the file named next, read beside the script.
  std::vector<uint8_t> FileBytes(int line) {
    if (token_.kind != TokenKind::kString) Fail(line, "expected a file name");
    std::string bytes;
    if (include_ == nullptr || !include_(token_.text, &bytes)) {
      Fail(line, "cannot read " + token_.text);
    }
    Advance();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  }

  void ParseStringTable(std::map<uint16_t, std::u16string>* strings) {
    Begin();
    while (!AtEnd()) {
      if (token_.kind == TokenKind::kEnd) Fail(token_.line, "STRINGTABLE without END");
      const int line = token_.line;
      const uint16_t id = Id(Expression().set);
      Accept(',');
      std::u16string text = String();
      if (text.size() > 0xFFFF) Fail(line, "string too long");
      if (!strings->emplace(id, std::move(text)).second) {
        Fail(line, "string " + std::to_string(id) + " given twice");
      }
    }
    Advance();
  }

  void AddStrings(const std::map<uint16_t, std::u16string>& strings) {
    std::map<uint16_t, std::vector<const std::u16string*>> blocks;
    for (const auto& [id, text] : strings) {
      auto& block = blocks[static_cast<uint16_t>(id / 16 + 1)];
      block.resize(16, nullptr);
      block[id % 16] = &text;
    }
    for (const auto& [block_id, texts] : blocks) {
      Writer writer;
      for (const std::u16string* text : texts) {
        writer.Word(text != nullptr ? static_cast<uint32_t>(text->size()) : 0);
        if (text != nullptr) {
          for (char16_t c : *text) writer.Word(c);
        }
      }
      Add(0, Resource{kStringType, block_id, writer.Take()});
    }
  }

  std::vector<uint8_t> ParseDialog() {
    const int16_t x = Coordinate();
    Expect(',');
    const int16_t y = Coordinate();
    Expect(',');
    const int16_t cx = Coordinate();
    Expect(',');
    const int16_t cy = Coordinate();
    uint32_t style = WS_POPUP | WS_BORDER | WS_SYSMENU;
    uint32_t ex_style = 0;
    std::u16string caption;
    std::u16string font_face;
    std::u16string class_name;
    uint16_t font_size = 0, font_weight = 0;
    uint8_t font_italic = 0, font_charset = 1;
    bool has_font = false;
    bool has_caption = false;
    for (;;) {
      if (IsWord("STYLE")) {
        Advance();
        style = Expression().Apply(0);
      } else if (IsWord("EXSTYLE")) {
        Advance();
        ex_style = Expression().Apply(0);
      } else if (IsWord("CAPTION")) {
        Advance();
        caption = String();
        has_caption = true;
      } else if (IsWord("LANGUAGE")) {
        SkipLanguage();
      } else if (IsWord("CLASS")) {
        Advance();
        class_name = String();
      } else if (IsWord("FONT")) {
        Advance();
        has_font = true;
        font_size = Id(Expression().set);
        Expect(',');
        font_face = String();
        if (Accept(',')) font_weight = Id(Expression().set);
        if (Accept(',')) font_italic = static_cast<uint8_t>(Expression().set);
        if (Accept(',')) font_charset = static_cast<uint8_t>(Expression().set);
      } else {
        break;
      }
    }
    if (has_caption) style |= WS_CAPTION;
    if (has_font) style |= DS_SETFONT;
    Begin();
    std::vector<Control> controls;
    while (!AtEnd()) {
      if (token_.kind == TokenKind::kEnd) Fail(token_.line, "DIALOGEX without END");
      controls.push_back(ParseControl());
    }
    Advance();
    if (controls.size() > 0xFFFF) Fail(token_.line, "too many controls");

    Writer writer;
    writer.Word(1);
    writer.Word(0xFFFF);
    writer.Dword(0);  // help id
    writer.Dword(ex_style);
    writer.Dword(style);
    writer.Word(static_cast<uint32_t>(controls.size()));
    writer.Word(static_cast<uint16_t>(x));
    writer.Word(static_cast<uint16_t>(y));
    writer.Word(static_cast<uint16_t>(cx));
    writer.Word(static_cast<uint16_t>(cy));
    writer.Word(0);  // no menu
    if (class_name.empty()) {
      writer.Word(0);
    } else {
      writer.Text(class_name);
    }
    writer.Text(caption);
    if ((style & (DS_SETFONT | DS_SHELLFONT)) != 0) {
      writer.Word(font_size);
      writer.Word(font_weight);
      writer.Byte(font_italic);
      writer.Byte(font_charset);
      writer.Text(font_face);
    }
    for (const Control& control : controls) {
      writer.Align4();
      writer.Dword(0);  // help id
      writer.Dword(control.ex_style);
      writer.Dword(control.style);
      writer.Word(static_cast<uint16_t>(control.x));
      writer.Word(static_cast<uint16_t>(control.y));
      writer.Word(static_cast<uint16_t>(control.cx));
      writer.Word(static_cast<uint16_t>(control.cy));
      writer.Dword(control.id);
      std::optional<uint16_t> atom;
      for (const ClassAtom& known : kClassAtoms) {
        if (Upper(control.class_name) == known.name) atom = known.atom;
      }
      if (atom) {
        writer.Word(0xFFFF);
        writer.Word(*atom);
      } else {
        writer.Text(std::u16string(control.class_name.begin(), control.class_name.end()));
      }
      if (control.text_is_number) {
        writer.Word(0xFFFF);
        writer.Word(control.text_number);
      } else {
        writer.Text(control.text);
      }
      writer.Word(0);  // no creation data
    }
    return writer.Take();
  }

  // The statements: class, default style, and whether a text comes first.
  struct Statement {
    const char* word;
    const char* class_name;
    uint32_t style;
    bool has_text;
  };

  Control ParseControl() {
    static constexpr Statement kStatements[] = {
        {"LTEXT", "STATIC", SS_LEFT | WS_GROUP, true},
        {"RTEXT", "STATIC", SS_RIGHT | WS_GROUP, true},
        {"CTEXT", "STATIC", SS_CENTER | WS_GROUP, true},
        {"ICON", "STATIC", SS_ICON, true},
        {"PUSHBUTTON", "BUTTON", BS_PUSHBUTTON | WS_TABSTOP, true},
        {"DEFPUSHBUTTON", "BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, true},
        {"CHECKBOX", "BUTTON", BS_CHECKBOX | WS_TABSTOP, true},
        {"AUTOCHECKBOX", "BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, true},
        {"RADIOBUTTON", "BUTTON", BS_RADIOBUTTON, true},
        {"AUTORADIOBUTTON", "BUTTON", BS_AUTORADIOBUTTON, true},
        {"GROUPBOX", "BUTTON", BS_GROUPBOX, true},
        {"EDITTEXT", "EDIT", ES_LEFT | WS_BORDER | WS_TABSTOP, false},
        {"LISTBOX", "LISTBOX", LBS_NOTIFY | WS_BORDER, false},
        {"COMBOBOX", "COMBOBOX", CBS_SIMPLE | WS_TABSTOP, false},
    };
    const int line = token_.line;
    Control control;
    uint32_t style = 0;
    if (IsWord("CONTROL")) {
      Advance();
      ReadText(&control);
      Expect(',');
      control.id = Id(Expression().set);
      Expect(',');
      if (token_.kind != TokenKind::kString) Fail(token_.line, "expected a class name");
      control.class_name = token_.text;
      Advance();
      Expect(',');
      style = Expression().Apply(0);
      Expect(',');
      ReadBox(&control, false);
      control.style = WS_CHILD | WS_VISIBLE | style;
      if (Accept(',')) control.ex_style = Expression().Apply(0);
      return control;
    }
    const Statement* statement = nullptr;
    for (const Statement& known : kStatements) {
      if (IsWord(known.word)) statement = &known;
    }
    if (statement == nullptr) Fail(line, "unknown control statement " + token_.text);
    Advance();
    control.class_name = statement->class_name;
    if (statement->has_text) {
      ReadText(&control);
      Expect(',');
    }
    control.id = Id(Expression().set);
    Expect(',');
    ReadBox(&control, std::string_view(statement->word) == "ICON");
    style = WS_CHILD | WS_VISIBLE | statement->style;
    if (Accept(',')) style = Expression().Apply(style);
    if (Accept(',')) control.ex_style = Expression().Apply(0);
    control.style = style;
    return control;
  }

  void ReadText(Control* control) {
    if (token_.kind == TokenKind::kString) {
      control->text = String();
      return;
    }
    control->text_is_number = true;
    control->text_number = Id(Expression().set);
  }

  // x, y, cx, cy; an icon may leave out its size.
  void ReadBox(Control* control, bool size_optional) {
    control->x = Coordinate();
    Expect(',');
    control->y = Coordinate();
    if (size_optional && !IsPunct(',')) return;
    Expect(',');
    if (size_optional && token_.kind != TokenKind::kNumber) return;
    control->cx = Coordinate();
    Expect(',');
    control->cy = Coordinate();
  }

  Lexer lexer_;
  IncludeReader include_;
  Token token_;
  std::map<std::string, int64_t> defines_;
  std::vector<Resource> resources_;
};

}  // namespace

CompileResult Compile(std::string_view script, IncludeReader include) {
  CompileResult result;
  try {
    Parser parser(script, include);
    result.resources = parser.Parse();
    result.ok = true;
  } catch (const Failure& failure) {
    result.error = failure.message;
  }
  return result;
}

std::string EmitSource(const std::vector<Resource>& resources, const std::string& function,
                       const std::string& script_name) {
  std::string source = "// Made by the resource compiler from " + script_name +
                       ". Do not edit.\n#include <span>\n\n#include "
                       "\"platform/win32/module.h\"\n\nnamespace {\n\n";
  char hex[8];
  for (size_t i = 0; i < resources.size(); ++i) {
    source += "alignas(4) const BYTE kResource" + std::to_string(i) + "[] = {";
    const std::vector<uint8_t>& bytes = resources[i].bytes;
    for (size_t k = 0; k < bytes.size(); ++k) {
      if (k % 16 == 0) source += "\n   ";
      std::snprintf(hex, sizeof(hex), " 0x%02X,", bytes[k]);
      source += hex;
    }
    if (bytes.empty()) source += "0";
    source += "\n};\n";
  }
  source += "\nconst ModuleResource kResources[] = {\n";
  for (size_t i = 0; i < resources.size(); ++i) {
    const std::string name = "kResource" + std::to_string(i);
    source += "    {" + std::to_string(resources[i].type) + ", " + std::to_string(resources[i].id) +
              ", " + name + ", " + std::to_string(resources[i].bytes.size()) + "},\n";
  }
  if (resources.empty()) source += "    {0, 0, nullptr, 0},\n";
  source += "};\n\n}  // namespace\n\nstd::span<const ModuleResource> " + function +
            "() {\n  return std::span<const ModuleResource>(kResources, " +
            std::to_string(resources.size()) + ");\n}\n";
  return source;
}

}  // namespace rc
