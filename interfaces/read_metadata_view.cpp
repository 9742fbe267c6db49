#include "interfaces/read_metadata_view.h"

#include <type_traits>

#include "interfaces/read_metadata.h"

namespace interfaces {

// How each presence rule reads its field.
#define QOR_GET_always(record, group, field) (&(record).field)
#define QOR_GET_flag(record, group, field) ((record).field ? &*(record).field : nullptr)
#define QOR_GET_text(record, group, field) ((record).field.empty() ? nullptr : &(record).field)
#define QOR_GET_group(record, group, field) ((record).group ? &(record).group->field : nullptr)

// One case per key: two keys with the same hash would be duplicate case
// labels, so the compiler proves the hash picks a single candidate.
template <class T>
const T* ReadMetadataView::get_internal(unsigned int hash, std::string_view key) const {
    const ReadMetadata& record = *m_metadata;
    switch (hash) {
#define QOR_READ_METADATA_KEY(KEY, TYPE, PRESENCE, GROUP, FIELD, NAME) \
    case metadata_key_hash(KEY):                                      \
        if constexpr (std::is_same_v<T, TYPE>) {                      \
            if (key == std::string_view(KEY)) {                       \
                return QOR_GET_##PRESENCE(record, GROUP, FIELD);      \
            }                                                         \
        }                                                             \
        return nullptr;
#include "interfaces/read_metadata_keys.def"
#undef QOR_READ_METADATA_KEY
    default:
        return nullptr;
    }
}

#undef QOR_GET_always
#undef QOR_GET_flag
#undef QOR_GET_text
#undef QOR_GET_group

template CORVANE_EXPORT const bool* ReadMetadataView::get_internal<bool>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::int8_t* ReadMetadataView::get_internal<std::int8_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::uint8_t* ReadMetadataView::get_internal<std::uint8_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::int16_t* ReadMetadataView::get_internal<std::int16_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::uint16_t* ReadMetadataView::get_internal<std::uint16_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::int32_t* ReadMetadataView::get_internal<std::int32_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::uint32_t* ReadMetadataView::get_internal<std::uint32_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::int64_t* ReadMetadataView::get_internal<std::int64_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::uint64_t* ReadMetadataView::get_internal<std::uint64_t>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const float* ReadMetadataView::get_internal<float>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const double* ReadMetadataView::get_internal<double>(unsigned int, std::string_view) const;
template CORVANE_EXPORT const std::string* ReadMetadataView::get_internal<std::string>(unsigned int, std::string_view) const;

}  // namespace interfaces
