#pragma once
// CRC-32 as zip stores it, for every reader of contents in both programs.
#include <cstddef>
#include <cstdint>

// The CRC-32 of the bytes before these `size` bytes followed by them, where
// `crc` is that of the bytes before (0 before the first).
std::uint32_t crc32Add(std::uint32_t crc, const void* bytes, std::size_t size);
