#include "common/read_model/align_results_table.h"

namespace common {

vesk::data_wrappers::v2::DataTable make_align_results_table(std::uint64_t num_rows) {
    vesk::data_wrappers::v2::DataTable table;
    for (const AlignResultsField& field : align_results_fields) {
        table.add_field(field.name, field.type, field.size);
    }
    table.allocate(num_rows);
    return table;
}

}  // namespace common
