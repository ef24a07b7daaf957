// The walk's two list files, as the walk writes them; shared by walk.cpp
// and walk_lists.cpp, nothing else includes this.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform.h"
#include "walk.h"

namespace quillet {

// Writes the folder line of the working folder, whose absolute path is
// `currentPath`, and shows it; nothing for a path outside the staging
// folder. False (with a message) when the walk must stop.
bool writeFolderLine(WalkState& state, const std::string& currentPath);

// Writes the file line of the entry `entryName` at `currentPath` and shows
// both; nothing for a path outside the staging folder. False (with a
// message) when the walk must stop.
bool writeFileLine(WalkState& state, const std::string& entryName, const std::string& currentPath);

// Creates a list file with its 2-byte placeholder header.
std::unique_ptr<Stream> createList(const std::string& path);

// Writes the final count over the header and closes the list.
bool finishList(Stream& list, const std::string& path, std::uint32_t count);

// Closes whatever list is still open and removes the lists this walk
// created (never a file by their names that it could not replace), so that
// a failed walk leaves the staging folder as it found it. Only called with
// the start folder as the working folder, which the relative paths need.
void discardLists(WalkState& state);

}  // namespace quillet
