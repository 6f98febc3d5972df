#include "machine/console.h"

#include <algorithm>
#include <iostream>

#include "machine/commands.h"
#include "machine/text.h"
#include "platform/win32/windows.h"

namespace kvmachine {

std::vector<std::string> SplitWords(const std::string& line, std::size_t maxWords) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (words.size() < maxWords) {
    at = line.find_first_not_of(' ', at);
    if (at == std::string::npos) break;
    if (words.size() + 1 == maxWords) {
      std::string rest = line.substr(at);
      rest.erase(rest.find_last_not_of(' ') + 1);
      words.push_back(rest);
      break;
    }
    const std::size_t end = line.find(' ', at);
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

Console::Console(machine::Machine* machine, std::ostream& out) : machine_(machine), out_(out) {}

void Console::Print(const std::string& text) {
  output_ += text;
  output_ += '\n';
}

void Console::PrintLastError() {
  const DWORD error = GetLastError();
  char16_t text[512] = {};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, 512, nullptr);
  std::u16string message(text, length);
  while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r')) {
    message.pop_back();
  }
  Print("error " + std::to_string(error) + ": " + Narrow(message));
}

namespace {

// Where the text after the first `count` words of the line begins.
std::size_t AfterWords(const std::string& line, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    at = line.find_first_not_of(' ', at);
    at = at == std::string::npos ? line.size() : line.find(' ', at);
    if (at == std::string::npos) return line.size();
  }
  return at;
}

}  // namespace

std::string Console::Execute(const std::string& line) {
  output_.clear();
  if (SplitWords(line, 1).empty()) return output_;
  if (SplitWords(line, 1)[0] == "help") {
    for (const Command& command : Commands()) Print(command.usage);
    Print("expect TEXT                      the previous command's output contains TEXT");
    return output_;
  }
  for (const Command& command : Commands()) {
    const std::vector<std::string> name = SplitWords(command.name, 2);
    const std::vector<std::string> typed = SplitWords(line, name.size() + 1);
    if (typed.size() < name.size() || !std::equal(name.begin(), name.end(), typed.begin())) {
      continue;
    }
    if (!machine_->running() && command.run != nullptr && std::string(command.name) != "restart") {
      Print("the machine is off");
      return output_;
    }
    command.run(*this, SplitWords(line.substr(AfterWords(line, name.size())), command.words));
    return output_;
  }
  Print("unknown command; help lists them");
  return output_;
}

int Console::Run(std::istream& in, bool script, bool interactive) {
  std::string line;
  int number = 0;
  for (;;) {
    if (interactive) out_ << "kv> " << std::flush;
    if (!std::getline(in, line)) break;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = line.substr(std::min(line.size(), line.find_first_not_of(' ')));
    if (trimmed.empty()) continue;
    if (trimmed[0] == '#') {
      if (script) out_ << trimmed << '\n';
      continue;
    }
    if (script) out_ << "kv> " << trimmed << '\n';
    if (trimmed.rfind("expect ", 0) == 0) {
      const std::string wanted = trimmed.substr(7);
      if (previous_.find(wanted) == std::string::npos && failedLine_ == 0) {
        failedLine_ = number;
        failure_ = "expected \"" + wanted + "\"";
        out_ << "FAIL line " << number << ": " << failure_ << '\n';
      }
      continue;
    }
    previous_ = Execute(trimmed);
    out_ << previous_ << std::flush;
  }
  return failedLine_ == 0 ? 0 : 1;
}

}  // namespace kvmachine
