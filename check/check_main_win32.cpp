// quillet-check's entry on Windows: the wide arguments (wmain, linked with
// -municode) turned into UTF-8, and a console that shows UTF-8 output.
#include <windows.h>

#include "check_main.h"

extern "C" int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<std::size_t>(bytes) : 1u, '\0');
    if (bytes > 0)
      WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), bytes, nullptr, nullptr);
    text.resize(text.size() - 1);  // the terminating NUL
    arguments.push_back(text);
  }
  return quillet::check::checkMain(arguments);
}
