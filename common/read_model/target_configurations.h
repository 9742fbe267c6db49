#pragma once

// Per-read registry of target configurations, keyed by configuration type.
// Reads share one registry through a shared pointer; the library only
// looks configurations up (the alignment configuration, for SAM tags).

#include <map>
#include <memory>
#include <typeindex>

namespace common {

class TargetConfigurations {
public:
    template <class Config>
    void set(std::shared_ptr<const Config> config) {
        m_configs[std::type_index(typeid(Config))] = std::move(config);
    }

    // The configuration of type Config, or null when none is registered.
    template <class Config>
    std::shared_ptr<const Config> get() const {
        auto found = m_configs.find(std::type_index(typeid(Config)));
        if (found == m_configs.end()) {
            return nullptr;
        }
        return std::static_pointer_cast<const Config>(found->second);
    }

private:
    std::map<std::type_index, std::shared_ptr<const void>> m_configs;
};

}  // namespace common
