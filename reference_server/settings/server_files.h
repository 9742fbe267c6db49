#pragma once

// How the reference server reaches the files clients name: the folder it
// reads alignment indices and BED files from, when one is set
// (--data-root), since a server listening beyond loopback should not open
// whatever path a client names; and a file's identity, which tells a file
// changed or linked from another path.
//
// Pure functions; any thread.

#include <string>

namespace reference_server {

// The folder as an absolute path with links resolved; throws
// std::runtime_error when it is not a folder.
std::string checked_data_root(const std::string& folder);

// Whether `path` lies under `root` (checked_data_root's form) once made
// absolute and its links resolved; any path when root is empty. A path
// that cannot be resolved is not under it.
bool is_under_data_root(const std::string& root, const std::string& path);

// The file's device, inode, size, and modification and change times as a
// text: equal for two paths of one unchanged file. Throws
// std::runtime_error saying why when the file cannot be examined.
std::string file_identity(const std::string& path);

}  // namespace reference_server
