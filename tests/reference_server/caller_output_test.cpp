// The caller's results as a client receives them: through the reply blocks
// and the client's decoding into a read record, then into the SAM record
// and FASTQ header an application writes.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include "common/read_model/read_alignment.h"
#include "common/read_model/read_holder.h"
#include "data_wrappers/data_set_data.h"
#include "data_wrappers/dataset.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/wire_format.h"
#include "reference_server/model/basecaller.h"
#include "reference_server/model/signal_model.h"

namespace {

namespace dw = vesk::data_wrappers::v2;
using ipc_tools::Message;

Message receive(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return Message(zmq::message_t(frame.data(), frame.size()));
}

// The result decoded into a copy of the submitted read, over blocks of
// max_bases bases.
common::ReadHolder decoded(const reference_server::CalledResult& result, std::uint32_t max_bases) {
    common::ReadHolder read;
    read.metadata->read_id = "sam-read";
    read.metadata->strand_id = "sam-read";
    read.metadata->start_time = 1000;
    std::vector<Message> replies;
    for (Message& reply : reference_server::make_called_block_replies(result, "client", max_bases)) {
        replies.push_back(receive(std::move(reply)));
    }
    std::size_t next = 1;
    const auto block_of = [](const Message& message) { return message.get_message_data().data_as_ReadBlock(); };
    const ipc_tools::DecodeResult outcome =
        ipc_tools::decode_called_block(read, *block_of(replies[0]), [&]() -> const ipc_tools::wire::ReadBlock* {
            return next < replies.size() ? block_of(replies[next++]) : nullptr;
        });
    EXPECT_TRUE(outcome.ok()) << outcome.detail;
    return read;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab = line.find('\t'); ; tab = line.find('\t', start)) {
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

std::string field_starting(const std::vector<std::string>& fields, const std::string& prefix) {
    for (const std::string& field : fields) {
        if (field.rfind(prefix, 0) == 0) {
            return field;
        }
    }
    return {};
}

TEST(CallerOutputTest, ResultsBecomeTheRecordsAnApplicationWrites) {
    const std::string body = "TTACGCGATCCGGACGTTACG";
    const std::string sequence = reference_server::barcode_sequence(3) + body + std::string(14, 'A');
    reference_server::ReceivedRead read;
    read.read_tag = 9;
    read.read_id = "sam-read";
    read.strand_id = "sam-read";
    read.samples = reference_server::simulate_signal(sequence, {.lead_in = 25, .max_dwell = 2},
                                                     reference_server::seed_of("sam-read"));
    read.duration = static_cast<std::uint32_t>(read.samples.size());
    read.start_time = 1000;
    read.split_point = -1;
    reference_server::CallerOptions options;
    options.moves = true;
    options.modified_bases = true;
    options.barcode_kits = {"KIT-12"};
    options.estimate_poly_a = true;
    const reference_server::CalledResult result = reference_server::call_read(read, options).at(0);

    for (const std::uint32_t max_bases : {1000u, 7u}) {
        SCOPED_TRACE(max_bases);
        const common::ReadHolder client_read = decoded(result, max_bases);
        const std::vector<interfaces::AlignmentSamLine> lines = common::sam_and_bed_lines(client_read, 5.0f);
        ASSERT_EQ(lines.size(), 1u);
        const std::vector<std::string> fields = fields_of(lines[0].sam_line);
        ASSERT_GT(fields.size(), 11u);
        EXPECT_EQ(fields[0], "sam-read");
        EXPECT_EQ(fields[9], sequence);
        EXPECT_EQ(fields[10], result.qstring);

        // One MM entry and one ML probability per C of a CG.
        std::size_t sites = 0;
        for (std::size_t i = 0; i + 1 < sequence.size(); ++i) {
            sites += sequence[i] == 'C' && sequence[i + 1] == 'G' ? 1 : 0;
        }
        const std::string mm = field_starting(fields, "MM:Z:C+m?");
        ASSERT_FALSE(mm.empty()) << lines[0].sam_line;
        EXPECT_EQ(static_cast<std::size_t>(std::count(mm.begin(), mm.end(), ',')), sites);
        const std::string ml = field_starting(fields, "ML:B:C");
        EXPECT_EQ(static_cast<std::size_t>(std::count(ml.begin(), ml.end(), ',')), sites);
        EXPECT_EQ(field_starting(fields, "MN:i:"), "MN:i:" + std::to_string(sequence.size()));

        // The move table: stride, then one entry per window.
        const std::string mv = field_starting(fields, "mv:B:c,5,");
        EXPECT_EQ(static_cast<std::size_t>(std::count(mv.begin(), mv.end(), ',')), 1 + result.moves->size());
        EXPECT_EQ(field_starting(fields, "ts:i:"), "ts:i:25");
        EXPECT_EQ(field_starting(fields, "pt:i:"), "pt:i:14");
        EXPECT_EQ(field_starting(fields, "TS:A:"), "TS:A:+");

        const std::string header = common::fastq_header_line(client_read, false);
        EXPECT_NE(header.find("\tRG:Z:"), std::string::npos);
        EXPECT_NE(header.find("_barcode03\t"), std::string::npos) << header;
        EXPECT_NE(header.find("\tSM:Z:barcode03"), std::string::npos) << header;
    }
}

}  // namespace
