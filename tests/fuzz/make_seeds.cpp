// Writes well-formed read messages of every kind into a folder, as the
// starting corpus of message_fuzz, and real requests of a connected client
// (connection id "1") into a second folder, for request_fuzz: random bytes
// alone rarely get past the verifier into the decoder or the data plane.

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "ipc_tools/fbbuilder_read_helper.h"
#include "reference_server/data_plane/called_result.h"
#include "reference_server/model/signal_model.h"

namespace {

namespace dw = vesk::data_wrappers::v2;

void write(const std::string& folder, const std::string& name, ipc_tools::Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out.write(static_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
}

common::ReadHolder make_read(std::uint64_t tag, std::size_t samples) {
    common::ReadHolder read;
    read.read_tag = tag;
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::vector<std::int16_t>(samples, 3)));
    read.metadata->read_id = "read";
    read.metadata->duration = samples;
    read.metadata->channel = 1;
    read.metadata->mux = 2;
    read.metadata->run_id = "run";
    read.metadata->sequencing_kit = "kit";
    return read;
}

reference_server::CalledResult make_result(std::uint32_t tag) {
    reference_server::CalledResult result;
    result.read_tag = tag;
    result.strand_id = "strand";
    result.duration = 100;
    result.start_time = 20;
    result.split_point = 3;
    result.duplex_strands = {{"a", "b"}};
    result.sequence = "ACGTACGTAC";
    result.qstring = "!!!!!!!!!!";
    result.moves = std::vector<std::uint8_t>{1, 0, 1};
    result.umi_tag_sequence = "U";
    result.scaling = reference_server::ScalingResult{1.0f, 2.0f, std::string("v")};
    result.base_mod = reference_server::BaseModResult{"A C", "x y", "CG"};
    result.base_mod_probs = std::vector<std::uint8_t>(20, 9);
    result.base_mod_context_mask = std::vector<bool>(10, true);
    result.barcode = reference_server::BarcodeResult{"arr", "kit", "var", 1.0f, reference_server::BarcodeEnd{}, std::nullopt};
    result.barcode_trim = reference_server::BarcodeTrimResult{1, 2};
    reference_server::AlignmentHit hit;
    hit.genome = "chr1";
    hit.sam_record = "sam";
    hit.bed_hits = 1;
    hit.bed_lines = "bed";
    result.alignments = {hit, hit};
    result.poly_tail = reference_server::PolyTailResult{};
    return result;
}

}  // namespace

common::ReadHolder simulated_read(std::uint64_t tag, const std::vector<std::string>& pieces) {
    common::ReadHolder read = make_read(tag, 0);
    std::vector<std::int16_t> samples = reference_server::simulate_signal(pieces, {}, tag);
    read.metadata->read_id = "read-" + std::to_string(tag);
    read.metadata->duration = samples.size();
    read.datasets.erase(dw::raw_data);
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::move(samples)));
    return read;
}

void write_requests(const std::string& folder) {
    const common::ReadHolder whole = simulated_read(1, {"ACGTTGCAACGTAGGCTTAACG"});
    const common::ReadHolder split = simulated_read(2, {"ACGTACGTAA", "GGCCTTAACC"});
    std::vector<ipc_tools::Message> blocks = ipc_tools::make_raw_block_messages(whole, "1", 40);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        write(folder, "raw_block_" + std::to_string(i), std::move(blocks[i]));
    }
    const common::ReadHolder* batch[] = {&whole, &split};
    write(folder, "read_batch", ipc_tools::make_read_batch_message(batch, "1"));
    using ipc_tools::MessageType;
    write(folder, "get_first", ipc_tools::Message(MessageType::GET_FIRST_CALLED_BLOCK, "1", 1, ""));
    write(folder, "get_next", ipc_tools::Message(MessageType::GET_NEXT_CALLED_BLOCK, "1", 1, "read-1"));
    write(folder, "connect", ipc_tools::Message(MessageType::CONNECT, "", 1, "ref_dna_fast:>client_name=x"));
    write(folder, "disconnect", ipc_tools::Message(MessageType::DISCONNECT, "1", 0, ""));
    write(folder, "no_more_data", ipc_tools::Message(MessageType::NO_MORE_DATA, "1", 0, ""));
    write(folder, "load_index",
          ipc_tools::Message(MessageType::LOAD_INDEX, "", 0, "/reference/sample.mmi:>minimap_opt_string=-k 15"));
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_seeds MESSAGE_FOLDER [REQUEST_FOLDER]\n");
        return 2;
    }
    if (argc == 3) {
        write_requests(argv[2]);
    }
    const std::string folder = argv[1];
    const common::ReadHolder read = make_read(1, 50);
    std::vector<ipc_tools::Message> blocks = ipc_tools::make_raw_block_messages(read, "c", 20);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        write(folder, "raw_block_" + std::to_string(i), std::move(blocks[i]));
    }
    const common::ReadHolder* batch[] = {&read, &read};
    write(folder, "read_batch", ipc_tools::make_read_batch_message(batch, "c"));
    std::vector<ipc_tools::Message> called = reference_server::make_called_block_replies(make_result(1), "c", 4);
    for (std::size_t i = 0; i < called.size(); ++i) {
        write(folder, "called_block_" + std::to_string(i), std::move(called[i]));
    }
    write(folder, "completed_batch",
          reference_server::make_completed_batch_reply({make_result(1), make_result(2)}, "c", 100).batch);
    return 0;
}
