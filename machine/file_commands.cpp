// The console's file commands. Each runs in the logged-on user's session through the Win32
// routines a program would call, so the driver's filter sees what it does.
#include "machine/file_commands.h"

#include <cstdio>
#include <functional>
#include <string>

#include "machine/console.h"
#include "machine/text.h"
#include "platform/nt/process.h"
#include "platform/win32/windows.h"

namespace kvmachine {
namespace {

void AsUser(Console& console, const std::function<void()>& body) {
  nt::ProcessControl::RunIn(console.machine().session(), body);
}

// "\n" in command text stands for a line break.
std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

void Report(Console& console, BOOL ok) {
  if (ok) {
    console.Print("ok");
  } else {
    console.PrintLastError();
  }
}

void WriteText(Console& console, const std::vector<std::string>& args, bool append) {
  if (args.empty()) {
    console.Print(append ? "usage: append PATH TEXT" : "usage: write PATH TEXT");
    return;
  }
  const std::string text = args.size() > 1 ? Unescape(args[1]) : "";
  AsUser(console, [&] {
    HANDLE file = CreateFileW(Widen(args[0]).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      console.PrintLastError();
      return;
    }
    if (append) SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                              nullptr);
    CloseHandle(file);
    Report(console, ok);
  });
}

void Write(Console& console, const std::vector<std::string>& args) {
  WriteText(console, args, false);
}

void Append(Console& console, const std::vector<std::string>& args) {
  WriteText(console, args, true);
}

void Type(Console& console, const std::vector<std::string>& args) {
  AsUser(console, [&] {
    HANDLE file = CreateFileW(Widen(args[0]).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      console.PrintLastError();
      return;
    }
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0) {
      content.append(buffer, read);
    }
    CloseHandle(file);
    if (!content.empty() && content.back() == '\n') content.pop_back();
    console.Print(content);
  });
}

void Mkdir(Console& console, const std::vector<std::string>& args) {
  AsUser(console, [&] { Report(console, CreateDirectoryW(Widen(args[0]).c_str(), nullptr)); });
}

void Rmdir(Console& console, const std::vector<std::string>& args) {
  AsUser(console, [&] { Report(console, RemoveDirectoryW(Widen(args[0]).c_str())); });
}

void Del(Console& console, const std::vector<std::string>& args) {
  AsUser(console, [&] { Report(console, DeleteFileW(Widen(args[0]).c_str())); });
}

void Move(Console& console, const std::vector<std::string>& args) {
  if (args.size() < 2) {
    console.Print("usage: move OLD NEW");
    return;
  }
  AsUser(console, [&] {
    Report(console, MoveFileExW(Widen(args[0]).c_str(), Widen(args[1]).c_str(),
                                MOVEFILE_COPY_ALLOWED));
  });
}

void Copy(Console& console, const std::vector<std::string>& args) {
  if (args.size() < 2) {
    console.Print("usage: copy SRC DST");
    return;
  }
  AsUser(console, [&] {
    Report(console, CopyFileExW(Widen(args[0]).c_str(), Widen(args[1]).c_str(), nullptr, nullptr,
                                nullptr, 0));
  });
}

std::string AttributeLetters(DWORD attributes) {
  std::string letters;
  if (attributes & FILE_ATTRIBUTE_ARCHIVE) letters += 'A';
  if (attributes & FILE_ATTRIBUTE_SYSTEM) letters += 'S';
  if (attributes & FILE_ATTRIBUTE_HIDDEN) letters += 'H';
  if (attributes & FILE_ATTRIBUTE_READONLY) letters += 'R';
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) letters += 'D';
  return letters.empty() ? "-" : letters;
}

void Attrib(Console& console, const std::vector<std::string>& args) {
  AsUser(console, [&] {
    const std::u16string path = Widen(args[0]);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      console.PrintLastError();
      return;
    }
    if (args.size() < 2) {
      console.Print(AttributeLetters(attributes));
      return;
    }
    for (const std::string& change : SplitWords(args[1], 16)) {
      DWORD bit = 0;
      if (change.size() == 2 && (change[1] == 'r' || change[1] == 'R')) bit = FILE_ATTRIBUTE_READONLY;
      if (change.size() == 2 && (change[1] == 'h' || change[1] == 'H')) bit = FILE_ATTRIBUTE_HIDDEN;
      if (change.size() == 2 && (change[1] == 's' || change[1] == 'S')) bit = FILE_ATTRIBUTE_SYSTEM;
      if (bit == 0 || (change[0] != '+' && change[0] != '-')) {
        console.Print("usage: attrib PATH [+r|-r|+h|-h|+s|-s]...");
        return;
      }
      attributes = change[0] == '+' ? attributes | bit : attributes & ~bit;
    }
    Report(console, SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_DIRECTORY));
  });
}

void Dir(Console& console, const std::vector<std::string>& args) {
  AsUser(console, [&] {
    std::u16string pattern = Widen(args[0]);
    if (!pattern.empty() && pattern.back() != u'\\') pattern += u'\\';
    pattern += u'*';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
      // Nothing found in a folder that exists: an empty folder lists nothing.
      const DWORD error = GetLastError();
      const DWORD attributes = GetFileAttributesW(Widen(args[0]).c_str());
      if (error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;
      }
      SetLastError(error);
      console.PrintLastError();
      return;
    }
    do {
      const std::u16string name = data.cFileName;
      if (name == u"." || name == u"..") continue;
      const unsigned long long size =
          static_cast<unsigned long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
      const std::string kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                                   ? "<DIR>"
                                   : std::to_string(size);
      console.Print(kind + " " + Narrow(name));
    } while (FindNextFileW(find, &data));
    FindClose(find);
  });
}

void Stat(Console& console, const std::vector<std::string>& args) {
  AsUser(console, [&] {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Widen(args[0]).c_str(), GetFileExInfoStandard, &data)) {
      console.PrintLastError();
      return;
    }
    const unsigned long long size =
        static_cast<unsigned long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    const long long written = static_cast<long long>(
        static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32 |
        data.ftLastWriteTime.dwLowDateTime);
    char attributes[16];
    std::snprintf(attributes, sizeof attributes, "0x%08X",
                  static_cast<unsigned>(data.dwFileAttributes));
    console.Print("size " + std::to_string(size) + " attr " + attributes + " write " +
                  FormatTime(written));
  });
}

}  // namespace

void AddFileCommands(std::vector<Command>* commands) {
  const std::vector<Command> files = {
      {"mkdir", "mkdir PATH                       create a folder", 1, Mkdir},
      {"rmdir", "rmdir PATH                       remove an empty folder", 1, Rmdir},
      {"write", "write PATH TEXT                  create or overwrite a file (\\n: line break)", 2,
       Write},
      {"append", "append PATH TEXT                 add text to the end of a file", 2, Append},
      {"type", "type PATH                        print a file", 1, Type},
      {"del", "del PATH                         delete a file", 1, Del},
      {"move", "move OLD NEW                     move or rename, also across volumes", 2, Move},
      {"copy", "copy SRC DST                     copy a file", 2, Copy},
      {"attrib", "attrib PATH [+r|-r|+h|-h|+s|-s]  show or change attributes", 2, Attrib},
      {"dir", "dir PATH                         list a folder", 1, Dir},
      {"stat", "stat PATH                        size, attributes and last write (UTC)", 1, Stat},
  };
  commands->insert(commands->begin(), files.begin(), files.end());
}

}  // namespace kvmachine
