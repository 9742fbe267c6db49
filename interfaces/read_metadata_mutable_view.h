#pragma once

// Keyed read-write access to a read's metadata.
//
//   read.get_metadata().set<std::uint64_t>("read_data::start_time", 1200);
//
// Setting stores the value when the key names a field of exactly that type
// and reports false otherwise, changing nothing. Setting a member of an
// absent group creates the group with its defaults; an empty string makes
// a text field read as absent again. Nothing here throws.

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <apps/client/corvane_export.h>
#include <interfaces/metadata_key.h>
#include <interfaces/read_metadata_view.h>

namespace interfaces {

// Like ReadMetadataView, a reference to one record: setting through a
// const view still changes the record.
class CORVANE_EXPORT ReadMetadataMutableView : public ReadMetadataView {
public:
    explicit ReadMetadataMutableView(ReadMetadata& metadata) noexcept : ReadMetadataView(metadata) {}

    // The value type is always named (set<std::uint32_t>(...)): deducing it
    // from a literal would pick int and silently miss unsigned fields.
    template <class T>
    bool set(MetadataKey key, std::type_identity_t<T> value) const {
        static_assert(is_metadata_value_type<T>,
                      "metadata values are bool, 8- to 64-bit integers, float, double or std::string");
        return set_internal<T>(key.hash(), key.text(), std::move(value));
    }

    // The library's entry point behind set: hash must be
    // metadata_key_hash(key). Instantiated for the twelve value types.
    template <class T>
    bool set_internal(unsigned int hash, std::string_view key, T value) const;
};

extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<bool>(unsigned int, std::string_view, bool) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int8_t>(unsigned int, std::string_view, std::int8_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint8_t>(unsigned int, std::string_view, std::uint8_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int16_t>(unsigned int, std::string_view, std::int16_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint16_t>(unsigned int, std::string_view, std::uint16_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int32_t>(unsigned int, std::string_view, std::int32_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint32_t>(unsigned int, std::string_view, std::uint32_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::int64_t>(unsigned int, std::string_view, std::int64_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::uint64_t>(unsigned int, std::string_view, std::uint64_t) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<float>(unsigned int, std::string_view, float) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<double>(unsigned int, std::string_view, double) const;
extern template CORVANE_EXPORT bool ReadMetadataMutableView::set_internal<std::string>(unsigned int, std::string_view, std::string) const;

}  // namespace interfaces
