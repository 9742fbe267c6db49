#pragma once

// Reads the sequences of a FASTA text: ">" name lines, each followed by
// sequence lines. The name is the header's first word; sequence letters are
// upper-cased and blanks dropped. Text before the first header is an error.
//
// Pure functions; any thread.

#include <istream>
#include <string>
#include <vector>

namespace reference_server {

struct FastaRecord {
    std::string name;
    std::string sequence;
};

// Throws std::runtime_error for sequence text before any header.
std::vector<FastaRecord> read_fasta(std::istream& in);

// Throws std::runtime_error when the file cannot be read or holds no sequence.
std::vector<FastaRecord> load_fasta(const std::string& path);

}  // namespace reference_server
