#include "platform/machine/machine_config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace machine {
namespace {

std::string Trim(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  const auto end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ParseNumber(const std::string& text, int base, std::uint32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
  if (*end != '\0' || parsed > 0xFFFFFFFFul) return false;
  *value = static_cast<std::uint32_t>(parsed);
  return true;
}

bool ParseYes(const std::string& text) {
  const std::string value = Lower(text);
  return value == "yes" || value == "true" || value == "1";
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    item = Trim(item);
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

}  // namespace

bool ParseMachineConfig(const std::string& text, MachineConfig* config, std::string* error) {
  MachineConfig parsed;
  std::stringstream stream(text);
  std::string line;
  std::string section;
  std::string sectionName;
  int number = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(stream, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("section without ']'");
      const std::string header = Trim(line.substr(1, line.size() - 2));
      const auto space = header.find(' ');
      section = Lower(header.substr(0, space));
      sectionName = space == std::string::npos ? "" : Trim(header.substr(space + 1));
      if (section == "volume") {
        if (sectionName.size() != 1 || !std::isalpha(static_cast<unsigned char>(sectionName[0]))) {
          return fail("a volume section names one drive letter");
        }
        const char letter =
            static_cast<char>(std::toupper(static_cast<unsigned char>(sectionName[0])));
        for (const VolumeConfig& volume : parsed.volumes) {
          if (volume.letter == letter) return fail(std::string("a second volume ") + letter);
        }
        parsed.volumes.push_back(VolumeConfig{});
        parsed.volumes.back().letter = letter;
      } else if (section == "server") {
        if (sectionName.empty()) return fail("a server section needs a name");
        parsed.servers.push_back(ServerConfig{sectionName, {}});
      } else if (section == "account") {
        if (sectionName.empty()) return fail("an account section needs a name");
        parsed.accounts.push_back(AccountConfig{sectionName, "", false});
      } else if (section != "machine" && section != "session") {
        return fail("unknown section [" + section + "]");
      }
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos || section.empty()) return fail("expected key = value");
    const std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string value = Trim(line.substr(equals + 1));
    if (section == "machine") {
      if (key == "version") {
        std::uint32_t major = 0, minor = 0;
        const auto dot = value.find('.');
        if (dot == std::string::npos || !ParseNumber(value.substr(0, dot), 10, &major) ||
            !ParseNumber(value.substr(dot + 1), 10, &minor)) {
          return fail("version is major.minor, for example 5.1");
        }
        if (!(major == 4 && minor == 0) && !(major == 5 && minor <= 1)) {
          return fail("the machine runs version 4.0, 5.0 or 5.1");
        }
        parsed.majorVersion = major;
        parsed.minorVersion = minor;
      } else if (key == "name") {
        parsed.computerName = value;
      } else if (key == "timezone") {
        parsed.timeZoneMinutes = std::atoi(value.c_str());
      } else {
        return fail("unknown key " + key);
      }
    } else if (section == "volume") {
      VolumeConfig& volume = parsed.volumes.back();
      if (key == "serial") {
        if (!ParseNumber(value, 16, &volume.serial)) return fail("serial is hexadecimal");
      } else if (key == "filesystem") {
        volume.fileSystem = value;
      } else if (key == "size") {
        if (!ParseNumber(value, 10, &volume.sizeMegabytes)) return fail("size is in MB");
      } else if (key == "system") {
        volume.systemRoot = value;
      } else {
        return fail("unknown key " + key);
      }
    } else if (section == "server") {
      if (key != "shares") return fail("unknown key " + key);
      parsed.servers.back().shares = SplitList(value);
    } else if (section == "account") {
      if (key == "password") {
        parsed.accounts.back().password = value;
      } else if (key == "admin") {
        parsed.accounts.back().administrator = ParseYes(value);
      } else {
        return fail("unknown key " + key);
      }
    } else if (section == "session") {
      if (key != "user") return fail("unknown key " + key);
      parsed.user = value;
    }
  }
  if (!parsed.user.empty() &&
      std::none_of(parsed.accounts.begin(), parsed.accounts.end(),
                   [&](const AccountConfig& account) {
                     return Lower(account.name) == Lower(parsed.user);
                   })) {
    *error = "the session's user " + parsed.user + " has no [account " + parsed.user +
             "] section";
    return false;
  }
  *config = std::move(parsed);
  return true;
}

}  // namespace machine
