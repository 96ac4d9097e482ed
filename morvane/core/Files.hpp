#pragma once

// Library-internal: the checks and the writing of every file the library saves.

#include <memory>
#include <ostream>
#include <string>
#include <type_traits>

namespace Morvane {
namespace detail {

// Refuses a path that holds a NUL byte with "[<function>] ...": the system reads a path only up to its first
// NUL, so a save would write, and a load read, another file. Called by every function that takes a path
// before anything is touched. Returns `path`, for member initialisers.
const std::string& checkPath(const std::string& path, const char* function);

// "Cannot open file " + path, the message of every file that does not open.
[[noreturn]] void throwCannotOpen(const std::string& path);

// What `writeFile` does when the file cannot be created.
enum class UnopenedFile {
    // "Cannot open file " + path, before the writer runs.
    Refuse,
    // The writer runs on a stream that takes no byte, so its first write reports the failure (nothing is raised
    // for a writer that writes nothing).
    PassToWriter,
};

// A callable `void(std::ostream&)` seen through one function pointer, so the writing itself is not a template.
struct FileWriter {
    void (*call)(void* state, std::ostream& stream);
    void* state;
};

void writeFileWith(const std::string& path, FileWriter writer, UnopenedFile unopened);

// Writes the file `path` through `write(stream)`. A regular file (an existing one or a new one; symbolic links
// followed to the file they name, the links left as they are) is written to a new file beside it that is renamed
// over it only once it is complete and closed: a save that fails leaves the earlier file as it was and no
// temporary behind, and a reader never sees part of a file. The replacement keeps an existing file's owner and
// permissions; a new file gets those of a plain open (0666 less the umask). Being a new file, it leaves other
// hard links of the earlier one with the earlier contents, and it carries no ACL or extended attribute of it.
// Anything else (a device, a pipe, a descriptor link of /proc such as /dev/stdout) is opened and written through
// directly, as a plain open would; so is a file beside which no temporary can be made (a directory the caller may
// not write), and a file the directory does not let the caller replace (a sticky directory) gets the complete
// temporary copied over it: saves that worked with a plain open keep working.
// The writer gets the file stream a plain save would use, so a write that fails inside it fails as before (an
// archive raises its short-write message); exceptions of the writer pass unchanged. Messages of the file itself:
// "Cannot open file " + path when it cannot be created or an existing file is not writable, "Cannot write file "
// + path when the final flush, the close or the rename fails.
template <typename Write>
void writeFile(const std::string& path, Write&& write, UnopenedFile unopened = UnopenedFile::Refuse) {
    using Callable = std::remove_reference_t<Write>;
    const FileWriter writer{[](void* state, std::ostream& stream) { (*static_cast<Callable*>(state))(stream); },
                            const_cast<void*>(static_cast<const void*>(std::addressof(write)))};
    writeFileWith(path, writer, unopened);
}

} // namespace detail
} // namespace Morvane
