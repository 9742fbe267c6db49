#include <apps/client/corvane.h>
#include <interfaces/read_metadata_mutable_view.h>
#include <interfaces/read_metadata_view.h>

#include <iostream>

int main() {
    std::cout << "protocol " << apps::protocol_version().text << "\n";
    std::cout << "result 14 " << apps::Result::invalid_aligner_options << "\n";
    // The key hash is computed on this side of the library boundary.
    constexpr interfaces::MetadataKey key("read_data::read_id");
    std::cout << "key hash " << key.hash() << "\n";
    return apps::library_is_compatible() ? 0 : 1;
}
