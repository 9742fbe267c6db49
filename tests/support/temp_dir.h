#pragma once

// A per-test temporary folder, removed with everything in it at the end.

#include <filesystem>
#include <random>
#include <string>

namespace test_support {

class TempDir {
public:
    TempDir() {
        std::random_device seed;
        std::mt19937_64 random(seed());
        // ipc:// paths are limited to about 100 characters, so stay short.
        m_path = std::filesystem::temp_directory_path() / ("qt" + std::to_string(random() % 100000000));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    // An ipc:// endpoint inside the folder.
    std::string ipc_endpoint(const std::string& name = "sock") const { return "ipc://" + file(name); }

private:
    std::filesystem::path m_path;
};

}  // namespace test_support
