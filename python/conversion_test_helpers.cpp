#include "python/conversion_test_helpers.h"

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include <pybind11/numpy.h>

#include <apps/client/read.h>
#include <data_wrappers/metadata.h>

#include "python/config_conversion.h"
#include "python/param_conversion.h"
#include "python/read_conversion.h"

namespace tavrix {

namespace {

namespace dw = vesk::data_wrappers::v2;

constexpr unsigned long long test_read_tag = 4294967286ULL;

std::vector<std::int16_t> counting_samples(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    std::iota(samples.begin(), samples.end(), std::int16_t{0});
    return samples;
}

void add_test_datasets(apps::Read::DatasetMap& datasets) {
    datasets.emplace(dw::raw_data, dw::DataSetData(counting_samples(1000)));
    datasets.emplace(dw::sequence, dw::DataSetData(std::string("ACGTCGTGTT")));
}

}  // namespace

py::dict test_metadata_to_dict() {
    apps::Read read;
    const auto metadata = read.get_metadata();
    metadata.set<std::string>("read_data::read_id", "Test read-id");
    metadata.set<std::int32_t>("read_data::channel", 4);
    metadata.set<float>("read_data::daq_scaling", 2.7f);
    metadata.set<std::uint64_t>("read_data::duration", 12000450138ULL);
    return metadata_to_py_dict(read);
}

py::dict test_datasets_to_dict() {
    apps::Read::DatasetMap datasets;
    add_test_datasets(datasets);
    return datasets_to_dict(datasets);
}

py::dict test_dict_to_readholder() {
    py::dict read_dict;
    read_dict["read_tag"] = test_read_tag;
    read_dict["read_id"] = "test_read";
    read_dict["daq_offset"] = 1.5;
    read_dict["daq_scaling"] = 2.5;
    read_dict["sampling_rate"] = 5.5;
    read_dict["start_time"] = 6;
    const auto samples = counting_samples(100);
    read_dict["raw_data"] = py::array_t<std::int16_t>(static_cast<py::ssize_t>(samples.size()), samples.data());
    apps::Read read;
    if (!dict_to_read(read_dict, read)) {
        return py::dict();
    }
    return read_to_dict(read);
}

py::dict test_readholder_to_dict() {
    apps::Read read;
    read.set_read_tag(test_read_tag);
    read.set_priority(apps::Read::Priority::MEDIUM_PRIORITY);
    const auto metadata = read.get_metadata();
    metadata.set<std::string>("read_data::read_id", "Test read-id");
    metadata.set<std::int32_t>("read_data::channel", 4);
    metadata.set<float>("read_data::daq_offset", 1.8f);
    metadata.set<float>("read_data::daq_scaling", 2.7f);
    metadata.set<std::uint64_t>("read_data::duration", 12000450138ULL);
    add_test_datasets(read.get_datasets());
    return read_to_dict(read);
}

py::tuple test_str_list_concat(const py::list& items) {
    std::string text;
    const bool converted = str_list_to_std_string(items, text);
    return py::make_tuple(converted, text);
}

py::dict test_config_details_to_dict() {
    vesk::data_wrappers::v3::Metadata details;
    details.set<std::string>("config_name", "test_config_filename.cfg");
    details.set<std::string>("model_version_id", "test_model_version_id");
    details.set<std::uint64_t>("model_stride", 1);
    details.set<bool>("duplex", false);
    return config_details_to_dict(details);
}

}  // namespace tavrix
