#include "morvane/core/FileInput.hpp"

#include "morvane/core/Files.hpp"

#include <filesystem>
#include <system_error>

#include <sys/stat.h>

namespace Morvane::detail {

bool openForReading(std::ifstream& file, const std::string& path, std::ios::openmode mode) {
    file.open(path, mode | std::ios::in);
    if (!file.is_open())
        return false;
    // Tested on the path once it opened, so a file that opens costs one lookup more and nothing else. A stat
    // that fails (the file already removed again) leaves the open stream to read.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        file.close();
        return false;
    }
    return true;
}

void openFileForReading(std::ifstream& file, const std::string& path) {
    if (!openForReading(file, path, std::ios::binary))
        throwCannotOpen(path);
}

bool isDirectory(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

} // namespace Morvane::detail
