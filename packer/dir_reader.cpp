#include "dir_reader.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace quillet {
namespace {

// Copies at most `max` characters of `source` and a NUL into `target`.
void copyCut(char* target, const char* source, std::size_t max) {
  std::size_t length = std::strlen(source);
  if (length > max) length = max;
  std::memcpy(target, source, length);
  target[length] = '\0';
}

void reportUnableToOpen(const std::string& why) {
  std::fputs(("Unable to open directory: " + why + "\n").c_str(), stderr);
}

}  // namespace

DirStream* dirStream_Open(const char* folderName) {
  DirStream* stream = new (std::nothrow) DirStream();
  if (stream == nullptr) return nullptr;

  copyCut(stream->searchPattern, folderName, kEntryNameMax);
  std::size_t length = std::strlen(stream->searchPattern);
  if (length > 0 && stream->searchPattern[length - 1] != '\\' &&
      stream->searchPattern[length - 1] != ':') {
    stream->searchPattern[length++] = '\\';
  }
  stream->searchPattern[length++] = '*';
  stream->searchPattern[length] = '\0';

  const SearchHandle handle = platform().findFirstFile(stream->searchPattern, &stream->findData);
  if (handle == kInvalidSearchHandle) {
    delete stream;
    return nullptr;
  }
  stream->findHandle = handle;
  stream->firstPending = 1;
  return stream;
}

const char* dirStream_Read(DirStream* stream) {
  if (stream->findHandle == kInvalidSearchHandle) return nullptr;
  if (stream->firstPending == 1) {
    stream->firstPending = 0;
  } else if (!platform().findNextFile(stream->findHandle, &stream->findData)) {
    platform().findClose(stream->findHandle);
    stream->findHandle = kInvalidSearchHandle;
    return nullptr;
  }
  copyCut(stream->entryName, stream->findData.fileName.c_str(), kEntryNameMax);
  return stream->entryName;
}

void dirStream_Close(DirStream* stream) {
  if (stream->findHandle != kInvalidSearchHandle) {
    platform().findClose(stream->findHandle);
    stream->findHandle = kInvalidSearchHandle;
  }
  delete stream;
}

std::int32_t dirList_GetSize(const char* folderName) {
  DirStream* stream = dirStream_Open(folderName);
  if (stream == nullptr) {
    reportUnableToOpen(platform().searchFailure());
    return -1;
  }
  std::int32_t total = 0;
  while (dirStream_Read(stream) != nullptr) {
    if (total > std::numeric_limits<std::int32_t>::max() - kNameBlockAllowance) {
      dirStream_Close(stream);
      reportUnableToOpen("it holds more entries than a name block can take");
      return -1;
    }
    total += kNameBlockAllowance;
  }
  dirStream_Close(stream);
  return total;
}

std::int32_t dirList_Fill(const char* folderName, char* block, std::int32_t blockSize) {
  DirStream* stream = dirStream_Open(folderName);
  if (stream == nullptr) {
    reportUnableToOpen(platform().searchFailure());
    return kFillFailed;
  }
  std::int32_t result = kFillComplete;
  std::size_t position = 0;
  const std::size_t size = blockSize > 0 ? static_cast<std::size_t>(blockSize) : 0;
  while (const char* name = dirStream_Read(stream)) {
    const std::size_t length = std::strlen(name);
    // The name, its NUL and the zero byte that ends the block must fit.
    if (position + length + 2 > size) {
      result = kFillBlockFull;
      break;
    }
    std::memcpy(block + position, name, length + 1);
    position += length + 1;
  }
  dirStream_Close(stream);
  return result;
}

}  // namespace quillet
