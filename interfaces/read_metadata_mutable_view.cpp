#include "interfaces/read_metadata_mutable_view.h"

#include <type_traits>
#include <utility>

#include "interfaces/read_metadata.h"

namespace interfaces {

// How each presence rule stores its field: a group or pair is created with
// its defaults before its first member is written.
#define QOR_SET_always(record, group, field) ((record).field = std::move(value))
#define QOR_SET_flag(record, group, field) ((record).field = std::move(value))
#define QOR_SET_text(record, group, field) ((record).field = std::move(value))
#define QOR_SET_group(record, group, field) \
    (((record).group ? *(record).group : (record).group.emplace()).field = std::move(value))

template <class T>
bool ReadMetadataMutableView::set_internal(unsigned int hash, std::string_view key, T value) const {
    // The view was made from a mutable record, so writing through it is sound.
    ReadMetadata& record = const_cast<ReadMetadata&>(*m_metadata);
    switch (hash) {
#define QOR_READ_METADATA_KEY(KEY, TYPE, PRESENCE, GROUP, FIELD, NAME) \
    case metadata_key_hash(KEY):                                 \
        if constexpr (std::is_same_v<T, TYPE>) {                 \
            if (key == std::string_view(KEY)) {                  \
                QOR_SET_##PRESENCE(record, GROUP, FIELD);        \
                return true;                                     \
            }                                                    \
        }                                                        \
        return false;
#include "interfaces/read_metadata_keys.def"
#undef QOR_READ_METADATA_KEY
    default:
        return false;
    }
}

#undef QOR_SET_always
#undef QOR_SET_flag
#undef QOR_SET_text
#undef QOR_SET_group

template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<bool>(unsigned int, std::string_view, bool) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int8_t>(unsigned int, std::string_view, std::int8_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint8_t>(unsigned int, std::string_view, std::uint8_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int16_t>(unsigned int, std::string_view, std::int16_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint16_t>(unsigned int, std::string_view, std::uint16_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int32_t>(unsigned int, std::string_view, std::int32_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint32_t>(unsigned int, std::string_view, std::uint32_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int64_t>(unsigned int, std::string_view, std::int64_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint64_t>(unsigned int, std::string_view, std::uint64_t) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<float>(unsigned int, std::string_view, float) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<double>(unsigned int, std::string_view, double) const;
template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::string>(unsigned int, std::string_view, std::string) const;

}  // namespace interfaces
