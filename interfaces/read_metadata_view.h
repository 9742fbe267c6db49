#pragma once

// Read-only keyed access to a read's metadata.
//
//   const std::string* id = read.get_metadata().get<std::string>("read_data::read_id");
//
// Each key has exactly one value type; asking with another type, an unknown
// key or for a value that is absent gives null. Nothing here throws.

#include <cstdint>
#include <string>
#include <string_view>

#include <apps/client/corvane_export.h>
#include <interfaces/metadata_key.h>

namespace interfaces {

struct ReadMetadata;

// Holds a reference to one record and nothing else: cheap to copy, and must
// not outlive the record. Not synchronised; use it on the thread that owns
// the read.
class CORVANE_EXPORT ReadMetadataView {
public:
    explicit ReadMetadataView(const ReadMetadata& metadata) noexcept : m_metadata(&metadata) {}

    // The value of key, or null when the key is unknown, has another type
    // or its value is absent. Points into the record and lives as long as it.
    template <class T>
    const T* get(MetadataKey key) const {
        static_assert(is_metadata_value_type<T>,
                      "metadata values are bool, 8- to 64-bit integers, float, double or std::string");
        return get_internal<T>(key.hash(), key.text());
    }

    // The library's entry point behind get: hash must be
    // metadata_key_hash(key). Instantiated for the twelve value types.
    template <class T>
    const T* get_internal(unsigned int hash, std::string_view key) const;

protected:
    const ReadMetadata* m_metadata;
};

extern template CORVANE_EXPORT const bool* ReadMetadataView::get_internal<bool>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::int8_t* ReadMetadataView::get_internal<std::int8_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::uint8_t* ReadMetadataView::get_internal<std::uint8_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::int16_t* ReadMetadataView::get_internal<std::int16_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::uint16_t* ReadMetadataView::get_internal<std::uint16_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::int32_t* ReadMetadataView::get_internal<std::int32_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::uint32_t* ReadMetadataView::get_internal<std::uint32_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::int64_t* ReadMetadataView::get_internal<std::int64_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::uint64_t* ReadMetadataView::get_internal<std::uint64_t>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const float* ReadMetadataView::get_internal<float>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const double* ReadMetadataView::get_internal<double>(unsigned int, std::string_view) const;
extern template CORVANE_EXPORT const std::string* ReadMetadataView::get_internal<std::string>(unsigned int, std::string_view) const;

}  // namespace interfaces
