// The directory reader: a directory stream in the POSIX model built on the
// platform's file search, and the two-pass listing that writes a folder's
// entry names into a name block.
#pragma once

#include <cstdint>

#include "platform.h"

namespace quillet {

inline constexpr int kEntryNameMax = 260;        // characters of a delivered name
inline constexpr int kNameBlockAllowance = 262;  // bytes of name block per entry

// One open directory stream. Allocated by dirStream_Open, freed by
// dirStream_Close.
struct DirStream {
  char entryName[kEntryNameMax + 1];      // the entry the last read delivered
  FindData findData;                      // what the search filled for one entry
  std::int32_t firstPending;              // 1 while the entry fetched by the open waits
  SearchHandle findHandle;                // kInvalidSearchHandle once ended or closed
  char searchPattern[kEntryNameMax + 3];  // folder name, "\", "*"
};

// Opens a stream on `folderName`, positioned before its first entry.
// nullptr when the record cannot be allocated or the search is refused.
DirStream* dirStream_Open(const char* folderName);
// The next entry's name (inside the record), or nullptr at the end.
const char* dirStream_Read(DirStream* stream);
// Ends the search if it still runs and frees the record.
void dirStream_Close(DirStream* stream);

// 262 times the number of entries of the folder; -1 when it cannot be opened
// (or the size does not fit the result). Reports failure on standard error.
std::int32_t dirList_GetSize(const char* folderName);

// What dirList_Fill came to.
inline constexpr std::int32_t kFillFailed = 0;     // the folder could not be opened
inline constexpr std::int32_t kFillComplete = 1;   // every entry is in the block
inline constexpr std::int32_t kFillBlockFull = 2;  // the folder grew; later entries left out

// Writes the folder's entry names into `block`, which holds `blockSize`
// zero-filled bytes (the size pass's result). Never writes past the block
// and always leaves a zero byte after the last name written, so the block
// stays a valid name block even if the folder gained entries since it was
// sized. Reports failure on standard error.
std::int32_t dirList_Fill(const char* folderName, char* block, std::int32_t blockSize);

}  // namespace quillet
