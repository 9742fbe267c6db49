#pragma once

/// @file
/// The exported read handle.

#include <cstdint>
#include <string>

#include <apps/client/corvane_export.h>

namespace apps {

/// A read handed to or returned by a client.
class CORVANE_EXPORT Read {
public:
    /// Scheduling priority of reads. A new client's default is MEDIUM_PRIORITY.
    enum class Priority : std::int32_t {
        HIGH_PRIORITY = 0,
        MEDIUM_PRIORITY = 1,
        LOW_PRIORITY = 2,
    };
};

/// Text of a priority; "invalid_priority_value" for values outside 0..2 (never throws).
CORVANE_EXPORT std::string to_string(Read::Priority value);

}  // namespace apps
