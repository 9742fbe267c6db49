#include <apps/client/corvane.h>
#include <data_wrappers/dataset.h>
#include <data_wrappers/metadata.h>
#include <interfaces/read_metadata_mutable_view.h>
#include <interfaces/read_metadata_view.h>

#include <iostream>
#include <string>

int main() {
    std::cout << "protocol " << apps::protocol_version().text << "\n";
    std::cout << "result 14 " << apps::Result::invalid_aligner_options << "\n";
    // The key hash is computed on this side of the library boundary.
    constexpr interfaces::MetadataKey key("read_data::read_id");
    std::cout << "key hash " << key.hash() << "\n";
    // Parameters and data sets are built on this side too.
    vesk::data_wrappers::v3::Metadata params;
    params.set<double>("query_timeout_ratio", 2.5);
    vesk::data_wrappers::v2::DatasetMap datasets;
    datasets.emplace(vesk::data_wrappers::v2::sequence, vesk::data_wrappers::v2::DataSetData(std::string("ACGT")));
    std::cout << "param " << params.value_as_string("query_timeout_ratio") << " "
              << datasets.at(vesk::data_wrappers::v2::sequence).element_size() << "\n";
    // A read handle built and turned into SAM text through exported calls.
    apps::Read read;
    read.get_metadata().set<std::string>("read_data::strand_id", "r1");
    read.get_datasets().emplace(vesk::data_wrappers::v2::sequence, vesk::data_wrappers::v2::DataSetData(std::string("AC")));
    read.get_datasets().emplace(vesk::data_wrappers::v2::qstring, vesk::data_wrappers::v2::DataSetData(std::string("$$")));
    std::cout << "sam " << read.extract_sam_and_bed_lines(5.0f).at(0).sam_line.substr(0, 21) << "\n";
    return apps::library_is_compatible() ? 0 : 1;
}
