#include "apps/client/version.h"

#include "corvane_source_revision.h"
#include "corvane_version.h"

namespace apps {

namespace {

VersionTag make_version(std::int32_t major, std::int32_t minor, std::int32_t patch) {
    return VersionTag{major, minor, patch,
                      std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch)};
}

}  // namespace

VersionTag api_version() { return make_version(api_major_version, 0, 0); }

VersionTag data_wrappers_version() { return make_version(data_wrappers_major_version, 0, 0); }

VersionTag protocol_version() { return make_version(26, 0, 0); }

VersionTag software_version() {
    auto version = make_version(CORVANE_VERSION_MAJOR, CORVANE_VERSION_MINOR, CORVANE_VERSION_PATCH);
    version.text += "+" CORVANE_SOURCE_REVISION;
    return version;
}

bool library_is_compatible(std::int32_t api_major, std::int32_t data_wrappers_major) {
    return api_major == api_major_version && data_wrappers_major == data_wrappers_major_version;
}

}  // namespace apps
