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

// What `writeFile` does when the file cannot be opened.
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

// Writes the file `path` through `write(stream)`. A save ends either with the complete new content in place, or
// with an exception and the earlier file as it was; only a file written over in place (below) can fare worse.
// A regular file (an existing one or a new one; symbolic links followed to the file they name, the links left as
// they are) is written to a new file beside it, through the descriptor that created it, and renamed over it only
// once it is complete and closed: a save that fails leaves no temporary behind, and a reader never sees part of a
// file. The replacement keeps an existing file's owner and permissions; a new file gets those of a plain open
// (0666 less the umask). Being a new file, it leaves other hard links of the earlier one with the earlier
// contents, and it carries no ACL or extended attribute of it. The path is looked up once: every later step is
// relative to the directory found then, so a concurrent change of the working directory redirects nothing.
// Where the file cannot be replaced so (no new file can be made beside it: a full file system, no free inode, a
// directory the caller may not write; the new file runs out of room, a full file system or a quota; or the directory
// refuses the rename: a sticky directory and a file of another user, a bind-mounted file), it is written over in
// place. The whole new content is known before any byte of the file changes: rendered by the writer into memory
// that the thread keeps for its next save (up to 32 MiB; a new file that ran out of room is removed first, so that
// its room is free again, and the writer runs once more), or, for a complete new file that cannot be renamed, that
// file itself, kept until it is copied (read into memory and removed first only when the room for the copy cannot be
// reserved beside it). The room for all of it is reserved in the file before any byte of it is written; a save that
// cannot reserve it is refused, and a save that fails gives the file its earlier length back. Saves that worked with
// a plain open keep working, and none of them leaves a cut file for want of room, except that a copy-on-write file
// system may not honour the reservation; and an I/O error part-way through the writes, or a crash, can leave a mix
// of the earlier and the new content. The library's saves in place of one file take turns, so that each leaves its
// content whole, through a lock of their own (see InPlaceFile.hpp) that flock(2) locks never meet; a record lock of
// another program over the rest of the file (as a whole-file lockf) lets the saves go ahead without a turn, as a file
// system without such locks does, and two of them at once may then mix. So no lock of the caller or of another
// program delays or fails a save. A save waits for another library save's turn at most 30 seconds
// (kInPlaceTurnWait, longer than any save takes), then fails with "Cannot write file " + path and leaves the file as
// it was; the installed interrupt check (see Interrupt.hpp) ends the wait sooner.
// Anything else (a device, a pipe, a descriptor link of /proc such as /dev/stdout) is opened and written through
// directly, as a plain open would; so is a path the system does not take whole (of PATH_MAX bytes or more), whose
// open fails.
// No write of a regular file goes past the process's file size limit: such a write is refused before it is made,
// as a full disk refuses it, rather than answered with SIGXFSZ.
// A write that fails inside the writer fails as it would on a file stream (an archive raises its short-write message),
// but for a lack of room in the new file, which sends the save in place; a file written over takes its content once
// the writer has given all of it, so its failures are the file's own. Exceptions of the writer pass unchanged. Messages
// of the file itself: "Cannot open file " + path when it cannot be created or an existing file is not writable, "Cannot
// write file " + path when the final write, the close, the rename or the reservation of a file written over fails (or
// that file was removed meanwhile, or the wait for its turn ran out).
template <typename Write>
void writeFile(const std::string& path, Write&& write, UnopenedFile unopened = UnopenedFile::Refuse) {
    using Callable = std::remove_reference_t<Write>;
    const FileWriter writer{[](void* state, std::ostream& stream) { (*static_cast<Callable*>(state))(stream); },
                            const_cast<void*>(static_cast<const void*>(std::addressof(write)))};
    writeFileWith(path, writer, unopened);
}

} // namespace detail
} // namespace Morvane
