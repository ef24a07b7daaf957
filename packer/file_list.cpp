#include "file_list.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "console.h"
#include "platform.h"

namespace quillet {

std::uint16_t fileListCount = 0;
PathSlot* pathSlots = nullptr;

namespace {

const std::u16string kListPath = u"FlashDrive\\$FileList.txt";
const std::u16string kTempPath = u"FlashDrive\\$temp.txt";

// Reads a list file: its two header bytes, then its lines of UTF-16LE units.
class ListReader {
 public:
  enum class Line {
    kComplete,      // units up to and including a line feed
    kNone,          // nothing more to read
    kUnterminated,  // no line feed within kLineUnitsMax units, or the file ends first
    kFailed,        // a read error
  };

  explicit ListReader(Stream& stream) : stream_(stream) {}

  // False when the file ends (or fails) before its two header bytes.
  bool readHeader(unsigned char header[2]) {
    for (int i = 0; i < 2; ++i) {
      const int byte = nextByte();
      if (byte < 0) return false;
      header[i] = static_cast<unsigned char>(byte);
    }
    return true;
  }

  // One line as one read takes it: units up to and including the next line
  // feed, at most kLineUnitsMax units.
  Line readLine(std::u16string* line) {
    line->clear();
    bool partialUnit = false;
    while (line->size() < kLineUnitsMax) {
      const int low = nextByte();
      if (low < 0) break;
      const int high = nextByte();
      if (high < 0) {
        partialUnit = true;
        break;
      }
      const auto unit = static_cast<char16_t>(low | (high << 8));
      line->push_back(unit);
      if (unit == u'\n') return Line::kComplete;
    }
    if (failed_) return Line::kFailed;
    if (line->empty() && !partialUnit) return Line::kNone;
    return Line::kUnterminated;
  }

  bool failed() const { return failed_; }

 private:
  int nextByte() {
    if (position_ == size_) {
      if (failed_) return -1;
      size_ = stream_.read(buffer_, sizeof buffer_);
      position_ = 0;
      if (size_ == 0) {
        failed_ = stream_.readFailed();
        return -1;
      }
    }
    return buffer_[position_++];
  }

  Stream& stream_;
  unsigned char buffer_[4096];
  std::size_t size_ = 0;
  std::size_t position_ = 0;
  bool failed_ = false;
};

// The message for a line that one read did not take whole.
void reportUnterminated(const std::u16string& line, int lineNumber) {
  if (line.size() >= kLineUnitsMax) {
    printWide(u"The file '%s' holds a line longer than 511 units (line %d)\r\n",
              {kListPath, lineNumber});
  } else {
    printWide(u"The file '%s' ends with a line without a line feed\r\n", {kListPath});
  }
}

// What reading the next line of the list came to.
enum class NextLine { kLine, kEnd, kRefused };

// Reads the next line, counting it; a read error and a line that one read
// does not take whole are reported and refused.
NextLine nextLine(ListReader& reader, std::u16string* line, int* lineNumber) {
  const ListReader::Line read = reader.readLine(line);
  if (read == ListReader::Line::kNone) return NextLine::kEnd;
  ++*lineNumber;
  if (read == ListReader::Line::kFailed) {
    printWide(u"The file '%s' could not be read\r\n", {kListPath});
    return NextLine::kRefused;
  }
  if (read == ListReader::Line::kUnterminated) {
    reportUnterminated(*line, *lineNumber);
    return NextLine::kRefused;
  }
  return NextLine::kLine;
}

void reportHeaderMissing(const ListReader& reader) {
  if (reader.failed()) {
    printWide(u"The file '%s' could not be read\r\n", {kListPath});
  } else {
    printWide(u"The file '%s' is shorter than its 2-byte header\r\n", {kListPath});
  }
}

}  // namespace

int fileList_Load() {
  std::unique_ptr<Stream> list = platform().openFileW(kListPath, "rb");
  if (list == nullptr) {
    printWide(u"The file '%s' was not opened\r\n", {kListPath});
    return 0;
  }
  // Whatever was loaded before gives way; on any failure below nothing is
  // left loaded, so nothing downstream reads a slot that was not filled.
  fileList_Release();

  ListReader reader(*list);
  unsigned char header[2];
  if (!reader.readHeader(header)) {
    reportHeaderMissing(reader);
    return 0;
  }
  const auto count = static_cast<std::uint16_t>(header[0] | (header[1] << 8));
  std::unique_ptr<PathSlot[]> slots(new (std::nothrow) PathSlot[count]);
  if (slots == nullptr) {
    printWide(u"There is not enough memory to load %d paths of the file '%s'\r\n",
              {count, kListPath});
    return 0;
  }

  std::size_t stored = 0;
  int lineNumber = 0;
  std::u16string line;
  for (;;) {
    const NextLine next = nextLine(reader, &line, &lineNumber);
    if (next == NextLine::kEnd) break;
    if (next == NextLine::kRefused) return 0;
    if (line.size() == 1) continue;  // a line feed alone takes no slot
    const std::size_t length = line.size() - 1;
    if (length > kSlotUnits - 1) {
      printWide(u"The file '%s' holds a line longer than 511 units (line %d)\r\n",
                {kListPath, lineNumber});
      return 0;
    }
    if (std::find(line.begin(), line.end() - 1, u'\0') != line.end() - 1) {
      printWide(u"The file '%s' holds a NUL unit in line %d\r\n", {kListPath, lineNumber});
      return 0;
    }
    if (stored == count) {
      printWide(u"The file '%s' holds more lines than its header counts (%d)\r\n",
                {kListPath, count});
      return 0;
    }
    printWide(u"len = '%d'\r\n", {static_cast<int>(length)});
    char16_t* slot = slots[stored];
    std::copy(line.begin(), line.end() - 1, slot);
    std::fill(slot + length, slot + kSlotUnits, u'\0');
    printWide(u"buffer = '%s'\r\n", {std::u16string(slot, length)});
    ++stored;
  }
  list->close();
  if (stored != count) {
    printWide(u"The file '%s' holds %d lines but its header counts %d\r\n",
              {kListPath, static_cast<int>(stored), count});
    return 0;
  }
  fileListCount = count;
  pathSlots = slots.release();
  return 1;
}

void fileList_Release() {
  delete[] pathSlots;
  pathSlots = nullptr;
  fileListCount = 0;
}

int fileList_ScratchNameIsFree() {
  // The entry's kind, not whether a file opens: a link (even a broken one),
  // a folder or an unreadable file by that name is in the way as much.
  const std::string path = std::string("FlashDrive") + platform().separator() + "$temp.txt";
  if (platform().entryKind(path.c_str()) == EntryKind::kUnknown) return 1;
  printWide(
      u"The file '%s' is in the way: the run writes its scratch file by that name. "
      u"Rename or move it, then run again\n",
      {kTempPath});
  return 0;
}

int fileList_StripPrefix() {
  std::unique_ptr<Stream> list = platform().openFileW(kListPath, "rb");
  if (list == nullptr) {
    printWide(u"The file '%s' was not opened\r\n", {kListPath});
    return 0;
  }
  ListReader reader(*list);
  unsigned char header[2];
  if (!reader.readHeader(header)) {
    reportHeaderMissing(reader);
    return 0;
  }
  // Always a new file: an existing "$temp.txt" (the user's own, or a link
  // by that name) is never opened, let alone overwritten.
  std::unique_ptr<Stream> temp = platform().createNewFileW(kTempPath);
  if (temp == nullptr) {
    printWide(u"The file '%s' was not opened\r\n", {kTempPath});
    list->close();
    return 0;
  }
  // Any failure from here on removes the scratch file; the list has not
  // been touched.
  const auto fail = [&temp] {
    temp->close();
    platform().deleteFileW(kTempPath);
    return 0;
  };

  // The header is copied as it was read, not recomputed.
  if (temp->write(header, 2) != 2) {
    printWide(u"The file '%s' could not be written\r\n", {kTempPath});
    return fail();
  }
  int lineNumber = 0;
  std::u16string line;
  std::string bytes;
  for (;;) {
    const NextLine next = nextLine(reader, &line, &lineNumber);
    if (next == NextLine::kEnd) break;
    if (next == NextLine::kRefused) return fail();
    if (line.size() < kPrefixUnits + 1) {
      printWide(u"The file '%s' holds a line too short to lose its first 11 units (line %d)\r\n",
                {kListPath, lineNumber});
      return fail();
    }
    // The first 11 units, "FlashDrive\" in a first-form line, are dropped
    // unexamined; the rest goes out with its line feed.
    bytes.clear();
    for (std::size_t i = kPrefixUnits; i < line.size(); ++i) {
      bytes.push_back(static_cast<char>(line[i] & 0xFF));
      bytes.push_back(static_cast<char>(line[i] >> 8));
    }
    if (temp->write(bytes.data(), bytes.size()) != bytes.size()) {
      printWide(u"The file '%s' could not be written\r\n", {kTempPath});
      return fail();
    }
  }
  list->close();
  if (!temp->close()) {
    printWide(u"The file '%s' could not be written\r\n", {kTempPath});
    return fail();
  }
  // The scratch file takes the list's place in one step, so the staging
  // folder never lacks a list.
  if (!platform().replaceFileW(kTempPath, kListPath)) {
    printWide(u"The file '%s' could not replace the file '%s'\r\n", {kTempPath, kListPath});
    platform().deleteFileW(kTempPath);
    return 0;
  }
  return 1;
}

}  // namespace quillet
