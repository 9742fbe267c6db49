#include "apps/client/server_query.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/runtime/diagnostics/tracing.h"
#include "corvane/server_proxy.h"
#include "ipc_tools/bounded_json.h"
#include "ipc_tools/request_broker.h"

namespace apps::server_query {

// Trace domain of the exported queries.
class Trace : public common::diagnostics::tracing::TraceDomain<Trace> {};

namespace {

using common::diagnostics::tracing::TraceScope;

// Runs one query, mapping what it throws to a result. The query writes its
// output only after everything else has succeeded, so a failure leaves the
// caller's output untouched.
template <class Query>
Result run_query(const char* name, const std::string& address, unsigned int timeout, Query query) {
    TraceScope scope(Trace::trace_context(), name);
    scope.trace("address: " + address);
    scope.trace("timeout: " + std::to_string(timeout));
    try {
        query();
        return Result::success;
    } catch (const ipc_tools::TimeoutError& error) {
        scope.trace(error.what());
        return Result::timed_out;
    } catch (const ipc_tools::BadRequest& error) {
        scope.trace(error.what());
        return Result::bad_request;
    } catch (const ipc_tools::BadReply& error) {
        scope.trace(error.what());
        return Result::bad_reply;
    } catch (const ipc_tools::InvalidResponse& error) {
        scope.trace(error.what());
        return Result::invalid_response;
    } catch (const std::exception& error) {
        scope.trace(error.what());
        return Result::failed;
    }
}

std::string server_information_of(const std::string& state) {
    rapidjson::Document document;
    const bool parsed = ipc_tools::parse_bounded_json(state, document, ipc_tools::max_state_report_depth).reason.empty();
    if (!parsed || !document.IsObject() || !document.HasMember("ServerInformation")) {
        throw std::runtime_error("ServerInformation field not found in internal state json.");
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document["ServerInformation"].Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

Result get_barcode_kits(std::vector<BarcodeKitDefinition>& kits, std::string address, unsigned int timeout) {
    return run_query("get_barcode_kits", address, timeout, [&] {
        std::vector<BarcodeKitDefinition> fetched;
        for (auto& kit : corvane::server_proxy::get_barcode_kits(address, timeout)) {
            fetched.emplace_back(std::move(kit.kit_name), kit.first_index, kit.last_index, kit.is_both_ends,
                                 kit.has_barcode12a, std::move(kit.normalised_pattern));
        }
        kits.insert(kits.end(), fetched.begin(), fetched.end());
    });
}

Result get_server_statistics(ServerStatistics& stats, std::string address, unsigned int timeout) {
    return run_query("get_server_statistics", address, timeout, [&] {
        auto fetched = corvane::server_proxy::get_server_statistics(address, timeout);
        stats.client_statistics.reserve(stats.client_statistics.size() + fetched.clients.size());
        stats.lifetime_reads_in = fetched.lifetime_reads_in;
        stats.lifetime_reads_out = fetched.lifetime_reads_out;
        stats.period_reads_in = fetched.period_reads_in;
        stats.period_reads_out = fetched.period_reads_out;
        for (const auto& [reads_in, reads_out] : fetched.clients) {
            stats.client_statistics.push_back({reads_in, reads_out});
        }
    });
}

Result get_server_information(std::string& info, std::string address, unsigned int timeout) {
    return run_query("get_server_information", address, timeout, [&] {
        info = server_information_of(corvane::server_proxy::get_server_internal_state(address, timeout));
    });
}

Result get_server_internal_state(std::string& state, std::string address, unsigned int timeout) {
    return run_query("get_server_internal_state", address, timeout,
                     [&] { state = corvane::server_proxy::get_server_internal_state(address, timeout); });
}

}  // namespace apps::server_query
