#pragma once

// Library-internal: the opening of every file the library reads.

#include <fstream>
#include <string>

namespace Morvane {
namespace detail {

// Opens `path` into `file` for reading with `mode` and tells whether it is open. A directory, or any file whose
// first read fails, is a file that does not open: the system opens a directory for reading and fails only at the
// first read, with an error of the stream library instead of the caller's own message. Anything else opens as a
// plain open would, devices, pipes and descriptor links (/dev/stdin) included; its first bytes are read here
// (a pipe is waited for). A file not opened is left closed.
bool openForReading(std::ifstream& file, const std::string& path, std::ios::openmode mode);

// openForReading in binary mode; "Cannot open file " + path when the file does not open.
void openFileForReading(std::ifstream& file, const std::string& path);

} // namespace detail
} // namespace Morvane
