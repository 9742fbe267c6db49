#pragma once

// Simulated reads as JSON lines, one object per read on one line:
//
//   {"read_id": "…", "sequence": "ACGT…", "pieces": ["ACGT…"], "duplex": false,
//    "source": "chr1:100-1100:+", "stride": 5, "lead_in": 37, "gap": 50,
//    "sampling_rate": 5000.0, "daq_offset": 0.0, "daq_scaling": 0.1,
//    "start_time": 123, "channel": 7, "mux": 2, "run_id": "simulated_run",
//    "samples": [1403, 1389, …]}
//
// "sequence" is the true sequence (the pieces joined); "source" is empty for
// a random read; "samples" are the raw int16 samples.
//
// Pure functions; any thread.

#include <string>

#include "reference_server/model/read_simulator.h"

namespace reference_server {

// The read as one line of JSON, without the line break.
std::string to_json_line(const SimulatedRead& read);

// A read back from its line. Throws std::runtime_error naming the member
// that is missing or of the wrong type.
SimulatedRead parse_json_line(const std::string& line);

}  // namespace reference_server
