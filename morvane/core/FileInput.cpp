#include "morvane/core/FileInput.hpp"

#include "morvane/core/Files.hpp"

namespace Morvane::detail {

bool openForReading(std::ifstream& file, const std::string& path, std::ios::openmode mode) {
    file.open(path, mode | std::ios::in);
    if (!file.is_open())
        return false;
    // The first read tells a directory, on the file that was opened rather than on the path looked up again: it
    // fails there, and the stream turns the failure into its bad state. The bytes read stay in the stream's
    // buffer, and the end of an empty file is left for the reader to meet.
    file.peek();
    if (file.bad()) {
        file.close();
        return false;
    }
    file.clear();
    return true;
}

void openFileForReading(std::ifstream& file, const std::string& path) {
    if (!openForReading(file, path, std::ios::binary))
        throwCannotOpen(path);
}

} // namespace Morvane::detail
