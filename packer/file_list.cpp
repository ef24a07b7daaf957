#include "file_list.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "console.h"
#include "list_format.h"
#include "platform.h"

namespace quillet {

std::uint16_t fileListCount = 0;
PathSlot* pathSlots = nullptr;

namespace {

const std::u16string kListPath = u"FlashDrive\\$FileList.txt";
const std::u16string kTempPath = u"FlashDrive\\$temp.txt";

void reportLineTooLong(int lineNumber) {
  printWide(u"The file '%s' holds a line longer than %d units (line %d)\r\n",
            {kListPath, static_cast<int>(kListLineUnitsMax), lineNumber});
}

// What reading a list file through the decoder came to.
enum class ListRead {
  kDone,     // every line was handed over and the file ended where it should
  kStopped,  // the sink refused a line (it has said why)
  kFailed,   // a read error
  kFault,    // the decoder found the file malformed
};

// Streams the list in `stream` through `decoder`, handing each line to `sink`.
ListRead readList(Stream& stream, ListDecoder& decoder, const ListDecoder::LineSink& sink) {
  unsigned char buffer[4096];
  for (;;) {
    const std::size_t got = stream.read(buffer, sizeof buffer);
    if (got == 0) {
      if (stream.readFailed()) return ListRead::kFailed;
      return decoder.finish() ? ListRead::kDone : ListRead::kFault;
    }
    if (!decoder.feed(buffer, got, sink)) {
      return decoder.fault() == ListFault::kNone ? ListRead::kStopped : ListRead::kFault;
    }
  }
}

// The message for a list that could not be read or is malformed.
void reportListRead(ListRead read, const ListDecoder& decoder) {
  if (read == ListRead::kFailed) {
    printWide(u"The file '%s' could not be read\r\n", {kListPath});
    return;
  }
  switch (decoder.fault()) {
    case ListFault::kNoHeader:
      printWide(u"The file '%s' is shorter than its %d-byte header\r\n",
                {kListPath, static_cast<int>(kListHeaderBytes)});
      break;
    case ListFault::kLineTooLongToRead:
      reportLineTooLong(static_cast<int>(decoder.faultLine()));
      break;
    default:
      printWide(u"The file '%s' ends with a line without a line feed\r\n", {kListPath});
      break;
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

  ListDecoder decoder(ListDecoder::Mode::kRaw);
  std::unique_ptr<PathSlot[]> slots;
  bool outOfMemory = false;
  // The slots are made once the header is known, before the first line.
  const auto allocate = [&] {
    if (slots != nullptr || outOfMemory) return slots != nullptr;
    slots.reset(new (std::nothrow) PathSlot[decoder.headerCount()]);
    if (slots == nullptr) {
      outOfMemory = true;
      printWide(u"There is not enough memory to load %d paths of the file '%s'\r\n",
                {decoder.headerCount(), kListPath});
    }
    return slots != nullptr;
  };

  std::size_t stored = 0;
  const auto load = [&](std::u16string_view line, std::uint32_t number) {
    if (!allocate()) return false;
    if (line.empty()) return true;  // a line feed alone takes no slot
    const int lineNumber = static_cast<int>(number);
    if (line.size() > kListLineUnitsMax) {
      reportLineTooLong(lineNumber);
      return false;
    }
    if (line.find(u'\0') != std::u16string_view::npos) {
      printWide(u"The file '%s' holds a NUL unit in line %d\r\n", {kListPath, lineNumber});
      return false;
    }
    if (stored == decoder.headerCount()) {
      printWide(u"The file '%s' holds more lines than its header counts (%d)\r\n",
                {kListPath, decoder.headerCount()});
      return false;
    }
    printWide(u"len = '%d'\r\n", {static_cast<int>(line.size())});
    char16_t* slot = slots[stored];
    std::copy(line.begin(), line.end(), slot);
    std::fill(slot + line.size(), slot + kSlotUnits, u'\0');
    printWide(u"buffer = '%s'\r\n", {std::u16string(line)});
    ++stored;
    return true;
  };
  const ListRead read = readList(*list, decoder, load);
  if (read == ListRead::kStopped) return 0;
  if (read != ListRead::kDone) {
    reportListRead(read, decoder);
    return 0;
  }
  if (!allocate()) return 0;
  list->close();
  if (stored != decoder.headerCount()) {
    printWide(u"The file '%s' holds %d lines but its header counts %d\r\n",
              {kListPath, static_cast<int>(stored), decoder.headerCount()});
    return 0;
  }
  fileListCount = decoder.headerCount();
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
  if (platform().entryKind(path.c_str()) == EntryKind::kNone) return 1;
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
  ListDecoder decoder(ListDecoder::Mode::kRaw);
  std::unique_ptr<Stream> temp;
  bool tempRefused = false;
  // The scratch file is made once the header has been read, and starts with
  // the header as it was read, not recomputed.
  const auto openTemp = [&] {
    if (temp != nullptr || tempRefused) return temp != nullptr;
    // Always a new file: an existing "$temp.txt" (the user's own, or a link
    // by that name) is never opened, let alone overwritten.
    temp = platform().createNewFileW(kTempPath);
    if (temp == nullptr) {
      tempRefused = true;
      printWide(u"The file '%s' was not opened\r\n", {kTempPath});
      return false;
    }
    const std::string header = encodeListHeader(decoder.headerCount());
    if (temp->write(header.data(), header.size()) != header.size()) {
      printWide(u"The file '%s' could not be written\r\n", {kTempPath});
      return false;
    }
    return true;
  };
  // Any failure from here on removes the scratch file; the list has not
  // been touched.
  const auto fail = [&temp] {
    if (temp != nullptr) {
      temp->close();
      platform().deleteFileW(kTempPath);
    }
    return 0;
  };

  const auto strip = [&](std::u16string_view line, std::uint32_t number) {
    if (!openTemp()) return false;
    if (line.size() < kPrefixUnits) {
      printWide(u"The file '%s' holds a line too short to lose its first %d units (line %d)\r\n",
                {kListPath, static_cast<int>(kPrefixUnits), static_cast<int>(number)});
      return false;
    }
    // The first 11 units, "FlashDrive\" in a first-form line, are dropped
    // unexamined; the rest goes out with its line feed.
    const std::string bytes = encodeListLine(line.substr(kPrefixUnits));
    if (temp->write(bytes.data(), bytes.size()) != bytes.size()) {
      printWide(u"The file '%s' could not be written\r\n", {kTempPath});
      return false;
    }
    return true;
  };
  const ListRead read = readList(*list, decoder, strip);
  if (read == ListRead::kStopped) return fail();
  if (read != ListRead::kDone) {
    reportListRead(read, decoder);
    return fail();
  }
  if (!openTemp()) return fail();
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
