// The fake platform, part 2: the Platform operations over the in-memory
// tree. What lives here: the streams over in-memory files, the file search,
// the working folder, opening, creating, deleting and replacing files, the
// walk's queries, the console, standard input, commands and interruptions.
// The tree, path resolution and setup are in fake_platform_tree.cpp.
#include "fake_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fake_platform_tree.h"
#include "utf.h"

namespace quillet::testing {
namespace {

// A stream over one in-memory file. Reads and writes work on the node
// itself, as a stream on a real file does.
class FakeStream final : public Stream {
 public:
  FakeStream(std::shared_ptr<FakePlatform::Node> node, bool reading, bool writing,
             std::size_t position, const std::size_t* readLimit, const std::size_t* writeLimit,
             bool closeFails, std::atomic<std::size_t>* bytesRead)
      : node_(std::move(node)),
        reading_(reading),
        writing_(writing),
        position_(position),
        readLimit_(readLimit != nullptr ? *readLimit : SIZE_MAX),
        writeLimit_(writeLimit != nullptr ? *writeLimit : SIZE_MAX),
        closeFails_(closeFails),
        bytesRead_(bytesRead) {}

  std::size_t read(void* buffer, std::size_t size) override {
    if (node_ == nullptr || !reading_) {
      failed_ = node_ != nullptr;
      return 0;
    }
    const std::size_t available =
        position_ < node_->bytes.size() ? node_->bytes.size() - position_ : 0;
    std::size_t count = std::min(size, available);
    if (position_ + count > readLimit_) {
      count = readLimit_ > position_ ? readLimit_ - position_ : 0;
      failed_ = true;
      errno = EIO;
    }
    std::memcpy(buffer, node_->bytes.data() + position_, count);
    position_ += count;
    *bytesRead_ += count;
    return count;
  }
  bool readFailed() const override { return failed_; }

  std::size_t write(const void* data, std::size_t size) override {
    if (node_ == nullptr || !writing_) return 0;
    wrote_ = true;
    std::size_t count = size;
    if (written_ + count > writeLimit_) {
      count = writeLimit_ - written_;
      errno = ENOSPC;
    }
    if (node_->bytes.size() < position_ + count) node_->bytes.resize(position_ + count);
    std::memcpy(node_->bytes.data() + position_, data, count);
    position_ += count;
    written_ += count;
    return count;
  }

  bool rewind() override {
    if (node_ == nullptr) return false;
    position_ = 0;
    return true;
  }

  bool close() override {
    if (node_ == nullptr) return true;
    node_ = nullptr;
    return !(wrote_ && closeFails_);
  }

 private:
  std::shared_ptr<FakePlatform::Node> node_;
  bool reading_;
  bool writing_;
  std::size_t position_;
  std::size_t readLimit_;
  std::size_t writeLimit_;
  bool closeFails_;
  std::atomic<std::size_t>* bytesRead_;
  bool failed_ = false;
  bool wrote_ = false;
  std::size_t written_ = 0;
};

}  // namespace

// --- File search.

SearchHandle FakePlatform::findFirstFile(const char* pattern, FindData* data) {
  ++calls.findFirstFile;
  if (onFindFirstFile) onFindFirstFile(pattern);
  std::string folder(pattern);
  if (folder.empty() || folder.back() != '*') {
    searchError_ = EINVAL;
    return kInvalidSearchHandle;
  }
  folder.pop_back();
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == separator_)) {
    folder.pop_back();
  }
  const std::optional<Components> components =
      folder == root_ && !root_.empty() ? Components{} : resolve(folder, separator_);
  const std::shared_ptr<Node> node = find(*components);
  if (node == nullptr || !node->folder) {
    searchError_ = node == nullptr ? ENOENT : ENOTDIR;
    return kInvalidSearchHandle;
  }
  if (hits(faults.unlistable, *components)) {
    searchError_ = EACCES;
    return kInvalidSearchHandle;
  }
  Search search;
  const auto listing = listings_.find(absolute(*components));
  if (listing != listings_.end()) {
    search.names = listing->second;
  } else {
    search.names = {".", ".."};
    for (const auto& entry : node->children) search.names.push_back(entry.first);
  }
  if (search.names.empty()) {
    searchError_ = ENOENT;  // nothing matches
    return kInvalidSearchHandle;
  }
  data->fileName = search.names[0];
  search.next = 1;
  const SearchHandle handle = nextHandle_++;
  searches_[handle] = std::move(search);
  return handle;
}

std::string FakePlatform::searchFailure() {
  return std::string(std::strerror(searchError_)) + " (errno " + std::to_string(searchError_) + ")";
}

bool FakePlatform::findNextFile(SearchHandle handle, FindData* data) {
  ++calls.findNextFile;
  if (calls.findNextFile == faults.failFindNextFileCall) {
    errno = EIO;
    return false;
  }
  const auto search = searches_.find(handle);
  if (search == searches_.end() || search->second.next >= search->second.names.size()) {
    return false;
  }
  data->fileName = search->second.names[search->second.next++];
  return true;
}

void FakePlatform::findClose(SearchHandle handle) {
  ++calls.findClose;
  if (searches_.erase(handle) == 0) ++calls.findCloseOfUnknownHandle;
}

// --- Working folder.

bool FakePlatform::getWorkingFolder(std::string* path) {
  *path = absolute(working_);
  return true;
}

bool FakePlatform::changeWorkingFolder(const char* path) {
  ++calls.changeWorkingFolder;
  const std::optional<Components> components = resolve(path, separator_);
  const std::shared_ptr<Node> node = find(*components);
  if (node == nullptr || !node->folder) {
    errno = node == nullptr ? ENOENT : ENOTDIR;
    changeError_ = errno;
    return false;
  }
  working_ = *components;
  return true;
}

std::string FakePlatform::changeFailure() {
  return std::string(std::strerror(changeError_)) + " (errno " + std::to_string(changeError_) + ")";
}

// --- Files.

bool FakePlatform::opensForReading(const char* path, std::uint64_t* size) {
  const std::optional<Components> components = resolve(path, separator_);
  const std::shared_ptr<Node> node = find(*components);
  if (node == nullptr || node->folder || hits(faults.openFails, *components)) return false;
  *size = node->size ? *node->size : node->bytes.size();
  return true;
}

std::unique_ptr<Stream> FakePlatform::open(const std::optional<Components>& components,
                                           const char* mode) {
  const std::lock_guard<std::mutex> lock(openMutex_);
  ++calls.openFile;
  if (!components || components->empty()) {
    errno = EINVAL;
    return nullptr;
  }
  if (hits(faults.openFails, *components)) {
    errno = EACCES;
    return nullptr;
  }
  const bool plus = std::strchr(mode, '+') != nullptr;
  std::shared_ptr<Node> node = find(*components);
  if (node != nullptr && node->folder) {
    errno = EISDIR;
    return nullptr;
  }
  const std::size_t* readLimit = limitFor(faults.readFailsAfter, *components);
  const std::size_t* writeLimit = limitFor(faults.writeFailsAfter, *components);
  const bool closeFails = hits(faults.closeFails, *components);
  if (mode[0] == 'r') {
    if (node == nullptr) {
      errno = ENOENT;
      return nullptr;
    }
    return std::make_unique<FakeStream>(node, true, plus, 0, readLimit, writeLimit, closeFails,
                                        &bytesRead);
  }
  if (mode[0] != 'w' && mode[0] != 'a') {
    errno = EINVAL;
    return nullptr;
  }
  Components parentPath = *components;
  const std::string name = parentPath.back();
  parentPath.pop_back();
  const std::shared_ptr<Node> parent = find(parentPath);
  if (parent == nullptr || !parent->folder) {
    errno = ENOENT;
    return nullptr;
  }
  if (node == nullptr) {
    node = std::make_shared<Node>();
    parent->put(name, node);
  }
  if (mode[0] == 'w') node->bytes.clear();
  return std::make_unique<FakeStream>(node, plus, true, node->bytes.size(), readLimit, writeLimit,
                                      closeFails, &bytesRead);
}

// --- The walk under hostile conditions.

EntryKind FakePlatform::entryKind(const char* path) {
  const std::optional<Components> components = resolve(path, separator_);
  const std::shared_ptr<Node> node = find(*components);
  if (node == nullptr) return EntryKind::kNone;
  if (node->kind) return *node->kind;
  return node->folder ? EntryKind::kFolder : EntryKind::kFile;
}

bool FakePlatform::workingFolderId(FolderId* id) {
  const std::shared_ptr<Node> node = find(working_);
  if (node == nullptr) return false;
  id->volume = 1;
  id->index = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(node.get()));
  return true;
}

std::unique_ptr<Stream> FakePlatform::createNewFile(const char* path) {
  const std::optional<Components> components = resolve(path, separator_);
  if (components && find(*components) != nullptr) {
    ++calls.openFile;
    errno = EEXIST;
    return nullptr;
  }
  return open(components, "wb");
}

std::unique_ptr<Stream> FakePlatform::createNewFileW(const std::u16string& path) {
  const std::optional<Components> components = resolveWide(path);
  if (components && find(*components) != nullptr) {
    ++calls.openFile;
    errno = EEXIST;
    return nullptr;
  }
  return open(components, "wb");
}

std::unique_ptr<Stream> FakePlatform::openFile(const char* path, const char* mode) {
  return open(resolve(path, separator_), mode);
}

std::unique_ptr<Stream> FakePlatform::openFileW(const std::u16string& path, const char* mode) {
  return open(resolveWide(path), mode);
}

std::unique_ptr<ByteSource> FakePlatform::openToReadAtW(const std::u16string& path,
                                                        std::string* error) {
  const std::optional<Components> components = resolveWide(path);
  const std::shared_ptr<Node> node = components ? find(*components) : nullptr;
  if (node == nullptr || node->folder) {
    *error = "no such file";
    return nullptr;
  }
  return std::make_unique<MemorySource>(node->bytes);
}

bool FakePlatform::deleteFileW(const std::u16string& path) {
  ++calls.deleteFile;
  std::optional<Components> components = resolveWide(path);
  if (!components || components->empty() || hits(faults.deleteFails, *components)) return false;
  const std::shared_ptr<Node> node = find(*components);
  if (node == nullptr || node->folder) return false;
  const std::string name = components->back();
  components->pop_back();
  find(*components)->remove(name);
  return true;
}

bool FakePlatform::setNormalAttributesW(const std::u16string& path) {
  const std::optional<Components> components = resolveWide(path);
  if (!components) return false;
  const std::shared_ptr<Node> node = find(*components);
  return node != nullptr && !node->folder;
}

bool FakePlatform::replaceFileW(const std::u16string& from, const std::u16string& to) {
  ++calls.replaceFile;
  std::optional<Components> source = resolveWide(from);
  std::optional<Components> target = resolveWide(to);
  if (!source || !target || source->empty() || target->empty()) return false;
  if (hits(faults.replaceFails, *target)) return false;
  const std::shared_ptr<Node> moving = find(*source);
  const std::shared_ptr<Node> replaced = find(*target);
  if (moving == nullptr || moving->folder || (replaced != nullptr && replaced->folder)) {
    return false;
  }
  const std::string targetName = target->back();
  target->pop_back();
  const std::shared_ptr<Node> targetParent = find(*target);
  if (targetParent == nullptr || !targetParent->folder) return false;
  const std::string sourceName = source->back();
  source->pop_back();
  find(*source)->remove(sourceName);
  targetParent->put(targetName, moving);
  return true;
}

bool FakePlatform::folderExistsW(const std::u16string& path) {
  const std::optional<Components> components = resolveWide(path);
  if (!components) return false;
  const std::shared_ptr<Node> node = find(*components);
  return node != nullptr && node->folder;
}

// --- Text, console, commands.

std::optional<std::u16string> FakePlatform::ansiToUtf16(const std::string& ansi) {
  return utf8ToUtf16(ansi);
}

void FakePlatform::print(const std::string& text) {
  if (onPrint) onPrint(text);
  console += text;
}

void FakePlatform::printWide(const std::u16string& text) { print(utf16ToUtf8Lenient(text)); }

int FakePlatform::readChar() {
  if (inputPosition_ >= input.size()) return EOF;
  return static_cast<unsigned char>(input[inputPosition_++]);
}

std::string FakePlatform::archiverCommandLine(const std::string&) const {
  return "..\\7za a -tzip ..\\ZarvoEUupdate.zip *";
}

CommandResult FakePlatform::runCommand(const std::string& commandLine) {
  ++calls.runCommand;
  commands.push_back(commandLine);
  commandFolders.push_back(absolute(working_));
  if (onCommand) return onCommand(commandLine);
  return commandResult;
}

// --- The run under hostile conditions.

int FakePlatform::interruption() {
  if (interruptionStatus == 0) return 0;
  return interruptionQueries++ >= interruptAfterQueries ? interruptionStatus : 0;
}

EntryKind FakePlatform::entryKindW(const std::u16string& path) {
  const std::optional<Components> components = resolveWide(path);
  if (!components) return EntryKind::kUnknown;
  const std::shared_ptr<Node> node = find(*components);
  if (node == nullptr) return EntryKind::kNone;
  if (node->kind) return *node->kind;
  return node->folder ? EntryKind::kFolder : EntryKind::kFile;
}

}  // namespace quillet::testing
