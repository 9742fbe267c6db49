#include "reference_server/settings/server_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <sys/stat.h>

namespace reference_server {

namespace fs = std::filesystem;

std::string checked_data_root(const std::string& folder) {
    std::error_code error;
    const fs::path root = fs::canonical(folder, error);
    if (error || !fs::is_directory(root, error)) {
        throw std::runtime_error("--data-root " + folder + ": not a folder");
    }
    return root.string();
}

bool is_under_data_root(const std::string& root, const std::string& path) {
    if (root.empty()) {
        return true;
    }
    std::error_code error;
    // weakly_canonical: a path that names nothing yet still resolves, so
    // it is judged by where it would be.
    const fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    if (error) {
        return false;
    }
    const fs::path base(root);
    return std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end()).first == base.end();
}

std::string file_identity(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw std::runtime_error(std::string("cannot examine it: ") + std::strerror(errno));
    }
    const auto time = [](const timespec& at) { return std::to_string(at.tv_sec) + "." + std::to_string(at.tv_nsec); };
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" + std::to_string(status.st_size) +
           ":" + time(status.st_mtim) + ":" + time(status.st_ctim);
}

}  // namespace reference_server
