// The contract of the platform seam, held against the native implementation
// (on a real scratch folder) and against the fake the other unit tests use,
// in both the POSIX and the Windows path style. The same expectations for
// every backend keep the fake from drifting away from the real thing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"
#include "platform.h"
#include "release_files.h"
#include "release_format.h"

namespace quillet {
namespace {

using testing::FakePlatform;
using testing::ScratchFolder;

// A backend with an empty working folder and a way to put folders and files
// into it. Setup paths are relative and written with "/".
class Backend {
 public:
  virtual ~Backend() = default;
  virtual Platform& platform() = 0;
  virtual void folder(const std::string& relative) = 0;
  virtual void file(const std::string& relative, const std::string& bytes) = 0;
  virtual bool exists(const std::string& relative) = 0;
  virtual std::optional<std::string> read(const std::string& relative) = 0;
  // A file of `size` bytes that costs no memory or disk (sparse, or claimed).
  virtual void largeFile(const std::string& relative, std::uint64_t size) = 0;
  // Whether the backend's ANSI code page is UTF-8 (it is on POSIX and in the
  // fake); a single-byte Windows code page has no invalid byte sequences.
  virtual bool ansiIsUtf8() = 0;
};

class NativeBackend final : public Backend {
 public:
  Platform& platform() override { return nativePlatform(); }
  void folder(const std::string& relative) override { scratch_.folder(relative); }
  void file(const std::string& relative, const std::string& bytes) override {
    scratch_.file(relative, bytes);
  }
  bool exists(const std::string& relative) override { return scratch_.exists(relative); }
  std::optional<std::string> read(const std::string& relative) override {
    if (!scratch_.exists(relative) || std::filesystem::is_directory(scratch_.root() / relative)) {
      return std::nullopt;
    }
    return scratch_.read(relative);
  }
  void largeFile(const std::string& relative, std::uint64_t size) override {
    scratch_.file(relative, "");
    std::filesystem::resize_file(scratch_.root() / relative, size);
  }
  bool ansiIsUtf8() override { return nativePlatform().separator() == '/'; }

 private:
  ScratchFolder scratch_;
};

class FakeBackend final : public Backend {
 public:
  FakeBackend(char separator, const std::string& root) : fake_(separator, root) {
    const std::string work = root + separator + "work";
    fake_.addFolder(work);
    fake_.changeWorkingFolder(work.c_str());
  }
  Platform& platform() override { return fake_; }
  void folder(const std::string& relative) override { fake_.addFolder(native(relative)); }
  void file(const std::string& relative, const std::string& bytes) override {
    fake_.addFile(native(relative), bytes);
  }
  bool exists(const std::string& relative) override { return fake_.exists(native(relative)); }
  std::optional<std::string> read(const std::string& relative) override {
    return fake_.fileBytes(native(relative));
  }
  void largeFile(const std::string& relative, std::uint64_t size) override {
    fake_.addFile(native(relative));
    fake_.setSize(native(relative), size);
  }
  bool ansiIsUtf8() override { return true; }

 private:
  std::string native(std::string path) const {
    std::replace(path.begin(), path.end(), '/', fake_.separator());
    return path;
  }
  FakePlatform fake_;
};

struct BackendKind {
  const char* name;
  std::function<std::unique_ptr<Backend>()> make;
};

class PlatformContract : public ::testing::TestWithParam<BackendKind> {
 protected:
  void SetUp() override { backend_ = GetParam().make(); }

  Platform& p() { return backend_->platform(); }
  // A narrow path of the walk: components joined with the platform's separator.
  std::string narrow(std::string path) {
    std::replace(path.begin(), path.end(), '/', p().separator());
    return path;
  }
  // Every name one search reports, sorted, after checking that the search
  // stays ended once it has ended.
  std::vector<std::string> searchAll(const std::string& pattern) {
    std::vector<std::string> names;
    FindData data;
    const SearchHandle handle = p().findFirstFile(pattern.c_str(), &data);
    EXPECT_NE(handle, kInvalidSearchHandle) << pattern;
    if (handle == kInvalidSearchHandle) return names;
    do {
      names.push_back(data.fileName);
    } while (p().findNextFile(handle, &data));
    EXPECT_FALSE(p().findNextFile(handle, &data)) << "a search went on after its end";
    EXPECT_FALSE(p().findNextFile(handle, &data));
    p().findClose(handle);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<Backend> backend_;
};

using Names = std::vector<std::string>;

TEST_P(PlatformContract, SearchReportsEveryEntryOnceWithDotAndDotDot) {
  backend_->folder("d/sub");
  backend_->file("d/a.txt", "a");
  backend_->file("d/.hidden", "");
  backend_->file("top.bin", "t");

  EXPECT_EQ(searchAll(narrow("d") + "\\*"), (Names{".", "..", ".hidden", "a.txt", "sub"}));
  EXPECT_EQ(searchAll(narrow("d/sub") + "\\*"), (Names{".", ".."}));
  EXPECT_EQ(searchAll("*"), (Names{".", "..", "d", "top.bin"}));
  EXPECT_EQ(searchAll(".\\*"), (Names{".", "..", "d", "top.bin"}));
}

TEST_P(PlatformContract, SearchOfAMissingFolderOrAFileIsRefused) {
  backend_->file("f.txt", "x");
  FindData data;
  EXPECT_EQ(p().findFirstFile("missing\\*", &data), kInvalidSearchHandle);
  const std::string why = p().searchFailure();
  EXPECT_TRUE(why.find(" (errno ") != std::string::npos ||
              why.find(" (Windows error ") != std::string::npos)
      << why;
  EXPECT_EQ(p().findFirstFile("f.txt\\*", &data), kInvalidSearchHandle);
}

TEST_P(PlatformContract, WorkingFolderFollowsChangesAndRefusesFiles) {
  backend_->folder("d/e");
  backend_->file("f.txt", "x");
  std::string start;
  ASSERT_TRUE(p().getWorkingFolder(&start));

  ASSERT_TRUE(p().changeWorkingFolder(narrow("d/e").c_str()));
  std::string inside;
  ASSERT_TRUE(p().getWorkingFolder(&inside));
  EXPECT_EQ(inside, start + p().separator() + "d" + p().separator() + "e");

  ASSERT_TRUE(p().changeWorkingFolder(narrow("../..").c_str()));
  std::string back;
  ASSERT_TRUE(p().getWorkingFolder(&back));
  EXPECT_EQ(back, start);

  EXPECT_FALSE(p().changeWorkingFolder("f.txt"));
  EXPECT_FALSE(p().changeWorkingFolder("missing"));
  ASSERT_TRUE(p().changeWorkingFolder(start.c_str())) << "absolute paths are accepted";
  ASSERT_TRUE(p().getWorkingFolder(&back));
  EXPECT_EQ(back, start) << "a refused change leaves the working folder alone";
}

TEST_P(PlatformContract, OnlyFilesOpenForReadingWithTheirSizes) {
  backend_->folder("d");
  backend_->file("d/f.txt", "xyz");
  backend_->file("d/empty", "");
  backend_->largeFile("d/large", kFileBytesMax + 1);
  std::uint64_t size = 1;
  EXPECT_TRUE(p().opensForReading(narrow("d/f.txt").c_str(), &size));
  EXPECT_EQ(size, 3u);
  EXPECT_TRUE(p().opensForReading(narrow("d/empty").c_str(), &size));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(p().opensForReading(narrow("d/large").c_str(), &size));
  EXPECT_EQ(size, kFileBytesMax + 1) << "a size beyond 32 bits is not cut";
  EXPECT_FALSE(p().opensForReading("d", &size));
  EXPECT_FALSE(p().opensForReading(narrow("d/missing").c_str(), &size));
  EXPECT_EQ(p().openFileW(u"d", "rb"), nullptr);
  EXPECT_EQ(p().openFile("d", "rb"), nullptr);
}

TEST_P(PlatformContract, StreamsWriteRewindAndReadBack) {
  backend_->folder("d");
  const std::string bytes("ab\0\n\xff", 5);
  {
    std::unique_ptr<Stream> out = p().openFileW(u"d\\f.bin", "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->write(bytes.data(), bytes.size()), bytes.size());
    EXPECT_TRUE(out->close());
    EXPECT_TRUE(out->close()) << "a second close does nothing";
  }
  EXPECT_EQ(backend_->read("d/f.bin"), bytes);

  std::unique_ptr<Stream> in = p().openFileW(u"d\\f.bin", "rb");
  ASSERT_NE(in, nullptr);
  char buffer[16] = {};
  EXPECT_EQ(in->read(buffer, 3), 3u);
  EXPECT_EQ(in->read(buffer + 3, sizeof buffer - 3), 2u);
  EXPECT_EQ(std::string(buffer, 5), bytes);
  EXPECT_EQ(in->read(buffer, sizeof buffer), 0u);
  EXPECT_FALSE(in->readFailed()) << "the end of a file is not a read error";
  ASSERT_TRUE(in->rewind());
  EXPECT_EQ(in->read(buffer, sizeof buffer), 5u);
  EXPECT_TRUE(in->close());

  // "wb" empties a file that is there; narrow paths open the same files.
  std::unique_ptr<Stream> again = p().openFile(narrow("d/f.bin").c_str(), "wb");
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->close());
  EXPECT_EQ(backend_->read("d/f.bin"), "");

  EXPECT_EQ(p().openFileW(u"d\\missing", "rb"), nullptr);
  EXPECT_EQ(p().openFileW(u"missing\\f.bin", "wb"), nullptr);
}

// The digest's readers open and read files on several threads at once.
TEST_P(PlatformContract, SequentialReadsGiveEachFileWholeOnSeveralThreads) {
  backend_->folder("d/sub");
  std::vector<std::string> contents;
  for (int i = 0; i < 8; ++i) {
    contents.push_back(std::string(70000 + 1000 * i, static_cast<char>('a' + i)));
    backend_->file("d/f" + std::to_string(i), contents.back());
  }
  std::vector<std::string> got(contents.size());
  std::vector<std::thread> readers;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    readers.emplace_back([&, i] {
      const std::u16string path = u"d\\f" + std::u16string(1, static_cast<char16_t>(u'0' + i));
      std::unique_ptr<Stream> in = p().openForSequentialReadW(path);
      if (in == nullptr) return;
      char buffer[4096];
      while (const std::size_t n = in->read(buffer, sizeof buffer)) got[i].append(buffer, n);
      if (in->readFailed()) got[i] = "read failed";
    });
  }
  for (std::thread& reader : readers) reader.join();
  for (std::size_t i = 0; i < contents.size(); ++i) EXPECT_EQ(got[i], contents[i]) << i;

  EXPECT_EQ(p().openForSequentialReadW(u"d\\missing"), nullptr);
  EXPECT_EQ(p().openForSequentialReadW(u"d\\sub"), nullptr) << "folders are not read";
}

TEST_P(PlatformContract, WidePathOperations) {
  backend_->folder("d/e");
  backend_->file("d/x.txt", "x");
  backend_->file("d/new.txt", "new");
  backend_->file("d/old.txt", "old");

  EXPECT_TRUE(p().folderExistsW(u"d"));
  EXPECT_TRUE(p().folderExistsW(u"d\\e"));
  EXPECT_FALSE(p().folderExistsW(u"d\\x.txt"));
  EXPECT_FALSE(p().folderExistsW(u"missing"));

  EXPECT_TRUE(p().setNormalAttributesW(u"d\\x.txt"));
  EXPECT_FALSE(p().setNormalAttributesW(u"d\\missing"));
  EXPECT_FALSE(p().setNormalAttributesW(u"d\\e")) << "a folder's marks are left alone";

  EXPECT_EQ(p().entryKindW(u"d\\x.txt"), EntryKind::kFile);
  EXPECT_EQ(p().entryKindW(u"d\\e"), EntryKind::kFolder);
  EXPECT_EQ(p().entryKindW(u"d\\missing"), EntryKind::kNone);
  EXPECT_EQ(p().entryKindW(u"d\\x.txt\\below"), EntryKind::kNone);

  EXPECT_TRUE(p().deleteFileW(u"d\\x.txt"));
  EXPECT_FALSE(backend_->exists("d/x.txt"));
  EXPECT_FALSE(p().deleteFileW(u"d\\x.txt"));
  EXPECT_FALSE(p().deleteFileW(u"d\\e")) << "folders are not deleted as files";
  EXPECT_TRUE(backend_->exists("d/e"));

  EXPECT_TRUE(p().replaceFileW(u"d\\new.txt", u"d\\old.txt"));
  EXPECT_EQ(backend_->read("d/old.txt"), "new");
  EXPECT_FALSE(backend_->exists("d/new.txt"));
  EXPECT_TRUE(p().replaceFileW(u"d\\old.txt", u"d\\e\\moved.txt"));
  EXPECT_EQ(backend_->read("d/e/moved.txt"), "new");
  EXPECT_FALSE(p().replaceFileW(u"d\\missing", u"d\\e\\moved.txt"));
  EXPECT_EQ(backend_->read("d/e/moved.txt"), "new") << "a failed replace leaves the target";
}

TEST_P(PlatformContract, EntryKindsWithoutFollowingLinks) {
  backend_->folder("d/e");
  backend_->file("d/x.txt", "x");
  EXPECT_EQ(p().entryKind(narrow("d/e").c_str()), EntryKind::kFolder);
  EXPECT_EQ(p().entryKind(narrow("d/x.txt").c_str()), EntryKind::kFile);
  EXPECT_EQ(p().entryKind(narrow("d/missing").c_str()), EntryKind::kNone);
}

TEST_P(PlatformContract, FolderIdentityFollowsTheFolderNotThePath) {
  backend_->folder("d/e");
  std::string start;
  ASSERT_TRUE(p().getWorkingFolder(&start));
  FolderId here;
  FolderId again;
  FolderId other;
  ASSERT_TRUE(p().workingFolderId(&here));
  ASSERT_TRUE(p().changeWorkingFolder(narrow("d/e").c_str()));
  ASSERT_TRUE(p().workingFolderId(&other));
  ASSERT_TRUE(p().changeWorkingFolder(narrow("../..").c_str()));
  ASSERT_TRUE(p().workingFolderId(&again));
  EXPECT_TRUE(here == again);
  EXPECT_FALSE(here == other);
  ASSERT_TRUE(p().changeWorkingFolder(start.c_str()));
}

TEST_P(PlatformContract, NewFilesAreNeverOpenedOverExistingOnes) {
  backend_->folder("d/e");
  backend_->file("d/x.txt", "keep");
  EXPECT_EQ(p().createNewFileW(u"d\\x.txt"), nullptr);
  EXPECT_EQ(p().createNewFile(narrow("d/x.txt").c_str()), nullptr);
  EXPECT_EQ(p().createNewFileW(u"d\\e"), nullptr);
  EXPECT_EQ(backend_->read("d/x.txt"), "keep");

  std::unique_ptr<Stream> made = p().createNewFileW(u"d\\new.bin");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->write("ab", 2), 2u);
  EXPECT_TRUE(made->rewind());
  EXPECT_EQ(made->write("c", 1), 1u);
  EXPECT_TRUE(made->close());
  EXPECT_EQ(backend_->read("d/new.bin"), "cb");
  std::unique_ptr<Stream> narrowMade = p().createNewFile(narrow("d/n.bin").c_str());
  ASSERT_NE(narrowMade, nullptr);
  EXPECT_TRUE(narrowMade->close());
  EXPECT_EQ(backend_->read("d/n.bin"), "");
}

TEST_P(PlatformContract, AnsiToUtf16) {
  EXPECT_EQ(p().ansiToUtf16(""), u"");
  EXPECT_EQ(p().ansiToUtf16("FlashDrive\\a b.txt"), u"FlashDrive\\a b.txt");
  if (!backend_->ansiIsUtf8()) GTEST_SKIP() << "the code page is not UTF-8";
  EXPECT_EQ(p().ansiToUtf16("Gr\xC3\xB6\xC3\x9F\xF0\x9F\x98\x80"), u"Gr\u00F6\u00DF\U0001F600");
  EXPECT_EQ(p().ansiToUtf16("a\xC3"), std::nullopt) << "a cut sequence";
  EXPECT_EQ(p().ansiToUtf16("\xC0\xAF"), std::nullopt) << "an overlong form";
  EXPECT_EQ(p().ansiToUtf16("\xED\xA0\x80"), std::nullopt) << "a surrogate";
}

INSTANTIATE_TEST_SUITE_P(
    Backends, PlatformContract,
    ::testing::Values(
        BackendKind{"Native", [] { return std::unique_ptr<Backend>(new NativeBackend()); }},
        BackendKind{"FakePosix", [] { return std::unique_ptr<Backend>(new FakeBackend('/', "")); }},
        BackendKind{"FakeWindows",
                    [] { return std::unique_ptr<Backend>(new FakeBackend('\\', "C:")); }}),
    [](const ::testing::TestParamInfo<BackendKind>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillet
