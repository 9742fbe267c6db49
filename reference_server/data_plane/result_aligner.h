#pragma once

// How the data plane has the results of a client's reads aligned, when the
// client connected with an alignment index: the alignment room implements
// it (alignment/read_aligner.h). Called on the caller threads, so an
// implementation must be safe to call from several threads at once.

#include <vector>

#include "reference_server/data_plane/called_result.h"

namespace reference_server {

class ResultAligner {
public:
    virtual ~ResultAligner() = default;

    // Adds the alignments of every result that has bases.
    virtual void align(std::vector<CalledResult>& results) const = 0;
};

}  // namespace reference_server
