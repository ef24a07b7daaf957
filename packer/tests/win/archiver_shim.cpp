// 7za.exe for tests of Quillet.exe under Wine: a stand-in for the archiver
// that has Debian's 7za do the work.
//
// Wine's command shell cannot run a Linux program and wait for it. Wine does
// start a Linux program handed to CreateProcess, but gives back no process
// handle, so neither its end nor its exit status can be awaited. So this
// program starts the Linux-side script "7za-linux.sh" that lies beside it,
// handing over the name of a status file and its own arguments with every
// "\" turned into "/". The script runs 7za in the same working folder, then
// leaves 7za's exit status in the status file (beside the script, renamed
// into place once complete), which this program waits for and returns as
// its own exit status.
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kFatal = 255;                        // 7-Zip's own code for a fatal error
constexpr ULONGLONG kPatienceMs = 10 * 60 * 1000;  // the longest an archive may take here
constexpr DWORD kPollMs = 20;

std::wstring ownFolder() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), buffer.size());
    if (length == 0) return std::wstring();
    if (length < buffer.size()) {
      std::wstring path(buffer.data(), length);
      return path.substr(0, path.find_last_of(L"\\/") + 1);
    }
    buffer.resize(buffer.size() * 2);
  }
}

// One argument quoted so that the usual command-line splitting gives it back
// unchanged.
std::wstring quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');  // before the closing quote
  out.push_back(L'"');
  return out;
}

// The exit status left in `path`; false while the file is not there.
bool readStatus(const std::wstring& path, int* status) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  std::FILE* file = nullptr;
  if (_wfopen_s(&file, path.c_str(), L"r") != 0) return false;
  const bool parsed = std::fscanf(file, "%d", status) == 1;
  std::fclose(file);
  DeleteFileW(path.c_str());
  if (!parsed) *status = kFatal;
  return true;
}

}  // namespace

int main() {
  const std::wstring folder = ownFolder();
  if (folder.empty()) {
    std::fprintf(stderr, "7za.exe (test stand-in): cannot find its own folder\n");
    return kFatal;
  }
  const std::wstring script = folder + L"7za-linux.sh";
  const std::wstring statusName = L"7za-status-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64()) + L".txt";
  const std::wstring statusPath = folder + statusName;
  DeleteFileW(statusPath.c_str());

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring commandLine = quoted(script) + L" " + quoted(statusName);
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    std::wstring argument = argv[i];
    for (wchar_t& c : argument) {
      if (c == L'\\') c = L'/';
    }
    commandLine += L" " + quoted(argument);
  }
  LocalFree(argv);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::fflush(stdout);
  if (!CreateProcessW(script.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    std::fprintf(stderr, "7za.exe (test stand-in): cannot start %ls (error %lu)\n", script.c_str(),
                 GetLastError());
    return kFatal;
  }
  // Wine hands back no handles for a Linux program; close any it gave.
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);

  const ULONGLONG start = GetTickCount64();
  int status = kFatal;
  while (!readStatus(statusPath, &status)) {
    if (GetTickCount64() - start > kPatienceMs) {
      std::fprintf(stderr, "7za.exe (test stand-in): no exit status from %ls\n", script.c_str());
      return kFatal;
    }
    Sleep(kPollMs);
  }
  return status;
}
