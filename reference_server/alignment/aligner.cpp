#include "reference_server/alignment/aligner.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <unordered_map>


#include <ketopt.h>
#include <minimap.h>
#include <mmpriv.h>

#include "reference_server/settings/server_files.h"

namespace reference_server {

namespace {

enum LongOption { secondary = 300, md, cs, eqx };

// ketopt names its long options through non-const pointers.
char secondary_name[] = "secondary";
char md_name[] = "MD";
char cs_name[] = "cs";
char eqx_name[] = "eqx";
const ko_longopt_t long_options[] = {
    {secondary_name, ko_required_argument, secondary},
    {md_name, ko_no_argument, md},
    {cs_name, ko_optional_argument, cs},
    {eqx_name, ko_no_argument, eqx},
    {nullptr, 0, 0},
};

constexpr char short_options[] = "x:k:w:HI:f:g:G:F:r:n:m:N:p:M:A:B:O:E:z:s:YLact:";

// A number with an optional K, M or G suffix, as minimap2 reads it.
std::int64_t parse_num(const char* text) {
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (*end == 'G' || *end == 'g') {
        value *= 1e9;
    } else if (*end == 'M' || *end == 'm') {
        value *= 1e6;
    } else if (*end == 'K' || *end == 'k') {
        value *= 1e3;
    }
    return static_cast<std::int64_t>(value + .499);
}

// "INT[,INT]" into the two values; the second defaults to the first.
void parse_pair(const char* text, int& first, int& second) {
    char* end = nullptr;
    first = second = static_cast<int>(std::strtol(text, &end, 10));
    if (*end == ',') {
        second = static_cast<int>(std::strtol(end + 1, &end, 10));
    }
}

struct ParsedOptions {
    mm_idxopt_t index{};
    mm_mapopt_t map{};
    bool no_secondary = false;
    int max_intron_len = 0;
};

// What each option does, by the code ketopt answers it with: the short
// options' letters and the long options' LongOption. An option absent
// here is unknown; `a`, `c` and `t` are taken and change nothing (the
// aligner writes SAM always, and one thread calls it).
using ApplyOption = void (*)(const char* arg, ParsedOptions& parsed);

struct OptionRule {
    int code;
    ApplyOption apply;
};

void ignore_option(const char*, ParsedOptions&) {}

const OptionRule option_rules[] = {
    {'x',
     [](const char* arg, ParsedOptions& parsed) {
         if (mm_set_opt(arg, &parsed.index, &parsed.map) < 0) {
             throw AlignerOptionsError(std::string("[ERROR] unknown preset '") + arg + "'");
         }
     }},
    {'k', [](const char* arg, ParsedOptions& parsed) { parsed.index.k = static_cast<short>(std::atoi(arg)); }},
    {'w', [](const char* arg, ParsedOptions& parsed) { parsed.index.w = static_cast<short>(std::atoi(arg)); }},
    {'H', [](const char*, ParsedOptions& parsed) { parsed.index.flag |= MM_I_HPC; }},
    {'I',
     [](const char* arg, ParsedOptions& parsed) { parsed.index.batch_size = static_cast<std::uint64_t>(parse_num(arg)); }},
    {'f',
     [](const char* arg, ParsedOptions& parsed) {
         const double value = std::atof(arg);
         if (value < 1.0) {
             parsed.map.mid_occ_frac = static_cast<float>(value);
         } else {
             parsed.map.mid_occ = static_cast<int>(value + .499);
         }
     }},
    {'g', [](const char* arg, ParsedOptions& parsed) { parsed.map.max_gap = static_cast<int>(parse_num(arg)); }},
    {'G', [](const char* arg, ParsedOptions& parsed) { parsed.max_intron_len = static_cast<int>(parse_num(arg)); }},
    {'F', [](const char* arg, ParsedOptions& parsed) { parsed.map.max_frag_len = static_cast<int>(parse_num(arg)); }},
    {'r',
     [](const char* arg, ParsedOptions& parsed) {
         char* end = nullptr;
         parsed.map.bw = static_cast<int>(std::strtol(arg, &end, 10));
         if (*end == ',') {
             parsed.map.bw_long = static_cast<int>(std::strtol(end + 1, &end, 10));
         }
     }},
    {'n', [](const char* arg, ParsedOptions& parsed) { parsed.map.min_cnt = std::atoi(arg); }},
    {'m', [](const char* arg, ParsedOptions& parsed) { parsed.map.min_chain_score = std::atoi(arg); }},
    {'N', [](const char* arg, ParsedOptions& parsed) { parsed.map.best_n = std::atoi(arg); }},
    {'p', [](const char* arg, ParsedOptions& parsed) { parsed.map.pri_ratio = static_cast<float>(std::atof(arg)); }},
    {'M', [](const char* arg, ParsedOptions& parsed) { parsed.map.mask_level = static_cast<float>(std::atof(arg)); }},
    {'A', [](const char* arg, ParsedOptions& parsed) { parsed.map.a = std::atoi(arg); }},
    {'B', [](const char* arg, ParsedOptions& parsed) { parsed.map.b = std::atoi(arg); }},
    {'O', [](const char* arg, ParsedOptions& parsed) { parse_pair(arg, parsed.map.q, parsed.map.q2); }},
    {'E', [](const char* arg, ParsedOptions& parsed) { parse_pair(arg, parsed.map.e, parsed.map.e2); }},
    {'z', [](const char* arg, ParsedOptions& parsed) { parse_pair(arg, parsed.map.zdrop, parsed.map.zdrop_inv); }},
    {'s', [](const char* arg, ParsedOptions& parsed) { parsed.map.min_dp_max = std::atoi(arg); }},
    {'Y', [](const char*, ParsedOptions& parsed) { parsed.map.flag |= MM_F_SOFTCLIP; }},
    {'L', [](const char*, ParsedOptions& parsed) { parsed.map.flag |= MM_F_LONG_CIGAR; }},
    {'a', ignore_option},
    {'c', ignore_option},
    {'t', ignore_option},
    {secondary,
     [](const char* arg, ParsedOptions& parsed) {
         if (std::strcmp(arg, "yes") == 0) {
             parsed.no_secondary = false;
         } else if (std::strcmp(arg, "no") == 0) {
             parsed.no_secondary = true;
         } else {
             throw AlignerOptionsError("[ERROR] --secondary only takes yes or no");
         }
     }},
    {md, [](const char*, ParsedOptions& parsed) { parsed.map.flag |= MM_F_OUT_MD; }},
    {cs,
     [](const char* arg, ParsedOptions& parsed) {
         parsed.map.flag |= MM_F_OUT_CS | MM_F_CIGAR;
         if (arg == nullptr || std::strcmp(arg, "short") == 0) {
             parsed.map.flag &= ~static_cast<std::int64_t>(MM_F_OUT_CS_LONG);
         } else if (std::strcmp(arg, "long") == 0) {
             parsed.map.flag |= MM_F_OUT_CS_LONG;
         } else {
             throw AlignerOptionsError("[ERROR] --cs only takes 'short' or 'long'");
         }
     }},
    {eqx, [](const char*, ParsedOptions& parsed) { parsed.map.flag |= MM_F_EQX; }},
};

ApplyOption find_option(int code) {
    for (const OptionRule& rule : option_rules) {
        if (rule.code == code) {
            return rule.apply;
        }
    }
    return nullptr;
}

ParsedOptions parse_options(const std::vector<std::string>& words) {
    // Silent: the library would write its progress lines, and a line on
    // standard error for every refused option text a client sends (a
    // client could fill an unread pipe that way); what goes wrong is
    // answered to the client instead. The level is global and indices load
    // on several threads, which all come through here first.
    static std::once_flag quiet;
    std::call_once(quiet, [] { mm_verbose = 0; });
    ParsedOptions parsed;
    mm_set_opt(nullptr, &parsed.index, &parsed.map);
    // ketopt reads argv[0] as the program name and may reorder nothing (no permute).
    std::vector<std::string> storage;
    storage.reserve(words.size() + 1);
    storage.push_back("minimap2");
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());

    ketopt_t state = KETOPT_INIT;
    int c = 0;
    while ((c = ketopt(&state, argc, argv.data(), 0, short_options, long_options)) >= 0) {
        const char* word = argv[static_cast<std::size_t>(state.i - 1)];
        if (c == ':') {
            throw AlignerOptionsError(std::string("[ERROR] missing option argument in \"") + word + "\"");
        }
        const ApplyOption apply = find_option(c);
        if (apply == nullptr) {
            throw AlignerOptionsError(std::string("[ERROR] unknown option in \"") + word + "\"");
        }
        apply(state.arg, parsed);
    }
    if (state.ind < argc) {
        throw AlignerOptionsError(std::string("[ERROR] unexpected argument \"") + argv[static_cast<std::size_t>(state.ind)] + "\"");
    }
    mm_mapopt_t& map = parsed.map;
    if ((map.flag & MM_F_SPLICE) && parsed.max_intron_len > 0) {
        mm_mapopt_max_intron_len(&map, parsed.max_intron_len);
    }
    map.flag |= MM_F_CIGAR | MM_F_OUT_SAM;
    if (mm_check_opt(&parsed.index, &map) < 0) {
        throw AlignerOptionsError("[ERROR] minimap2 refuses these options together");
    }
    return parsed;
}

struct RegionsGuard {
    mm_reg1_t* regions = nullptr;
    int count = 0;
    ~RegionsGuard() {
        for (int i = 0; i < count; ++i) {
            std::free(regions[i].p);
        }
        std::free(regions);
    }
};

struct BufferGuard {
    mm_tbuf_t* buffer = mm_tbuf_init();
    ~BufferGuard() { mm_tbuf_destroy(buffer); }
};

struct TextGuard {
    kstring_t text{0, 0, nullptr};
    ~TextGuard() { std::free(text.s); }
};

// The longest sequence name a client takes (it refuses 253 characters).
constexpr std::size_t longest_sequence_name = 252;

enum class FileKind { index, sequences };

// What the file holds, from its first bytes: an index minimap2 wrote, or
// FASTA or FASTQ text, plain or gzip-compressed (whose content the
// sequence checks then judge). Anything else would be read as sequences
// by minimap2, with results no better than the refusal.
FileKind kind_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char start[256] = {};
    file.read(start, sizeof(start));
    const auto read = static_cast<std::size_t>(file.gcount());
    if (!file.good() && !file.eof()) {
        throw std::runtime_error("cannot read it");
    }
    if (read >= 4 && std::memcmp(start, MM_IDX_MAGIC, 4) == 0) {
        return FileKind::index;
    }
    if (read >= 2 && static_cast<unsigned char>(start[0]) == 0x1f && static_cast<unsigned char>(start[1]) == 0x8b) {
        return FileKind::sequences;
    }
    const std::string_view text(start, read);
    // Blank or empty: minimap2 finds no sequence in it, and says so.
    const auto first = text.find_first_not_of(" \t\r\n");
    if ((first == std::string_view::npos || text[first] == '>' || text[first] == '@') &&
        text.find('\0') == std::string_view::npos) {
        return FileKind::sequences;
    }
    throw std::runtime_error("neither FASTA nor FASTQ text (plain or gzip) nor a minimap2 index");
}

bool is_printable_name(const char* name) {
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '!' || *c > '~') {
            return false;
        }
    }
    return true;
}

// Refuses an index whose sequences would make a header or records clients
// cannot take.
void check_sequences(const mm_idx_t& index) {
    std::unordered_map<std::string_view, std::uint32_t> first_of_name;
    for (std::uint32_t i = 0; i < index.n_seq; ++i) {
        const mm_idx_seq_t& seq = index.seq[i];
        const std::string number = std::to_string(i + 1);
        const std::size_t length = std::strlen(seq.name);
        if (length == 0) {
            throw std::runtime_error("sequence " + number + " has no name");
        }
        if (length > longest_sequence_name) {
            throw std::runtime_error("the name of sequence " + number + " has " + std::to_string(length) +
                                     " characters; at most " + std::to_string(longest_sequence_name) + " are taken");
        }
        if (!is_printable_name(seq.name)) {
            throw std::runtime_error("the name of sequence " + number + " holds a character SAM names may not have");
        }
        if (seq.len == 0) {
            throw std::runtime_error("sequence " + number + " holds no bases");
        }
        const auto [first, fresh] = first_of_name.try_emplace(std::string_view(seq.name, length), i + 1);
        if (!fresh) {
            throw std::runtime_error("sequences " + std::to_string(first->second) + " and " + number +
                                     " have the same name");
        }
    }
}

}  // namespace

struct AlignmentIndex::State {
    mm_idx_t* index = nullptr;

    ~State() {
        if (index != nullptr) {
            mm_idx_destroy(index);
        }
    }
};

struct Aligner::State {
    mm_mapopt_t map{};
    bool no_secondary = false;
};

std::vector<std::string> Aligner::split_options(const std::string& options) {
    std::istringstream in(options);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

void Aligner::check_options(const std::string& options) { parse_options(split_options(options)); }

bool Aligner::available() { return true; }

std::string AlignmentIndex::key(const std::string& path, const std::string& options) {
    const mm_idxopt_t index = parse_options(Aligner::split_options(options)).index;
    std::string key = file_identity(path);
    if (kind_of(path) == FileKind::index) {
        return key + " index";
    }
    // The batch size decides whether the index comes in parts, which is refused.
    return key + " k" + std::to_string(index.k) + " w" + std::to_string(index.w) + " f" + std::to_string(index.flag) +
           " b" + std::to_string(index.bucket_bits) + " I" + std::to_string(index.batch_size);
}

AlignmentIndex::AlignmentIndex(const std::string& path, const std::string& options)
    : m_state(std::make_unique<State>()) {
    ParsedOptions parsed = parse_options(Aligner::split_options(options));
    kind_of(path);
    mm_idx_reader_t* reader = mm_idx_reader_open(path.c_str(), &parsed.index, nullptr);
    if (reader == nullptr) {
        throw std::runtime_error("cannot open the alignment index " + path);
    }
    m_state->index = mm_idx_reader_read(reader, 1);
    const bool more_parts = m_state->index != nullptr && !mm_idx_reader_eof(reader);
    mm_idx_reader_close(reader);
    if (m_state->index == nullptr || m_state->index->n_seq == 0) {
        throw std::runtime_error("the alignment index " + path + " holds no sequence");
    }
    if (more_parts) {
        throw std::runtime_error("the alignment index " + path + " is split in parts; build it with a larger -I");
    }
    check_sequences(*m_state->index);
    for (std::uint32_t i = 0; i < m_state->index->n_seq; ++i) {
        const mm_idx_seq_t& seq = m_state->index->seq[i];
        m_sam_header += std::string("@SQ\tSN:") + seq.name + "\tLN:" + std::to_string(seq.len) + "\n";
    }
    m_sam_header += "@PG\tID:aligner\tPN:minimap2\n";
}

AlignmentIndex::~AlignmentIndex() = default;

Aligner::Aligner(std::shared_ptr<const AlignmentIndex> index, const std::string& options)
    : m_index(std::move(index)), m_state(std::make_unique<State>()) {
    ParsedOptions parsed = parse_options(split_options(options));
    // Reads the index (the occurrence threshold of -f), never changes it.
    mm_mapopt_update(&parsed.map, m_index->m_state->index);
    m_state->map = parsed.map;
    m_state->no_secondary = parsed.no_secondary;
}

Aligner::Aligner(const std::string& index_path, const std::string& options)
    : Aligner(std::make_shared<const AlignmentIndex>(index_path, options), options) {}

Aligner::~Aligner() = default;

std::vector<AlignmentHit> Aligner::align(const std::string& name,
                                         const std::string& sequence,
                                         const std::string& qstring) const {
    std::vector<AlignmentHit> hits;
    if (sequence.empty()) {
        return hits;
    }
    if (!qstring.empty() && qstring.size() != sequence.size()) {
        throw std::invalid_argument("the quality string and the sequence differ in length");
    }
    BufferGuard buffer;
    RegionsGuard regions;
    regions.regions = mm_map(m_index->m_state->index, static_cast<int>(sequence.size()), sequence.c_str(), &regions.count,
                             buffer.buffer, &m_state->map, name.c_str());

    std::string read_name = name;
    std::string read_sequence = sequence;
    std::string read_quality = qstring;
    mm_bseq1_t read{};
    read.l_seq = static_cast<int>(sequence.size());
    read.name = read_name.data();
    read.seq = read_sequence.data();
    read.qual = qstring.empty() ? nullptr : read_quality.data();

    const mm_reg1_t* const all_regions = regions.regions;
    for (int j = 0; j < regions.count; ++j) {
        const mm_reg1_t& region = regions.regions[j];
        const bool is_secondary = region.id != region.parent;
        if (is_secondary && m_state->no_secondary) {
            continue;
        }
        TextGuard text;
        mm_write_sam3(&text.text, m_index->m_state->index, &read, 0, j, 1, &regions.count, &all_regions,
                      mm_tbuf_get_km(buffer.buffer), m_state->map.flag, 0);

        AlignmentHit hit;
        hit.genome = m_index->m_state->index->seq[region.rid].name;
        hit.genome_start = region.rs;
        hit.genome_end = region.re;
        hit.strand_start = region.qs;
        hit.strand_end = region.qe;
        hit.num_events = static_cast<std::int32_t>(sequence.size());
        hit.num_aligned = region.blen;
        hit.num_correct = region.mlen;
        if (region.p != nullptr) {
            for (std::uint32_t k = 0; k < region.p->n_cigar; ++k) {
                const std::uint32_t op = region.p->cigar[k] & 0xf;
                const auto length = static_cast<std::int32_t>(region.p->cigar[k] >> 4);
                if (op == MM_CIGAR_INS) {
                    hit.num_insertions += length;
                } else if (op == MM_CIGAR_DEL) {
                    hit.num_deletions += length;
                }
            }
            hit.strand_score = region.p->dp_score;
        }
        const int aligned_read = region.qe - region.qs;
        hit.coverage = static_cast<float>(aligned_read) / static_cast<float>(sequence.size());
        hit.identity = region.blen > 0 ? static_cast<float>(region.mlen) / static_cast<float>(region.blen) : 0.0f;
        hit.accuracy = aligned_read > 0 ? static_cast<float>(region.mlen) / static_cast<float>(aligned_read) : 0.0f;
        hit.sam_record.assign(text.text.s, text.text.l);
        hit.direction = region.rev ? '-' : '+';
        hit.mapping_quality = static_cast<std::int32_t>(region.mapq);
        hit.is_secondary = is_secondary;
        hit.is_supplementary = !is_secondary && region.sam_pri == 0;
        hits.push_back(std::move(hit));
    }
    return hits;
}

}  // namespace reference_server
