#include "python/read_conversion.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/read_model/align_results_table.h"
#include "common/read_model/read_holder.h"
#include "interfaces/metadata_key.h"
#include "interfaces/read_metadata_key_table.h"
#include "python/dict_templates.h"
#include "python/repeated_values.h"

namespace tavrix {

namespace dw = vesk::data_wrappers::v2;
using vesk::data_wrappers::v3::MetadataType;

namespace {

// One alignment result row as NumPy sees it; the layout is the table's.
struct AlignResults {
    char genome[254];
    char direction[2];  // the direction character and the padding byte after it
    std::int32_t genome_start;
    std::int32_t genome_end;
    std::int32_t strand_start;
    std::int32_t strand_end;
    std::int32_t num_events;
    std::int32_t num_insertions;
    std::int32_t num_deletions;
    std::int32_t num_aligned;
    std::int32_t num_correct;
    float coverage;
    float identity;
    float accuracy;
    std::int32_t score;
    std::int32_t bed_hits;
    std::int32_t mapping_quality;
    std::uint8_t secondary_alignment;
    std::uint8_t supplementary_alignment;
};

constexpr auto& row = common::align_results_row;
static_assert(sizeof(AlignResults) == row.allocated_row_size);
static_assert(offsetof(AlignResults, genome) == row.offsets[0]);
static_assert(offsetof(AlignResults, direction) == row.offsets[1]);
static_assert(offsetof(AlignResults, genome_start) == row.offsets[2]);
static_assert(offsetof(AlignResults, genome_end) == row.offsets[3]);
static_assert(offsetof(AlignResults, strand_start) == row.offsets[4]);
static_assert(offsetof(AlignResults, strand_end) == row.offsets[5]);
static_assert(offsetof(AlignResults, num_events) == row.offsets[6]);
static_assert(offsetof(AlignResults, num_insertions) == row.offsets[7]);
static_assert(offsetof(AlignResults, num_deletions) == row.offsets[8]);
static_assert(offsetof(AlignResults, num_aligned) == row.offsets[9]);
static_assert(offsetof(AlignResults, num_correct) == row.offsets[10]);
static_assert(offsetof(AlignResults, coverage) == row.offsets[11]);
static_assert(offsetof(AlignResults, identity) == row.offsets[12]);
static_assert(offsetof(AlignResults, accuracy) == row.offsets[13]);
static_assert(offsetof(AlignResults, score) == row.offsets[14]);
static_assert(offsetof(AlignResults, bed_hits) == row.offsets[15]);
static_assert(offsetof(AlignResults, mapping_quality) == row.offsets[16]);
static_assert(offsetof(AlignResults, secondary_alignment) == row.offsets[17]);
static_assert(offsetof(AlignResults, supplementary_alignment) == row.offsets[18]);

// Python objects made from C++ values. A failed allocation leaves a Python
// error set; it is replaced by the fixed text callers have matched on.
py::object checked(PyObject* made, const char* failure) {
    if (made == nullptr) {
        PyErr_Clear();
        throw std::runtime_error(failure);
    }
    return py::reinterpret_steal<py::object>(made);
}

py::object int_object(long long value) {
    return checked(PyLong_FromLongLong(value), "Could not allocate int object!");
}

py::object int_object(unsigned long long value) {
    return checked(PyLong_FromUnsignedLongLong(value), "Could not allocate int object!");
}

// Copies text to `to` and tells whether it was plain ASCII, in one pass:
// the bytes are loaded once for both. Sixteen bytes a step where SSE2 is
// there (every x86-64), eight otherwise, each into its own accumulator so
// that the loads do not wait on one another.
bool copy_if_ascii(char* to, std::string_view text) {
    const char* from = text.data();
    const std::size_t size = text.size();
    std::size_t i = 0;
    bool ascii = true;
#if defined(__SSE2__)
    __m128i seen[2] = {_mm_setzero_si128(), _mm_setzero_si128()};
    for (; i + 32 <= size; i += 32) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i + 16), high);
        seen[0] = _mm_or_si128(seen[0], low);
        seen[1] = _mm_or_si128(seen[1], high);
    }
    ascii = _mm_movemask_epi8(_mm_or_si128(seen[0], seen[1])) == 0;
#endif
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    constexpr std::size_t word = sizeof(std::uint64_t);
    std::uint64_t words_seen[2] = {};
    for (; i + 2 * word <= size; i += 2 * word) {
        for (std::size_t k = 0; k < 2; ++k) {
            std::uint64_t bytes = 0;
            std::memcpy(&bytes, from + i + k * word, word);
            std::memcpy(to + i + k * word, &bytes, word);
            words_seen[k] |= bytes;
        }
    }
    std::uint64_t rest = words_seen[0] | words_seen[1];
    for (; i < size; ++i) {
        to[i] = from[i];
        rest |= static_cast<unsigned char>(from[i]);
    }
    return ascii && (rest & high_bits) == 0;
}

// Text from the server is not trusted to be UTF-8: a stray byte becomes
// U+FFFD instead of costing the caller the whole read. Plain ASCII, what
// the server sends nearly always, is copied straight into a new str (and
// the copy dropped for the decoder when it was not); the shortest texts go
// through the decoder, which hands out its shared single-character objects.
PyObject* new_str(std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (size > 1) {
        PyObject* made = PyUnicode_New(size, 127);
        if (made == nullptr || copy_if_ascii(static_cast<char*>(PyUnicode_DATA(made)), text)) {
            return made;
        }
        Py_DECREF(made);
    }
    return PyUnicode_DecodeUTF8(text.data(), size, "replace");
}

py::object str_object(std::string_view text) {
    return checked(new_str(text), "Could not allocate string object!");
}

py::dict new_dict() {
    return py::reinterpret_steal<py::dict>(checked(PyDict_New(), "Could not allocate dict object!").release());
}

// Interned key objects, made once under the interpreter lock and kept for
// the life of the process: releasing them at exit could run after the
// interpreter is gone.
PyObject* intern(std::string_view text) {
    PyObject* made = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (made == nullptr) {
        throw py::error_already_set();
    }
    PyUnicode_InternInPlace(&made);
    return made;
}

const auto& metadata_names() {
    static const auto names = [] {
        std::array<PyObject*, interfaces::read_metadata_keys.size()> made{};
        for (std::size_t i = 0; i < made.size(); ++i) {
            made[i] = intern(interfaces::read_metadata_keys[i].name);
        }
        return made;
    }();
    return names;
}

enum class ReadKey : std::size_t { read_tag, sub_tag, priority, metadata, datasets, count };
constexpr std::array<std::string_view, static_cast<std::size_t>(ReadKey::count)> read_key_texts = {
    "read_tag", "sub_tag", "priority", "metadata", "datasets"};

PyObject* read_key(ReadKey key) {
    static const auto names = [] {
        std::array<PyObject*, read_key_texts.size()> made{};
        for (std::size_t i = 0; i < made.size(); ++i) {
            made[i] = intern(read_key_texts[i]);
        }
        return made;
    }();
    return names[static_cast<std::size_t>(key)];
}

// Names of the data set kinds, by their numbers.
constexpr std::array<std::string_view, 6> dataset_texts = {"raw_data",       "sequence",      "qstring",
                                                           "movement",       "base_mod_probs", "align_results"};
static_assert(dw::align_results + 1 == dataset_texts.size());

PyObject* dataset_name(dw::dataset key) {
    static const auto names = [] {
        std::array<PyObject*, dataset_texts.size()> made{};
        for (std::size_t i = 0; i < made.size(); ++i) {
            made[i] = intern(dataset_texts[i]);
        }
        return made;
    }();
    const auto index = static_cast<std::size_t>(key);
    return index < names.size() ? names[index] : nullptr;
}

// The enumeration member of a priority. The members are made once and kept
// for the life of the process, like the key strings: a returned read shares
// them rather than getting new instances of its own.
py::object priority_object(apps::Read::Priority priority) {
    static const auto members = [] {
        std::array<PyObject*, 3> made{};
        for (std::size_t i = 0; i < made.size(); ++i) {
            made[i] = py::cast(static_cast<apps::Read::Priority>(i)).release().ptr();
        }
        return made;
    }();
    const auto index = static_cast<std::size_t>(priority);
    if (index < members.size()) {
        return py::reinterpret_borrow<py::object>(members[index]);
    }
    return py::cast(priority);
}

void set_item(const py::dict& dict, PyObject* key, const py::object& value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) != 0) {
        throw py::error_already_set();
    }
}

constexpr std::size_t metadata_key_count = interfaces::read_metadata_keys.size();

using MetadataDicts = DictTemplates<metadata_key_count>;

// The sets of present keys a run's reads take turns with (with and without
// barcode or alignment results, say) each keep their template. Guarded by
// the interpreter lock; kept for the life of the process, like the key
// strings.
MetadataDicts& metadata_dicts() {
    constexpr std::size_t kept_key_sets = 8;
    static auto* dicts = new MetadataDicts(metadata_names(), kept_key_sets, TemplateValues::kept);
    return *dicts;
}

// Guarded by the interpreter lock; kept for the life of the process, like
// the key strings.
RepeatedValues& repeated_values() {
    static auto* values = new RepeatedValues(metadata_key_count);
    return *values;
}

template <class T>
std::uint64_t bits_of(T value) {
    if constexpr (std::is_floating_point_v<T>) {
        const auto wide = static_cast<double>(value);
        std::uint64_t bits = 0;
        std::memcpy(&bits, &wide, sizeof(bits));
        return bits;
    } else {
        return static_cast<std::uint64_t>(value);
    }
}

// The C++ type of a metadata type, whose number is the index of that type
// in MetadataValue.
template <MetadataType type>
using value_type_t =
    std::variant_alternative_t<static_cast<std::size_t>(type), vesk::data_wrappers::v3::MetadataValue>;

// A new Python object for a metadata value. Booleans are listed as the
// integers 0 and 1.
template <class T>
py::object new_value_object(const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        return str_object(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return int_object(value ? 1LL : 0LL);
    } else if constexpr (std::is_floating_point_v<T>) {
        return checked(PyFloat_FromDouble(static_cast<double>(value)), "Could not allocate float object!");
    } else if constexpr (std::is_signed_v<T>) {
        return int_object(static_cast<long long>(value));
    } else {
        return int_object(static_cast<unsigned long long>(value));
    }
}

// The Python object of a present value of the key numbered `index`,
// borrowed from repeated_values().
template <class T>
PyObject* value_object(RepeatedValues& repeated, std::size_t index, const T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        if (PyObject* same = repeated.same_text(index, value)) {
            return same;
        }
        return repeated.keep(index, new_value_object(value), 0);
    } else {
        const std::uint64_t bits = bits_of(value);
        if (PyObject* same = repeated.same_number(index, bits)) {
            return same;
        }
        return repeated.keep(index, new_value_object(value), bits);
    }
}

using MetadataValues = MetadataDicts::Values;

// The field of each metadata key in a record, in key order: its address,
// or null when the value is absent, by the presence rules of
// read_metadata_keys.def, which the views follow too. The module is built
// from the same tree as the library, so the record's layout is the
// library's, and reading every key of every returned read costs no call
// and no key comparison.
#define QOR_FIELD_always(record, group, field) (&(record).field)
#define QOR_FIELD_flag(record, group, field) ((record).field ? &*(record).field : nullptr)
#define QOR_FIELD_text(record, group, field) ((record).field.empty() ? nullptr : &(record).field)
#define QOR_FIELD_group(record, group, field) ((record).group ? &(record).group->field : nullptr)
constexpr std::tuple field_readers{
#define QOR_READ_METADATA_KEY(KEY, TYPE, PRESENCE, GROUP, FIELD, NAME) \
    [](const interfaces::ReadMetadata& record) -> const TYPE* { return QOR_FIELD_##PRESENCE(record, GROUP, FIELD); },
#include "interfaces/read_metadata_keys.def"
#undef QOR_READ_METADATA_KEY
};
#undef QOR_FIELD_always
#undef QOR_FIELD_flag
#undef QOR_FIELD_text
#undef QOR_FIELD_group
static_assert(std::tuple_size_v<decltype(field_readers)> == metadata_key_count);

// And the other way: storing a value in the field of each key, as the
// mutable view would, without looking the key up.
#define QOR_STORE_always(record, group, field) ((record).field = std::move(value))
#define QOR_STORE_flag(record, group, field) ((record).field = std::move(value))
#define QOR_STORE_text(record, group, field) ((record).field = std::move(value))
#define QOR_STORE_group(record, group, field) \
    (((record).group ? *(record).group : (record).group.emplace()).field = std::move(value))
constexpr std::tuple field_writers{
#define QOR_READ_METADATA_KEY(KEY, TYPE, PRESENCE, GROUP, FIELD, NAME) \
    [](interfaces::ReadMetadata& record, TYPE&& value) { QOR_STORE_##PRESENCE(record, GROUP, FIELD); },
#include "interfaces/read_metadata_keys.def"
#undef QOR_READ_METADATA_KEY
};
#undef QOR_STORE_always
#undef QOR_STORE_flag
#undef QOR_STORE_text
#undef QOR_STORE_group
static_assert(std::tuple_size_v<decltype(field_writers)> == metadata_key_count);

constexpr std::size_t metadata_index(std::string_view key) {
    for (std::size_t i = 0; i < interfaces::read_metadata_keys.size(); ++i) {
        if (interfaces::read_metadata_keys[i].key == key) {
            return i;
        }
    }
    throw std::logic_error("not a metadata key");
}

// The strand id of a passed read is its read id: one str serves both.
constexpr std::size_t read_id_index = metadata_index("read_data::read_id");
constexpr std::size_t strand_id_index = metadata_index("read_data::strand_id");
static_assert(read_id_index < strand_id_index, "the read id is listed first");

// Reads the key numbered I into values[I]; its type is a constant here, so
// that walking all the keys costs no dispatch on each key's type.
template <std::size_t I>
void read_value(const interfaces::ReadMetadata& record, RepeatedValues& repeated, MetadataValues& values) {
    using T = value_type_t<interfaces::read_metadata_keys[I].type>;
    const auto* value = std::get<I>(field_readers)(record);
    static_assert(std::is_same_v<decltype(value), const T*>, "a key's field is not of the key's type");
    if (value == nullptr) {
        return;
    }
    if constexpr (I == strand_id_index) {
        if (values[read_id_index] != nullptr && *value == record.read_id) {
            values.set(I, values[read_id_index]);
            return;
        }
    }
    values.set(I, value_object(repeated, I, *value));
}

template <std::size_t... I>
void read_values(const interfaces::ReadMetadata& record, MetadataValues& values, std::index_sequence<I...>) {
    RepeatedValues& repeated = repeated_values();
    (read_value<I>(record, repeated, values), ...);
}

std::string_view key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) {
        py::cast<std::string>(py::handle(key));  // raises the standard cast error naming the type
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return {text, static_cast<std::size_t>(size)};
}

// Whether the object is a NumPy array of int16 in this machine's byte
// order: what pybind11's array_t<std::int16_t>::check_ answers, read from
// the array's descriptor without making a dtype to compare it with.
bool is_native_int16_array(PyObject* object) {
    const auto& api = py::detail::npy_api::get();
    if (!api.PyArray_Check_(object)) {
        return false;
    }
    const auto* descr = py::detail::array_descriptor_proxy(py::detail::array_proxy(object)->descr);
    constexpr char native = std::endian::native == std::endian::little ? '<' : '>';
    return descr->type_num == py::detail::npy_api::NPY_SHORT_ &&
           (descr->byteorder == '=' || descr->byteorder == native);
}

// The samples are read straight from the array's buffer into the read's own
// storage: one copy, whatever the stride. The read outlives the call, and
// the caller may change the array afterwards, so the read cannot borrow it.

bool store_samples(py::handle value, apps::Read& read) {
    if (!is_native_int16_array(value.ptr())) {
        return false;
    }
    const auto array = py::reinterpret_borrow<py::array>(value);
    if (array.ndim() != 1) {
        return false;
    }
    const auto count = static_cast<std::size_t>(array.shape(0));
    const py::ssize_t stride = array.strides(0);
    const auto* source = static_cast<const char*>(array.data());
    const bool contiguous = stride == static_cast<py::ssize_t>(sizeof(std::int16_t)) || count <= 1;
    if (contiguous && reinterpret_cast<std::uintptr_t>(source) % alignof(std::int16_t) == 0) {
        // One block for the samples and their owner, filled by one copy.
        read.get_datasets().emplace(
            dw::raw_data, dw::DataSetData::copy_of(reinterpret_cast<const std::int16_t*>(source), count));
        return true;
    }
    std::vector<std::int16_t> samples;
    samples.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, source + static_cast<py::ssize_t>(i) * stride, sizeof(sample));
        samples.push_back(sample);
    }
    read.get_datasets().emplace(dw::raw_data, dw::DataSetData(std::move(samples)));
    return true;
}

std::string str_value(py::handle value) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return std::string(text, static_cast<std::size_t>(size));
}

// How a read dict's value is taken and stored: the value kinds of
// read_dict_keys.def.
enum class ReadDictValue : std::uint8_t { tag, samples, read_id, text, float32, uint64, int32, int32_as_uint32, count };

struct ReadDictKey {
    std::string_view name;
    ReadDictValue value;
    std::string_view target;  // the metadata key, empty for the tag and the samples
    bool required;
};

constexpr std::array read_dict_keys = {
#define QOR_READ_DICT_KEY(NAME, VALUE, TARGET, REQUIRED) \
    ReadDictKey{NAME, ReadDictValue::VALUE, TARGET, REQUIRED},
#include "python/read_dict_keys.def"
#undef QOR_READ_DICT_KEY
};

using KeySet = std::uint32_t;  // bit i stands for read_dict_keys[i]
static_assert(read_dict_keys.size() <= 32, "a KeySet holds one bit per read dict key");
constexpr std::size_t no_read_dict_key = read_dict_keys.size();

constexpr KeySet required_keys = [] {
    KeySet keys = 0;
    for (std::size_t i = 0; i < read_dict_keys.size(); ++i) {
        if (read_dict_keys[i].required) {
            keys |= KeySet{1} << i;
        }
    }
    return keys;
}();

// The metadata type each kind of value is stored as; none for the tag and
// the samples.
constexpr std::optional<MetadataType> stored_type(ReadDictValue value) {
    using vesk::data_wrappers::v3::metadata_type_of;
    switch (value) {
    case ReadDictValue::read_id:
    case ReadDictValue::text: return metadata_type_of<std::string>;
    case ReadDictValue::float32: return metadata_type_of<float>;
    case ReadDictValue::uint64: return metadata_type_of<std::uint64_t>;
    case ReadDictValue::int32: return metadata_type_of<std::int32_t>;
    case ReadDictValue::int32_as_uint32: return metadata_type_of<std::uint32_t>;
    default: return std::nullopt;
    }
}

// Every target is a metadata key of the type its value is stored as, so
// that a key renamed or retyped in the metadata table fails to build here.
constexpr bool targets_are_metadata_keys() {
    for (const ReadDictKey& key : read_dict_keys) {
        const std::optional<MetadataType> type = stored_type(key.value);
        if (key.target.empty() != !type.has_value()) {
            return false;
        }
        const auto is_target = [&](const auto& metadata) {
            return metadata.key == key.target && metadata.type == *type;
        };
        if (type && std::none_of(interfaces::read_metadata_keys.begin(), interfaces::read_metadata_keys.end(),
                                 is_target)) {
            return false;
        }
    }
    return true;
}
static_assert(targets_are_metadata_keys(), "a read dict key's target is not a metadata key of its stored type");

// What each kind of value must be, as the read check names it.
constexpr std::array<std::string_view, static_cast<std::size_t>(ReadDictValue::count)> expected_values = {
    "an int from 0 to 4294967295",
    "a one-dimensional int16 NumPy array",
    "a str that is not empty",
    "a str",
    "a float",
    "an int from 0 to 2^64-1",
    "a signed 32-bit int",
    "a signed 32-bit int",
};

// The read dict keys as interned str objects, in table order.
const auto& read_dict_key_objects() {
    static const auto names = [] {
        std::array<PyObject*, read_dict_keys.size()> made{};
        for (std::size_t i = 0; i < made.size(); ++i) {
            made[i] = intern(read_dict_keys[i].name);
        }
        return made;
    }();
    return names;
}

// The table entry of a dict key, or no_read_dict_key. A key written in
// Python code is an interned str, the very object read_dict_key_objects()
// holds, and is found by identity without reading its text; any other
// str is compared by text. A key that is not a str raises the cast error.
// The search starts at `from`: dicts written in table order find each key
// at its first try when `from` follows the key found before.
std::size_t read_dict_key(PyObject* key, std::size_t from) {
    const auto& objects = read_dict_key_objects();
    for (std::size_t tried = 0, i = from; tried < objects.size(); ++tried, i = (i + 1) % objects.size()) {
        if (objects[i] == key) {
            return i;
        }
    }
    const std::string_view name = key_text(key);
    for (std::size_t i = 0; i < read_dict_keys.size(); ++i) {
        if (read_dict_keys[i].name == name) {
            return i;
        }
    }
    return no_read_dict_key;
}

// Why a read dict is not a complete read.
enum class DictFault : std::uint8_t {
    none,
    wrong_value,  // a Python type other than the key's, an int out of its range, an empty read id
    missing,      // a required key left out
    key_not_str,
};

struct DictOutcome {
    DictFault fault = DictFault::none;
    std::size_t key = no_read_dict_key;  // the read_dict_keys entry at fault
    py::handle value;                    // borrowed from the dict
};

// The metadata key each read dict key stores its value under, by number;
// metadata_key_count for the tag and the samples.
constexpr auto read_dict_targets = [] {
    std::array<std::size_t, read_dict_keys.size()> targets{};
    for (std::size_t i = 0; i < read_dict_keys.size(); ++i) {
        const std::string_view target = read_dict_keys[i].target;
        targets[i] = target.empty() ? metadata_key_count : metadata_index(target);
    }
    return targets;
}();

template <std::size_t K, class T>
void store_if_target(std::size_t dict_key, interfaces::ReadMetadata& record, T& value) {
    constexpr std::size_t target = read_dict_targets[K];
    if constexpr (target != metadata_key_count) {
        if constexpr (std::is_same_v<T, value_type_t<interfaces::read_metadata_keys[target].type>>) {
            if (dict_key == K) {
                std::get<target>(field_writers)(record, std::move(value));
            }
        }
    }
}

// Stores value in the field of the read dict key numbered dict_key.
template <class T, std::size_t... K>
void store_in_target(std::size_t dict_key, interfaces::ReadMetadata& record, T& value, std::index_sequence<K...>) {
    (store_if_target<K>(dict_key, record, value), ...);
}

template <class T>
void set_metadata(interfaces::ReadMetadata& record, std::size_t dict_key, T&& value) {
    store_in_target<T>(dict_key, record, value, std::make_index_sequence<read_dict_keys.size()>{});
}

// An int that fits T, read straight from the object; one that does not
// fit goes through pybind11's own conversion, which raises the cast error.
template <class T>
T fitting_int(py::handle value) {
    if constexpr (std::is_unsigned_v<T>) {
        static_assert(sizeof(T) == sizeof(unsigned long long));
        const unsigned long long number = PyLong_AsUnsignedLongLong(value.ptr());
        if (number != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
            return static_cast<T>(number);
        }
    } else {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0 && number >= std::numeric_limits<T>::min() && number <= std::numeric_limits<T>::max() &&
            !(number == -1 && PyErr_Occurred())) {
            return static_cast<T>(number);
        }
    }
    PyErr_Clear();
    return py::cast<T>(value);
}

// Stores one value as its key says. False for a value the key does not
// take; an int that does not fit raises the cast error.
bool store(std::size_t index, py::handle value, apps::Read& read, interfaces::ReadMetadata& metadata) {
    const ReadDictKey& key = read_dict_keys[index];
    PyObject* object = value.ptr();
    switch (key.value) {
    case ReadDictValue::tag: {
        if (!PyLong_Check(object)) {
            return false;
        }
        int overflow = 0;
        const long long tag = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (tag == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        if (overflow != 0 || tag < 0 || tag > 0xFFFFFFFFLL) {
            return false;
        }
        read.set_read_tag(static_cast<unsigned long long>(tag));
        return true;
    }
    case ReadDictValue::samples: return store_samples(value, read);
    case ReadDictValue::read_id:
    case ReadDictValue::text: {
        if (!PyUnicode_Check(object)) {
            return false;
        }
        std::string text = str_value(value);
        if (text.empty() && key.value == ReadDictValue::read_id) {
            return false;
        }
        set_metadata<std::string>(metadata, index, std::move(text));
        return true;
    }
    case ReadDictValue::float32:
        // A Python float only: an int is refused.
        if (!PyFloat_Check(object)) {
            return false;
        }
        set_metadata<float>(metadata, index, static_cast<float>(PyFloat_AsDouble(object)));
        return true;
    case ReadDictValue::uint64:
    case ReadDictValue::int32:
    case ReadDictValue::int32_as_uint32:
        if (!PyLong_Check(object)) {
            return false;
        }
        if (key.value == ReadDictValue::uint64) {
            set_metadata<std::uint64_t>(metadata, index, fitting_int<std::uint64_t>(value));
        } else if (key.value == ReadDictValue::int32) {
            set_metadata<std::int32_t>(metadata, index, fitting_int<std::int32_t>(value));
        } else {
            set_metadata<std::uint32_t>(metadata, index, static_cast<std::uint32_t>(fitting_int<std::int32_t>(value)));
        }
        return true;
    case ReadDictValue::count: break;
    }
    return false;
}

enum class CastErrors { raise, report };

// Fills a fresh handle from a read dict, walking its items in order and
// stopping at the first fault.
DictOutcome read_from_dict(const py::dict& read_dict, apps::Read& read, CastErrors cast_errors) {
    auto& record = read.get_readholder().metadata;
    if (record == nullptr) {
        throw std::runtime_error("Read record holds no metadata.");
    }
    interfaces::ReadMetadata& metadata = *record;
    KeySet stored = 0;
    std::size_t next_key = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(read_dict.ptr(), &position, &key, &value)) {
        if (cast_errors == CastErrors::report && !PyUnicode_Check(key)) {
            return {DictFault::key_not_str, no_read_dict_key, key};
        }
        const std::size_t index = read_dict_key(key, next_key);
        if (index == no_read_dict_key) {
            continue;  // not a key of a read dict: ignored
        }
        next_key = (index + 1) % read_dict_keys.size();
        bool stored_value = false;
        if (cast_errors == CastErrors::raise) {
            stored_value = store(index, value, read, metadata);
        } else {
            try {
                stored_value = store(index, value, read, metadata);
            } catch (const py::cast_error&) {
                return {DictFault::wrong_value, index, value};  // an int that does not fit
            }
        }
        if (!stored_value) {
            return {DictFault::wrong_value, index, value};
        }
        stored |= KeySet{1} << index;
    }
    if (const KeySet missing = required_keys & ~stored; missing != 0) {
        return {DictFault::missing, static_cast<std::size_t>(std::countr_zero(missing)), {}};
    }
    return {};
}

// A value as a message shows it: its repr, cut short.
std::string shown(py::handle value) {
    constexpr std::size_t longest = 40;
    std::string text = py::str(py::repr(value));
    if (text.size() > longest) {
        text.resize(longest - 3);
        text += "...";
    }
    return text;
}

std::string describe(const DictOutcome& outcome) {
    if (outcome.fault == DictFault::key_not_str) {
        return "key " + shown(outcome.value) + " is not a str";
    }
    const ReadDictKey& key = read_dict_keys[outcome.key];
    const std::string name(key.name);
    if (outcome.fault == DictFault::missing) {
        return "no " + name;
    }
    // An array's repr says little and may be long: its type says enough.
    const std::string value = key.value == ReadDictValue::samples
                                  ? std::string("of type ") + Py_TYPE(outcome.value.ptr())->tp_name
                                  : shown(outcome.value);
    return name + " " + value + " is not " + std::string(expected_values[static_cast<std::size_t>(key.value)]);
}

py::dtype dtype_of(const dw::DataSetData& data_set) {
    switch (data_set.type()) {
    case dw::DataType::int8: return py::dtype::of<std::int8_t>();
    case dw::DataType::int16: return py::dtype::of<std::int16_t>();
    case dw::DataType::int32: return py::dtype::of<std::int32_t>();
    case dw::DataType::int64: return py::dtype::of<std::int64_t>();
    case dw::DataType::uint8: return py::dtype::of<std::uint8_t>();
    case dw::DataType::uint16: return py::dtype::of<std::uint16_t>();
    case dw::DataType::uint32: return py::dtype::of<std::uint32_t>();
    case dw::DataType::uint64: return py::dtype::of<std::uint64_t>();
    case dw::DataType::float32: return py::dtype::of<float>();
    case dw::DataType::float64: return py::dtype::of<double>();
    case dw::DataType::table:
        if (!data_set.fields().empty() && data_set.fields().front().name == "Genome") {
            return py::dtype::of<AlignResults>();
        }
        return py::dtype();
    default:
        return py::dtype();
    }
}

}  // namespace

void register_align_results_dtype() {
    PYBIND11_NUMPY_DTYPE(AlignResults, genome, direction, genome_start, genome_end, strand_start, strand_end,
                         num_events, num_insertions, num_deletions, num_aligned, num_correct, coverage, identity,
                         accuracy, score, bed_hits, mapping_quality, secondary_alignment, supplementary_alignment);
}

bool dict_to_read(const py::dict& read_dict, apps::Read& read) {
    return read_from_dict(read_dict, read, CastErrors::raise).fault == DictFault::none;
}

std::string read_dict_problem(const py::dict& read_dict, apps::Read& read) {
    const DictOutcome outcome = read_from_dict(read_dict, read, CastErrors::report);
    return outcome.fault == DictFault::none ? std::string() : describe(outcome);
}

py::dict metadata_to_py_dict(const apps::Read& read) {
    const auto& record = read.get_readholder().metadata;
    if (record == nullptr) {
        throw std::runtime_error("Read record holds no metadata.");
    }
    MetadataValues values;
    read_values(*record, values, std::make_index_sequence<metadata_key_count>{});
    return metadata_dicts().make(values);
}

namespace {

// The array shape of a data set whose elements match dtype; raises when
// they do not.
struct ArrayShape {
    std::array<py::ssize_t, 2> dimensions{};
    int ndim = 1;

    std::vector<py::ssize_t> as_vector() const {
        return {dimensions.begin(), dimensions.begin() + ndim};
    }
};

ArrayShape array_shape(const dw::DataSetData& data_set, const py::dtype& dtype) {
    const auto& shape = data_set.shape();
    ArrayShape result;
    if (shape[0] != 0) {
        result.dimensions = {static_cast<py::ssize_t>(shape[0]), static_cast<py::ssize_t>(shape[1])};
        result.ndim = 2;
        // A shape that does not cover the elements would make the copy
        // read past the data set or leave part of the array undefined.
        if (shape[0] * shape[1] != data_set.count()) {
            throw std::runtime_error("Data set shape does not match its data size.");
        }
    } else {
        result.dimensions[0] = static_cast<py::ssize_t>(data_set.count());
    }
    const auto itemsize = static_cast<std::uint64_t>(dtype.itemsize());
    if (itemsize != data_set.element_size()) {
        throw std::runtime_error("Python data type size (" + std::to_string(itemsize) + ") for DataType " +
                                 std::to_string(static_cast<int>(data_set.type())) +
                                 " does not match input data size (" + std::to_string(data_set.element_size()) +
                                 ")");
    }
    return result;
}

py::array empty_array() {
    return py::array(py::dtype::of<std::uint8_t>(), std::vector<py::ssize_t>{0});
}

// The base object of an array over a data set's storage: a Python object
// with the data set inside it, so that handing the storage to NumPy costs
// one small Python allocation.
struct DataSetStorage {
    PyObject head;
    alignas(dw::DataSetData) unsigned char data_set[sizeof(dw::DataSetData)];

    dw::DataSetData& held() { return *std::launder(reinterpret_cast<dw::DataSetData*>(data_set)); }
};

void release_data_set_storage(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<DataSetStorage*>(self)->held().~DataSetData();
    PyObject_Free(self);
    Py_DECREF(type);  // each instance of a heap type holds a reference to it
}

// The type, made once and kept for the life of the process, like the key
// strings. Not exposed by the module: it is only ever an array's base.
PyTypeObject* data_set_storage_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(release_data_set_storage)},
            {Py_tp_doc, const_cast<char*>("Storage of a returned read's array.")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"tavrix.DataSetStorage", static_cast<int>(sizeof(DataSetStorage)), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        PyObject* made = PyType_FromSpec(&spec);
        if (made == nullptr) {
            throw py::error_already_set();
        }
        return reinterpret_cast<PyTypeObject*>(made);
    }();
    return type;
}

// A new storage object holding the data set, moved in.
py::object storage_object(dw::DataSetData&& data_set) {
    PyTypeObject* type = data_set_storage_type();
    void* memory = PyObject_Malloc(sizeof(DataSetStorage));
    if (memory == nullptr) {
        throw std::runtime_error("Could not allocate array storage object!");
    }
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);
    ::new (reinterpret_cast<DataSetStorage*>(object)->data_set) dw::DataSetData(std::move(data_set));
    return py::reinterpret_steal<py::object>(object);
}

// An array over the data set's own storage: the data set moves into a
// storage object that the array keeps as its base, and is freed with the
// array. Made by NumPy's own call, C order and writeable as pybind11 would
// make it, without the containers pybind11 builds on the way.
py::array adopted_array(dw::DataSetData&& data_set) {
    py::dtype dtype = dtype_of(data_set);
    if (!dtype) {
        return empty_array();
    }
    if (!data_set.owns_data()) {
        return dataset_to_array(data_set);  // storage of someone else's: copied
    }
    const ArrayShape shape = array_shape(data_set, dtype);
    const py::ssize_t itemsize = dtype.itemsize();
    const std::array<py::ssize_t, 2> strides = {shape.ndim == 2 ? shape.dimensions[1] * itemsize : itemsize,
                                                itemsize};
    py::object base = storage_object(std::move(data_set));
    void* data = reinterpret_cast<DataSetStorage*>(base.ptr())->held().data();
    auto& api = py::detail::npy_api::get();
    // NewFromDescr takes the dtype's reference, failing or not.
    auto array = py::reinterpret_steal<py::array>(api.PyArray_NewFromDescr_(
        api.PyArray_Type_, dtype.release().ptr(), shape.ndim, shape.dimensions.data(),
        shape.ndim == 2 ? strides.data() : strides.data() + 1, data, py::detail::npy_api::NPY_ARRAY_WRITEABLE_,
        nullptr));
    if (!array) {
        throw py::error_already_set();
    }
    // SetBaseObject takes the storage object's reference, failing or not.
    if (api.PyArray_SetBaseObject_(array.ptr(), base.release().ptr()) != 0) {
        throw py::error_already_set();
    }
    return array;
}

}  // namespace

py::array dataset_to_array(const dw::DataSetData& data_set) {
    const py::dtype dtype = dtype_of(data_set);
    if (!dtype) {
        return empty_array();
    }
    py::array array(dtype, array_shape(data_set, dtype).as_vector());
    const std::uint64_t bytes = data_set.count() * data_set.element_size();
    if (bytes != 0) {
        std::memcpy(array.mutable_data(), data_set.data(), static_cast<std::size_t>(bytes));
    }
    return array;
}

namespace {

constexpr std::size_t read_key_count = read_key_texts.size();
constexpr std::size_t dataset_kind_count = dataset_texts.size();

// The read dicts and data set dicts: their values are new with every read
// and are not kept. Guarded by the interpreter lock; kept for the life of
// the process, like the key strings.
DictTemplates<read_key_count>& read_dicts() {
    static auto* dicts = [] {
        std::array<PyObject*, read_key_count> names{};
        for (std::size_t i = 0; i < read_key_count; ++i) {
            names[i] = read_key(static_cast<ReadKey>(i));
        }
        return new DictTemplates<read_key_count>(names, 1, TemplateValues::none);
    }();
    return *dicts;
}

DictTemplates<dataset_kind_count>& dataset_dicts() {
    constexpr std::size_t kept_kind_sets = 8;
    static auto* dicts = [] {
        std::array<PyObject*, dataset_kind_count> names{};
        for (std::size_t i = 0; i < dataset_kind_count; ++i) {
            names[i] = dataset_name(static_cast<dw::dataset>(i));
        }
        return new DictTemplates<dataset_kind_count>(names, kept_kind_sets, TemplateValues::none);
    }();
    return *dicts;
}

// DatasetMap is const for copies and mutable for adoption. The map is
// ordered by kind, so the dict's keys come in kind order.
template <class DatasetMap>
py::dict datasets_dict(DatasetMap& datasets) {
    std::array<py::object, dataset_kind_count> made;
    DictTemplates<dataset_kind_count>::Values values;
    for (auto& [key, data_set] : datasets) {
        const auto index = static_cast<std::size_t>(key);
        if (index >= dataset_kind_count) {
            continue;
        }
        if (data_set.type() == dw::DataType::string) {
            made[index] = str_object(data_set.string_value());
        } else if constexpr (std::is_const_v<DatasetMap>) {
            made[index] = dataset_to_array(data_set);
        } else {
            made[index] = adopted_array(std::move(data_set));
        }
        values.set(index, made[index].ptr());
    }
    return dataset_dicts().make(values);
}

template <class Read>
py::dict read_dict(Read& read) {
    const std::array<py::object, read_key_count> made = {
        int_object(read.get_read_tag()), int_object(read.get_sub_tag()), priority_object(read.get_priority()),
        metadata_to_py_dict(std::as_const(read)), datasets_dict(read.get_datasets())};
    DictTemplates<read_key_count>::Values values;
    for (std::size_t i = 0; i < read_key_count; ++i) {
        values.set(i, made[i].ptr());
    }
    return read_dicts().make(values);
}

}  // namespace

py::dict datasets_to_dict(const apps::Read::DatasetMap& datasets) {
    return datasets_dict(datasets);
}

py::dict read_to_dict(const apps::Read& read) {
    return read_dict(read);
}

namespace {

bool wants_sam_record(const apps::Read& read) {
    const auto& datasets = read.get_datasets();
    return datasets.count(dw::align_results) != 0 || datasets.count(dw::base_mod_probs) != 0;
}

std::string sam_text(const apps::Read& read) {
    const auto lines = read.extract_sam_and_bed_lines(sam_modbase_threshold_percent);
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) {
            text += '\n';
        }
        text += lines[i].sam_line;
    }
    return text;
}

void store_sam_text(py::dict& read_dict, const std::string& text) {
    py::dict metadata = read_dict[read_key(ReadKey::metadata)];
    metadata["alignment_sam_record"] = str_object(text);
}

}  // namespace

SamRecord build_sam_record(const apps::Read& read) {
    SamRecord record;
    record.wanted = wants_sam_record(read);
    if (!record.wanted) {
        return record;
    }
    try {
        record.text = sam_text(read);
        record.built = true;
    } catch (const std::exception& error) {
        record.error = error.what();
    }
    return record;
}

void add_alignment_sam_record(py::dict& read_dict, const apps::Read& read) {
    if (wants_sam_record(read)) {
        store_sam_text(read_dict, sam_text(read));
    }
}

py::dict completed_read_to_dict(apps::Read& read, const SamRecord& sam) {
    py::dict result;
    try {
        result = read_dict(read);
    } catch (const std::exception& error) {
        // What can always be converted: the tags, the priority and the reason.
        result = new_dict();
        set_item(result, read_key(ReadKey::read_tag), int_object(read.get_read_tag()));
        set_item(result, read_key(ReadKey::sub_tag), int_object(read.get_sub_tag()));
        set_item(result, read_key(ReadKey::priority), priority_object(read.get_priority()));
        py::dict metadata = new_dict();
        metadata[conversion_error_key] = str_object(error.what());
        set_item(result, read_key(ReadKey::metadata), metadata);
        set_item(result, read_key(ReadKey::datasets), new_dict());
        return result;
    }
    if (sam.built) {
        store_sam_text(result, sam.text);
    } else if (sam.wanted) {
        py::dict metadata = result[read_key(ReadKey::metadata)];
        metadata[conversion_error_key] = str_object(sam.error);
    }
    return result;
}

namespace {

[[noreturn]] void refuse_listed(std::string_view where, std::string_view name, std::string_view expected) {
    throw py::type_error("read dict " + std::string(where) + " \"" + std::string(name) + "\" is not " +
                         std::string(expected));
}

// A value as metadata_to_py_dict lists it, back as the metadata value.
template <class T>
T listed_value(py::handle value, std::string_view name) {
    if constexpr (std::is_same_v<T, std::string>) {
        if (!PyUnicode_Check(value.ptr())) {
            refuse_listed("metadata", name, "a str");
        }
        return str_value(value);
    } else {
        try {
            if constexpr (std::is_same_v<T, bool>) {
                return py::cast<long long>(value) != 0;  // listed as 0 or 1
            } else {
                return py::cast<T>(value);
            }
        } catch (const py::cast_error&) {
            refuse_listed("metadata", name, std::is_floating_point_v<T> ? "a number" : "an int of its field's range");
        }
    }
}

// The next index, round the list, whose key is listed under the same name
// object as key `index`'s: `index` itself for most, as a few names serve
// two keys.
const auto& same_name_next() {
    static const auto next = [] {
        const auto& names = metadata_names();
        std::array<std::size_t, metadata_key_count> made{};
        for (std::size_t i = 0; i < made.size(); ++i) {
            made[i] = i;
            for (std::size_t step = 1; step < made.size(); ++step) {
                const std::size_t j = (i + step) % made.size();
                if (names[j] == names[i]) {
                    made[i] = j;
                    break;
                }
            }
        }
        return made;
    }();
    return next;
}

// An index of the metadata name `key` stands for, or
// metadata_key_count for a key that names none. The module's own dicts
// hold its interned name objects in index order, so the search by
// identity starts at `from`, just past the index found before, and finds
// most keys at once; any other str is compared by text.
template <class Names>
std::size_t listed_index(const Names& names, PyObject* key, std::size_t from) {
    for (std::size_t tried = 0, i = from; tried < names.size(); ++tried, i = (i + 1) % names.size()) {
        if (names[i] == key) {
            return i;
        }
    }
    if (!PyUnicode_Check(key)) {
        return metadata_key_count;  // no str: equal to no name
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        PyErr_Clear();  // text that is not UTF-8 names no key
        return metadata_key_count;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (interfaces::read_metadata_keys[i].name == name) {
            return i;
        }
    }
    return metadata_key_count;
}

using ListedValues = std::array<py::object, metadata_key_count>;

// A listed dict's values by key index, each held: converting a value may
// run the caller's code (an __index__, say), which could let go of the
// dict's own references. Nothing of the caller's runs in the walk itself:
// identity and text comparisons only.
void gather_listed(PyObject* listed, ListedValues& values) {
    const auto& names = metadata_names();
    const auto& next = same_name_next();
    std::size_t from = 0;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(listed, &position, &key, &value)) {
        const std::size_t found = listed_index(names, key, from);
        if (found == metadata_key_count) {
            continue;  // not a metadata name: ignored
        }
        from = (found + 1) % metadata_key_count;
        std::size_t i = found;
        do {
            values[i] = py::reinterpret_borrow<py::object>(value);
            i = next[i];
        } while (i != found);
    }
}

template <std::size_t I>
void restore_value(PyObject* value, const interfaces::ReadMetadataMutableView& metadata) {
    if (value == nullptr) {
        return;
    }
    constexpr auto& key = interfaces::read_metadata_keys[I];
    using T = value_type_t<interfaces::read_metadata_keys[I].type>;
    metadata.set_internal<T>(key.hash, key.key, listed_value<T>(value, key.name));
}

// Stores the listed values in key order, so that the first of several
// wrong values is the one named.
template <std::size_t... I>
void restore_values(PyObject* listed, const interfaces::ReadMetadataMutableView& metadata,
                    std::index_sequence<I...>) {
    ListedValues values;
    gather_listed(listed, values);
    (restore_value<I>(values[I].ptr(), metadata), ...);
}

PyObject* dict_member(const py::dict& read_dict, ReadKey key) {
    PyObject* member = PyDict_GetItemWithError(read_dict.ptr(), read_key(key));
    if (member == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (member == nullptr || !PyDict_Check(member)) {
        refuse_listed("member", read_key_texts[static_cast<std::size_t>(key)], "a dict");
    }
    return member;
}

void restore_data_set(PyObject* listed, dw::dataset kind, apps::Read& read) {
    PyObject* value = PyDict_GetItemWithError(listed, dataset_name(kind));
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return;
    }
    const std::string_view name = dataset_texts[static_cast<std::size_t>(kind)];
    if (kind != dw::movement) {
        if (!PyUnicode_Check(value)) {
            refuse_listed("data set", name, "a str");
        }
        read.get_datasets().emplace(kind, dw::DataSetData(str_value(value)));
        return;
    }
    if (!py::array_t<std::uint8_t>::check_(value) || py::reinterpret_borrow<py::array>(value).ndim() != 1) {
        refuse_listed("data set", name, "a one-dimensional uint8 NumPy array");
    }
    const auto moves = py::reinterpret_borrow<py::array_t<std::uint8_t>>(value).unchecked<1>();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(moves.shape(0)));
    for (py::ssize_t i = 0; i < moves.shape(0); ++i) {
        bytes[static_cast<std::size_t>(i)] = moves(i);
    }
    read.get_datasets().emplace(kind, dw::DataSetData(std::move(bytes)));
}

}  // namespace

void returned_dict_to_read(const py::dict& read_dict, apps::Read& read, bool with_sequence) {
    restore_values(dict_member(read_dict, ReadKey::metadata), read.get_metadata(),
                   std::make_index_sequence<metadata_key_count>{});
    PyObject* datasets = dict_member(read_dict, ReadKey::datasets);
    restore_data_set(datasets, dw::movement, read);
    if (with_sequence) {
        restore_data_set(datasets, dw::sequence, read);
        restore_data_set(datasets, dw::qstring, read);
    }
}

}  // namespace tavrix
