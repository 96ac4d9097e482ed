#pragma once

// Library-internal: saves that write a regular file over in place, where it cannot be replaced by a new file
// renamed over it (see writeFile in Files.hpp).

#if !defined(MORVANE_LAYER_CORE)
#error "morvane/core/InPlaceFile.hpp is internal to the core layer: include the public headers"
#endif

#include "morvane/core/FileWrites.hpp"

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>

#include <sys/types.h>

namespace Morvane::detail {

// The turn of the library's saves in place of one file: an open-file-description write lock (F_OFD_SETLK) on the
// last byte but one a file can have (a lock that reaches the last byte reads back as one without an end). No
// content reaches that byte, flock(2) locks never meet such a lock, and a record lock of another program meets it
// only when it covers the rest of the file; then the save goes ahead without a turn, as on a file system without
// such locks, rather than wait for a program that may never let go (and two such saves at once may mix).
inline constexpr off_t kInPlaceTurnByte = std::numeric_limits<off_t>::max() - 1;

// The longest wait for the turn: longer than any save takes, so that only a save that has stopped (or a program
// that holds the library's byte) makes a save fail for it, on every thread, including where no interrupt check
// runs.
inline constexpr std::chrono::seconds kInPlaceTurnWait{30};

// A callable `void()` seen through one function pointer, as FileWriter.
struct FileStep {
    void (*call)(void* state);
    void* state;
};

// The save of a regular file beside which no temporary can be made: the content is rendered into memory that the
// thread keeps for its next save (at most 32 MiB), and written over the file only once its room is reserved. A file
// that does not open is refused (or passed on) before the writer runs.
void writeInPlace(const std::string& path, const Target& target, FileWriter writer, UnopenedFile unopened);

// The copy of a complete temporary, open as `content` and `size` bytes long, over a file the directory does not let
// the save replace. The temporary stays until the copy is done; only when the room for the copy cannot be reserved
// beside it is its content read into memory and its room freed first, by `removeTemporary`.
void copyInPlace(const std::string& path, const Target& target, int content, std::size_t size,
                 FileStep removeTemporary);

} // namespace Morvane::detail
