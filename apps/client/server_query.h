#pragma once

/// @file
/// Questions to a basecall server that need no client: its barcode kits, its
/// read counters, its information record and its internal state. Each call
/// opens a connection of its own, asks once and closes it again, entirely on
/// the calling thread; calls may run concurrently.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <apps/client/corvane_export.h>
#include <apps/client/result_codes.h>

namespace apps::server_query {

struct KitDefinitionImpl;

/// An immutable description of one barcode kit. Copies share one
/// reference-counted implementation, so handles may be copied across threads.
class CORVANE_EXPORT BarcodeKitDefinition {
public:
    /// @param normalised_pattern printf-style barcode name with exactly one
    ///        conversion of the form '%' + optional digits + 'i', e.g. barcode%02i.
    BarcodeKitDefinition(std::string kit_name,
                         std::int32_t first_index,
                         std::int32_t last_index,
                         bool is_both_ends,
                         bool has_barcode12a,
                         std::string normalised_pattern);
    BarcodeKitDefinition(const BarcodeKitDefinition& other);
    BarcodeKitDefinition(BarcodeKitDefinition&& other) noexcept;
    BarcodeKitDefinition& operator=(const BarcodeKitDefinition& other);
    BarcodeKitDefinition& operator=(BarcodeKitDefinition&& other) noexcept;
    ~BarcodeKitDefinition();

    std::string kit_name() const;
    int first_index() const;
    int last_index() const;
    /// Whether the kit's barcodes are expected at both ends of a read.
    bool is_both_ends() const;
    /// Whether barcode 12 of this kit is named with a trailing "a".
    bool has_barcode12a() const;
    std::string normalised_pattern() const;

    /// The name of barcode `index`: the pattern formatted with the index (plus
    /// "a" for barcode 12 when has_barcode12a() holds), or the pattern itself
    /// when the kit has no range (first index negative or last below first).
    /// The second argument does not influence the result.
    /// @throws std::out_of_range for an index outside [first_index, last_index].
    /// @throws std::runtime_error "Invalid normalised pattern: " + pattern.
    std::string generate_barcode_name(int index, int unused = 0) const;

private:
    // Null only in a moved-from handle.
    std::shared_ptr<const KitDefinitionImpl> m_impl;
};

/// Read counters of one client the server serves.
struct ClientStatistics {
    std::uint32_t input_read_count = 0;
    std::uint32_t output_read_count = 0;
};

/// The server's read counters.
struct ServerStatistics {
    std::uint64_t lifetime_reads_in = 0;
    std::uint64_t lifetime_reads_out = 0;
    std::uint64_t period_reads_in = 0;
    std::uint64_t period_reads_out = 0;
    /// One entry per client, in the server's order.
    std::vector<ClientStatistics> client_statistics;
};

// Each query takes the server's address (a port on the local host,
// host:port, or a tcp://, ipc:// or inproc:// endpoint) and a timeout in
// milliseconds for each wait for a reply.

/// Appends the server's barcode kits to `kits`, in the server's order.
/// On any result but success, `kits` is left as it was.
CORVANE_EXPORT Result get_barcode_kits(std::vector<BarcodeKitDefinition>& kits,
                                       std::string address,
                                       unsigned int timeout);

/// Sets the four counters of `stats` and appends one entry per client to
/// `stats.client_statistics`. On any result but success, `stats` is unchanged.
CORVANE_EXPORT Result get_server_statistics(ServerStatistics& stats, std::string address, unsigned int timeout);

/// Sets `info` to the server's information record as compact JSON.
/// On any result but success, `info` is unchanged.
CORVANE_EXPORT Result get_server_information(std::string& info, std::string address, unsigned int timeout);

/// Sets `state` to the server's full internal-state JSON text.
/// On any result but success, `state` is unchanged.
CORVANE_EXPORT Result get_server_internal_state(std::string& state, std::string address, unsigned int timeout);

}  // namespace apps::server_query
