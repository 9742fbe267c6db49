#pragma once

// What a SAM or FASTQ record can hold. samtools stops reading a whole file
// at the first record it cannot parse, so text that would break a record is
// refused (read names) or left out (tags) rather than written.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace common {

// The longest read name a SAM record holds.
inline constexpr std::size_t max_read_name_length = 254;

// Why `name` cannot be a SAM or FASTQ read name, or empty when it can. A
// name is 1 to 254 characters of printable ASCII without spaces and does not
// start with '@' (a header line in SAM, the next record in FASTQ). The
// reason reads after the subject, as in "read_id " + reason.
std::string read_name_problem(std::string_view name);

// Whether a "Z" tag (and so a FASTQ header item) can hold the text:
// printable ASCII and spaces only; a tab or newline would split the record.
bool is_tag_text(std::string_view text);

// Why application text bound for a tag cannot be written, or empty when it
// can: names the first character from `from` on outside printable ASCII and
// its place in `text`.
std::string tag_text_problem(std::string_view text, std::size_t from = 0);

// Whether an "i" tag holds the value: -2^31 to 2^32-1.
template <class Integer>
constexpr bool fits_integer_tag(Integer value) noexcept {
    return std::cmp_greater_equal(value, -(std::int64_t{1} << 31)) &&
           std::cmp_less_equal(value, (std::int64_t{1} << 32) - 1);
}

// Whether a "B:i" array item holds the value: int32.
template <class Integer>
constexpr bool fits_int32_array_item(Integer value) noexcept {
    return std::in_range<std::int32_t>(value);
}

}  // namespace common
