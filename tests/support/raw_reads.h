#pragma once

// Reads as an application passes them in: raw signal plus the metadata the
// read check asks for.

#include <cstdint>
#include <string>
#include <vector>

#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/dataset.h"
#include "interfaces/read_metadata.h"

namespace test_support {

// A read of `samples` samples (0, 1, 2, ... wrapping) under read_tag, named
// "read-" + tag.
inline common::ReadHolder raw_read(std::uint64_t read_tag, std::uint64_t samples) {
    common::ReadHolder read;
    read.read_tag = read_tag;
    std::vector<std::int16_t> signal(static_cast<std::size_t>(samples));
    for (std::size_t i = 0; i < signal.size(); ++i) {
        signal[i] = static_cast<std::int16_t>(i % 30000);
    }
    read.datasets.emplace(vesk::data_wrappers::v2::raw_data, vesk::data_wrappers::v2::DataSetData(std::move(signal)));
    interfaces::ReadMetadata& metadata = *read.metadata;
    metadata.read_id = "read-" + std::to_string(read_tag);
    metadata.duration = samples;
    metadata.daq_offset = 4.5f;
    metadata.daq_scaling = 0.25f;
    metadata.sampling_rate = 4000.0f;
    metadata.start_time = 1000;
    return read;
}

}  // namespace test_support
