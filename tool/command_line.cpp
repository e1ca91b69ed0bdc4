#include "command_line.hpp"

#ifdef _WIN32
#include <windows.h>
// windows.h must come first.
#include <shellapi.h>

#include <cstdio>
#endif

namespace frennick {

#ifdef _WIN32
namespace {

char* toUtf8(const wchar_t* wide) {
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  // Lives until the program ends, like argv itself.
  char* utf8 = static_cast<char*>(LocalAlloc(LMEM_FIXED, size > 0 ? size : 1));
  if (utf8 == nullptr) return nullptr;
  utf8[0] = '\0';
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, nullptr, nullptr);
  return utf8;
}

}  // namespace

int utf8Arguments(int argc, char** argv, char**& utf8Argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  char** converted = wide == nullptr
                         ? nullptr
                         : static_cast<char**>(LocalAlloc(
                               LMEM_FIXED, sizeof(char*) * (count + 1)));
  if (converted == nullptr) {
    utf8Argv = argv;  // fall back to the narrow arguments
    return argc;
  }
  for (int i = 0; i < count; ++i) converted[i] = toUtf8(wide[i]);
  converted[count] = nullptr;
  utf8Argv = converted;
  return count;
}
#else
int utf8Arguments(int argc, char** argv, char**& utf8Argv) {
  utf8Argv = argv;
  return argc;
}
#endif

}  // namespace frennick
