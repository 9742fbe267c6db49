#include "reference_server/model/fasta_reader.h"

#include <cctype>
#include <fstream>
#include <stdexcept>

namespace reference_server {

std::vector<FastaRecord> read_fasta(std::istream& in) {
    std::vector<FastaRecord> records;
    std::string line;
    std::size_t line_number = 0;
    while (std::getline(in, line)) {
        ++line_number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line.front() == '>') {
            const std::size_t end = line.find_first_of(" \t", 1);
            records.push_back({line.substr(1, end == std::string::npos ? std::string::npos : end - 1), {}});
            continue;
        }
        for (const char c : line) {
            if (std::isspace(static_cast<unsigned char>(c))) {
                continue;
            }
            if (records.empty()) {
                throw std::runtime_error("FASTA sequence before the first header, line " + std::to_string(line_number));
            }
            records.back().sequence.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    return records;
}

std::vector<FastaRecord> load_fasta(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read FASTA file " + path);
    }
    std::vector<FastaRecord> records = read_fasta(in);
    std::size_t bases = 0;
    for (const FastaRecord& record : records) {
        bases += record.sequence.size();
    }
    if (bases == 0) {
        throw std::runtime_error("FASTA file " + path + " holds no sequence");
    }
    return records;
}

}  // namespace reference_server
