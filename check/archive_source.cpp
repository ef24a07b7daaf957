// The archive source: the release's zip archive through the bounded zip
// reader, over a file of the system layer.
#include "release_check.h"
#include "release_source.h"
#include "system_files.h"
#include "zip_reader.h"

namespace quillet::check {
namespace {

SourceFailure sourceFailureOf(zip::Failure failure) {
  switch (failure) {
    case zip::Failure::kNone:
      return SourceFailure::kNone;
    case zip::Failure::kCannotRead:
      return SourceFailure::kCannotOpen;
    case zip::Failure::kStopped:
      return SourceFailure::kStopped;
    case zip::Failure::kUnsupported:
      return SourceFailure::kUnsupported;
    default:
      return SourceFailure::kDamaged;
  }
}

class ArchiveSource final : public ReleaseSource {
 public:
  explicit ArchiveSource(std::unique_ptr<ByteSource> file) : file_(std::move(file)) {}

  bool open() {
    reader_.setEntryLimit(kReleaseEntriesMax, kReleaseEntriesWhy);
    reader_.setNameLimit(kEntryNameBytesMax, kEntryNameWhy);
    if (!reader_.open(*file_, legacyNameDecoder())) return false;
    entries_.reserve(reader_.entries().size());
    for (const zip::Entry& stored : reader_.entries()) {
      ReleaseEntry& entry = entries_.emplace_back();
      entry.size = stored.size;
      entry.nameBytes = stored.nameSize;
      entry.crc32 = stored.crc32;
      entry.folder = stored.folder;
      entry.link = stored.isLink();
      // An ASCII name reads the same in every code page; only others are at risk.
      entry.legacyName = stored.legacyName && stored.beyondAscii;
      entry.legacyUtf8 = entry.legacyName && stored.legacyUtf8;
      entry.zip64 = stored.zip64;
    }
    return true;
  }

  const char* kind() const override { return "archive"; }
  std::size_t count() const override { return entries_.size(); }
  const ReleaseEntry& entry(std::size_t index) const override { return entries_[index]; }
  bool usesZip64() const override { return reader_.usesZip64(); }

  bool forEachName(const NameSink& each) override { return reader_.forEachName(each); }
  std::string_view nameOf(std::size_t index, std::string& scratch) override {
    return reader_.nameOf(index, scratch);
  }
  std::string namesLost() const override { return reader_.namesLost(); }

  bool read(std::size_t index, const Sink& sink) override {
    if (entries_.at(index).folder) return reader_.checkLocalHeader(index);
    return reader_.readEntry(index, sink);
  }
  SourceFailure failure() const override { return sourceFailureOf(reader_.failure()); }
  const std::string& message() const override { return reader_.message(); }

 private:
  std::unique_ptr<ByteSource> file_;
  zip::Reader reader_;
  std::vector<ReleaseEntry> entries_;
};

}  // namespace

std::unique_ptr<ReleaseSource> openArchiveRelease(const std::string& path, SourceFailure* failure,
                                                  std::string* message) {
  std::string error;
  std::unique_ptr<ByteSource> file = openInputFile(path, &error);
  if (file == nullptr) {
    *failure = SourceFailure::kCannotOpen;
    *message = error;
    return nullptr;
  }
  return openArchiveRelease(std::move(file), path, failure, message);
}

std::unique_ptr<ReleaseSource> openArchiveRelease(std::unique_ptr<ByteSource> bytes,
                                                  const std::string& path, SourceFailure* failure,
                                                  std::string* message) {
  auto source = std::make_unique<ArchiveSource>(std::move(bytes));
  if (!source->open()) {
    const SourceFailure said = source->failure();
    *failure = said == SourceFailure::kCannotOpen || said == SourceFailure::kUnsupported
                   ? said
                   : SourceFailure::kDamaged;
    *message = path + ": " + source->message();
    return nullptr;
  }
  return source;
}

}  // namespace quillet::check
