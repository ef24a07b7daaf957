// The archive source: the release's zip archive through the bounded zip
// reader, over a file of the platform layer.
#include "check_platform.h"
#include "release_source.h"
#include "zip_reader.h"

namespace quillet::check {
namespace {

// The platform's file as the zip reader's byte source.
class FileBytes final : public zip::ByteSource {
 public:
  explicit FileBytes(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}
  std::uint64_t size() const override { return file_->size(); }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t size) override {
    return file_->readAt(offset, buffer, size);
  }

 private:
  std::unique_ptr<InputFile> file_;
};

SourceFailure sourceFailureOf(zip::Failure failure) {
  switch (failure) {
    case zip::Failure::kNone:
      return SourceFailure::kNone;
    case zip::Failure::kCannotRead:
      return SourceFailure::kCannotOpen;
    case zip::Failure::kStopped:
      return SourceFailure::kStopped;
    default:
      return SourceFailure::kDamaged;
  }
}

class ArchiveSource final : public ReleaseSource {
 public:
  explicit ArchiveSource(std::unique_ptr<InputFile> file) : bytes_(std::move(file)) {}

  bool open() {
    zip::LegacyNameDecoder decoder = legacyNameDecoder();
    const bool opened = decoder ? reader_.open(bytes_, decoder) : reader_.open(bytes_);
    if (!opened) return false;
    for (const zip::Entry& stored : reader_.entries()) {
      ReleaseEntry entry;
      entry.name = stored.name;
      entry.rawName = stored.rawName;
      entry.folder = stored.isFolder();
      entry.legacyName = stored.legacyName;
      entry.zip64 = stored.zip64;
      entry.size = stored.size;
      entries_.push_back(entry);
    }
    return true;
  }

  const char* kind() const override { return "archive"; }
  const std::vector<ReleaseEntry>& entries() const override { return entries_; }
  bool usesZip64() const override { return reader_.usesZip64(); }

  bool read(std::size_t index, const Sink& sink) override {
    if (entries_.at(index).folder) return reader_.checkLocalHeader(index);
    return reader_.readEntry(index, sink);
  }

  SourceFailure failure() const override { return sourceFailureOf(reader_.failure()); }
  const std::string& message() const override { return reader_.message(); }

 private:
  FileBytes bytes_;
  zip::Reader reader_;
  std::vector<ReleaseEntry> entries_;
};

}  // namespace

std::unique_ptr<ReleaseSource> openArchiveRelease(const std::string& path, SourceFailure* failure,
                                                  std::string* message) {
  std::string error;
  std::unique_ptr<InputFile> file = openInputFile(path, &error);
  if (file == nullptr) {
    *failure = SourceFailure::kCannotOpen;
    *message = error;
    return nullptr;
  }
  auto source = std::make_unique<ArchiveSource>(std::move(file));
  if (!source->open()) {
    *failure = source->failure() == SourceFailure::kCannotOpen ? SourceFailure::kCannotOpen
                                                               : SourceFailure::kDamaged;
    *message = path + ": " + source->message();
    return nullptr;
  }
  return source;
}

}  // namespace quillet::check
