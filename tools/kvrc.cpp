// The resource compiler: kvrc SCRIPT SOURCE HEADER FUNCTION
// Compiles the resource script into SOURCE, which defines FUNCTION returning the module's
// resource table, and HEADER, which declares it. Headers named by #include are read from the
// script's folder. Exits with 1 and a message naming the script's line on a fault.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/resource_script.h"

namespace {

std::string script_folder;

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  *text = content.str();
  return true;
}

bool ReadInclude(const std::string& name, std::string* text) {
  return ReadFile(script_folder + name, text);
}

// Writes only when the content changed, so that dependants are not rebuilt for nothing.
bool WriteFile(const std::string& path, const std::string& text) {
  std::string old;
  if (ReadFile(path, &old) && old == text) return true;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: kvrc SCRIPT SOURCE HEADER FUNCTION\n");
    return 2;
  }
  const std::string script_path = argv[1];
  const size_t slash = script_path.find_last_of('/');
  script_folder = slash == std::string::npos ? "" : script_path.substr(0, slash + 1);
  const std::string script_name =
      slash == std::string::npos ? script_path : script_path.substr(slash + 1);
  std::string script;
  if (!ReadFile(script_path, &script)) {
    std::fprintf(stderr, "%s: cannot read\n", script_path.c_str());
    return 1;
  }
  const rc::CompileResult result = rc::Compile(script, ReadInclude);
  if (!result.ok) {
    std::fprintf(stderr, "%s: %s\n", script_path.c_str(), result.error.c_str());
    return 1;
  }
  const std::string function = argv[4];
  const std::string header = "// Made by the resource compiler from " + script_name +
                             ". Do not edit.\n#pragma once\n\n#include <span>\n\n#include "
                             "\"platform/win32/module.h\"\n\n// The module's resource table.\n"
                             "std::span<const ModuleResource> " +
                             function + "();\n";
  if (!WriteFile(argv[2], rc::EmitSource(result.resources, function, script_name)) ||
      !WriteFile(argv[3], header)) {
    std::fprintf(stderr, "%s: cannot write the output\n", script_path.c_str());
    return 1;
  }
  return 0;
}
