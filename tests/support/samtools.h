#pragma once

// Runs samtools, a real consumer of SAM text, on files in a test's
// temporary folder and captures what it says.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "support/temp_dir.h"

namespace test_support {

struct CommandOutcome {
    int exit_code = -1;
    std::string out;
    std::string err;
};

inline std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `arguments` must be shell-safe: tests pass paths inside their TempDir.
inline CommandOutcome run_samtools(const TempDir& dir, const std::string& arguments) {
    const std::string out_path = dir.file("samtools.out");
    const std::string err_path = dir.file("samtools.err");
    const std::string command =
        std::string(CORVANE_SAMTOOLS) + " " + arguments + " >'" + out_path + "' 2>'" + err_path + "'";
    const int status = std::system(command.c_str());
    CommandOutcome outcome;
    outcome.exit_code = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    outcome.out = read_whole_file(out_path);
    outcome.err = read_whole_file(err_path);
    return outcome;
}

}  // namespace test_support
