#pragma once

/// @file
/// Versions of the library, its data wrappers and its wire protocol.

#include <cstdint>
#include <string>

#include <apps/client/corvane_export.h>

namespace apps {

/// A version triple and its text form.
struct VersionTag {
    std::int32_t major = 0;
    std::int32_t minor = 0;
    std::int32_t patch = 0;
    std::string text;  ///< the three numbers joined by ".", unless stated otherwise
};

/// Major version of the client API this header declares.
inline constexpr std::int32_t api_major_version = 11;
/// Major version of the data wrappers this header declares.
inline constexpr std::int32_t data_wrappers_major_version = 3;

/// 11.0.0
CORVANE_EXPORT VersionTag api_version();
/// 3.0.0
CORVANE_EXPORT VersionTag data_wrappers_version();
/// 26.0.0, the version every wire message carries.
CORVANE_EXPORT VersionTag protocol_version();
/// 7.13.6; the text adds "+" and the source revision of the build.
CORVANE_EXPORT VersionTag software_version();
/// Whether the library was built with the API and data-wrapper major versions this header declares.
CORVANE_EXPORT bool library_is_compatible(std::int32_t api_major = api_major_version,
                                          std::int32_t data_wrappers_major = data_wrappers_major_version);

}  // namespace apps
