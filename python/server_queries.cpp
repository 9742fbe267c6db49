#include "python/server_queries.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <apps/client/server_query.h>
#include <apps/client/version.h>

namespace tavrix {

namespace {

using apps::Result;

py::tuple version_tuple(const apps::VersionTag& version) {
    return py::make_tuple(version.major, version.minor, version.patch);
}

}  // namespace

py::tuple get_barcode_kits(const std::string& address, unsigned int timeout) {
    std::vector<apps::server_query::BarcodeKitDefinition> kits;
    Result result;
    {
        py::gil_scoped_release unlocked;
        result = apps::server_query::get_barcode_kits(kits, address, timeout);
    }
    if (result != Result::success) {
        return py::make_tuple(py::none(), result);
    }
    py::list listed;
    for (const auto& kit : kits) {
        py::dict entry;
        entry["kit_name"] = kit.kit_name();
        entry["first_index"] = kit.first_index();
        entry["last_index"] = kit.last_index();
        entry["is_both_ends"] = kit.is_both_ends();
        // The names results carry as their barcode arrangement; a kit
        // without a range of barcodes has its pattern as its one name.
        // A pattern the library cannot format is listed as it is.
        py::list names;
        if (kit.first_index() >= 0 && kit.last_index() >= kit.first_index()) {
            for (int index = kit.first_index(); index <= kit.last_index(); ++index) {
                try {
                    names.append(kit.generate_barcode_name(index));
                } catch (const std::runtime_error&) {
                    names = py::list();
                    names.append(kit.normalised_pattern());
                    break;
                }
            }
        } else {
            names.append(kit.normalised_pattern());
        }
        entry["barcode_names"] = names;
        listed.append(entry);
    }
    return py::make_tuple(listed, result);
}

py::tuple get_server_stats(const std::string& address, unsigned int timeout) {
    apps::server_query::ServerStatistics stats;
    Result result;
    {
        py::gil_scoped_release unlocked;
        result = apps::server_query::get_server_statistics(stats, address, timeout);
    }
    if (result != Result::success) {
        return py::make_tuple(py::none(), result);
    }
    py::dict listed;
    listed["lifetime_reads_in"] = stats.lifetime_reads_in;
    listed["lifetime_reads_out"] = stats.lifetime_reads_out;
    listed["period_reads_in"] = stats.period_reads_in;
    listed["period_reads_out"] = stats.period_reads_out;
    py::list clients;
    for (const auto& client : stats.client_statistics) {
        py::dict entry;
        entry["input_read_count"] = client.input_read_count;
        entry["output_read_count"] = client.output_read_count;
        clients.append(entry);
    }
    listed["client_statistics"] = clients;
    return py::make_tuple(listed, result);
}

py::tuple get_server_information(const std::string& address, unsigned int timeout) {
    std::string information = "No information available";
    Result result;
    {
        py::gil_scoped_release unlocked;
        result = apps::server_query::get_server_information(information, address, timeout);
    }
    return py::make_tuple(information, result);
}

py::tuple get_server_internal_state(const std::string& address, unsigned int timeout) {
    std::string state;
    Result result;
    {
        py::gil_scoped_release unlocked;
        result = apps::server_query::get_server_internal_state(state, address, timeout);
    }
    if (result != Result::success) {
        return py::make_tuple(py::none(), result);
    }
    return py::make_tuple(state, result);
}

py::tuple get_software_version() {
    return version_tuple(apps::software_version());
}

py::tuple get_protocol_version() {
    return version_tuple(apps::protocol_version());
}

}  // namespace tavrix
