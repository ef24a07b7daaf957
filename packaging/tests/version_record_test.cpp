// The version records of the Windows programs, read back from the built
// files as Explorer reads them (GetFileVersionInfo, VerQueryValue): the
// project's version in the fixed numbers and in the texts, and the name each
// program is installed under.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "zarvo_version.h"

namespace {

struct Program {
  const char* path;      // from the build folder, where the test runs
  const char* fileName;  // as installed
};

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

// "1.2.3" as the record's four numbers, missing ones 0.
std::vector<DWORD> VersionNumbers(const std::string& version) {
  std::vector<DWORD> numbers;
  std::istringstream parts(version);
  for (std::string part; std::getline(parts, part, '.');) numbers.push_back(std::stoul(part));
  numbers.resize(4, 0);
  return numbers;
}

class VersionRecord : public ::testing::TestWithParam<Program> {};

TEST_P(VersionRecord, CarriesTheProjectVersionAndTheInstalledName) {
  const std::wstring path = Widen(GetParam().path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_NE(size, 0u) << GetParam().path << " has no version record (error " << GetLastError()
                      << ")";
  std::vector<unsigned char> record(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, record.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  const std::vector<DWORD> numbers = VersionNumbers(ZARVO_VERSION);
  EXPECT_EQ(fixed->dwFileVersionMS, (numbers[0] << 16) | numbers[1]);
  EXPECT_EQ(fixed->dwFileVersionLS, (numbers[2] << 16) | numbers[3]);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  const struct {
    const wchar_t* name;
    std::wstring expected;
  } texts[] = {{L"FileVersion", Widen(ZARVO_VERSION)},
               {L"ProductVersion", Widen(ZARVO_VERSION)},
               {L"OriginalFilename", Widen(GetParam().fileName)}};
  for (const auto& text : texts) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + text.name;
    ASSERT_TRUE(VerQueryValueW(record.data(), key.c_str(), &value, &length)) << text.name;
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), text.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, VersionRecord,
                         ::testing::Values(Program{QUILLET_EXE, "Quillet.exe"},
                                           Program{QUILLET_CHECK_EXE, "quillet-check.exe"}),
                         [](const ::testing::TestParamInfo<Program>& info) {
                           return info.index == 0 ? std::string("Quillet")
                                                  : std::string("QuilletCheck");
                         });

}  // namespace
