#pragma once

// The metadata keys as data, in published order, for code that walks every
// key (conversions to other forms, listings). Built from the same list the
// views dispatch on.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "data_wrappers/metadata.h"
#include "interfaces/metadata_key.h"

namespace interfaces {

enum class MetadataPresence : std::uint8_t {
    always,  // always has a value
    flag,    // absent until set
    text,    // absent while empty
    group,   // present with its group or pair
};

struct ReadMetadataKeyInfo {
    std::string_view key;
    vesk::data_wrappers::v3::MetadataType type;
    MetadataPresence presence;
    std::string_view name;  // the key's name in listings (the Python read dicts)
    std::uint32_t hash;     // metadata_key_hash(key), as the views take it
    std::string_view group;  // the record member holding the field ("record" for plain fields)
};

inline constexpr std::array read_metadata_keys = {
#define QOR_READ_METADATA_KEY(KEY, TYPE, PRESENCE, GROUP, FIELD, NAME)                                   \
    ReadMetadataKeyInfo{KEY, vesk::data_wrappers::v3::metadata_type_of<TYPE>, MetadataPresence::PRESENCE, NAME, \
                        metadata_key_hash(KEY), #GROUP},
#include "interfaces/read_metadata_keys.def"
#undef QOR_READ_METADATA_KEY
};

}  // namespace interfaces
