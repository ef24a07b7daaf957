// The archive source: the release's zip archive through the bounded zip
// reader, over a file of the platform layer.
#include "check_platform.h"
#include "file_bytes.h"
#include "release_check.h"
#include "release_source.h"
#include "zip_reader.h"

namespace quillet::check {
namespace {

constexpr std::uint16_t kMethodStored = 0;

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
  ArchiveSource(std::unique_ptr<InputFile> file, std::uint64_t namesHeldMax)
      : bytes_(std::move(file)), namesHeldMax_(namesHeldMax) {}

  bool open() {
    zip::LegacyNameDecoder decoder = legacyNameDecoder();
    reader_.setEntryLimit(kReleaseEntriesMax, kReleaseEntriesWhy);
    reader_.setNameLimit(kEntryNameBytesMax, kEntryNameWhy);
    reader_.setNamesHeldMax(namesHeldMax_, kNamesHeldEntryShareBytes);
    const bool opened = decoder ? reader_.open(bytes_, decoder) : reader_.open(bytes_);
    if (!opened) return false;
    entries_.reserve(reader_.entries().size());
    kinds_.reserve(reader_.entries().size());
    for (const zip::Entry& stored : reader_.entries()) {
      ReleaseEntry entry;
      entry.name = stored.name;  // the reader's own bytes, not a copy (or none)
      entry.nameBytes = stored.nameSize;
      entry.folder = stored.isFolder();
      // An ASCII name reads the same in every code page; only others are at risk.
      entry.legacyName = stored.legacyName && stored.beyondAscii;
      entry.zip64 = stored.zip64;
      entry.size = stored.size;
      entries_.push_back(entry);
      kinds_.push_back(entry.folder                     ? Kind::kFolder
                       : stored.method == kMethodStored ? Kind::kStored
                                                        : Kind::kDeflated);
    }
    bytes_.setBlocks(FileBytes::blocksBeside(reader_.namesHeldBytes(), entries_.size()));
    return true;
  }

  const char* kind() const override { return "archive"; }
  const std::vector<ReleaseEntry>& entries() const override { return entries_; }
  bool usesZip64() const override { return reader_.usesZip64(); }

  bool read(std::size_t index, const Sink& sink) override {
    if (kinds_.at(index) == Kind::kFolder) return reader_.checkLocalHeader(index);
    return reader_.readEntry(index, sink);
  }

  // Stored data is read faster than it is digested: its CRC stays here.
  std::optional<std::uint32_t> crcLeftToCaller(std::size_t index) const override {
    if (kinds_.at(index) != Kind::kDeflated) return std::nullopt;
    return reader_.entries()[index].crc32;
  }

  bool readLeavingCrc(std::size_t index, const Sink& sink, const Room& room) override {
    if (!crcLeftToCaller(index)) return read(index, sink);
    return reader_.readEntry(index, sink, zip::Reader::Crc::kLeftToCaller, room);
  }

  void prefetch(std::size_t index, bool recordFetched) override {
    reader_.prefetch(index, recordFetched);
  }

  std::string crcMismatch(std::size_t index, std::uint32_t found) const override {
    return reader_.crcMismatch(index, found);
  }

  std::string_view nameOf(std::size_t index, std::string& scratch) const override {
    return reader_.nameOf(index, scratch);
  }
  std::string namesLost() const override { return reader_.namesLost(); }

  SourceFailure failure() const override { return sourceFailureOf(reader_.failure()); }
  const std::string& message() const override { return reader_.message(); }

 private:
  FileBytes bytes_;
  std::uint64_t namesHeldMax_;
  zip::Reader reader_;
  std::vector<ReleaseEntry> entries_;
  // What each entry is, in a byte: the entries are read in the file list's
  // order, all over the archive, and this is asked of each first.
  enum class Kind : std::uint8_t { kFolder, kStored, kDeflated };
  std::vector<Kind> kinds_;
};

}  // namespace

std::unique_ptr<ReleaseSource> openArchiveRelease(const std::string& path, SourceFailure* failure,
                                                  std::string* message,
                                                  std::uint64_t namesHeldMax) {
  std::string error;
  std::unique_ptr<InputFile> file = openInputFile(path, &error);
  if (file == nullptr) {
    *failure = SourceFailure::kCannotOpen;
    *message = error;
    return nullptr;
  }
  auto source = std::make_unique<ArchiveSource>(std::move(file), namesHeldMax);
  if (!source->open()) {
    *failure = source->failure() == SourceFailure::kCannotOpen ? SourceFailure::kCannotOpen
                                                               : SourceFailure::kDamaged;
    *message = path + ": " + source->message();
    return nullptr;
  }
  return source;
}

}  // namespace quillet::check
