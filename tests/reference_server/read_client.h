#pragma once

// A client of the reference server's read data plane for tests, built on the
// library's own payload code: reads go out through make_raw_block_messages
// and make_read_batch_message, results come back through
// decode_called_block, continuations through GET_NEXT_CALLED_BLOCK.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/read_model/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/wire_format.h"
#include "reference_server/raw_client.h"
#include "reference_server/model/signal_model.h"

namespace test_support {

namespace dw = vesk::data_wrappers::v2;

// A read whose signal the stand-in basecaller calls back into `pieces`
// (more than one: split by open-pore gaps).
inline common::ReadHolder simulated_read(std::uint64_t read_tag,
                                         const std::vector<std::string>& pieces,
                                         const reference_server::SignalOptions& signal = {}) {
    common::ReadHolder read;
    read.read_tag = read_tag;
    const std::string read_id = "read-" + std::to_string(read_tag);
    std::vector<std::int16_t> samples =
        reference_server::simulate_signal(pieces, signal, reference_server::seed_of(read_id));
    read.metadata->read_id = read_id;
    read.metadata->duration = samples.size();
    read.metadata->start_time = 1000 * read_tag;
    read.metadata->sampling_rate = 4000.0f;
    read.datasets.emplace(dw::raw_data, dw::DataSetData(std::move(samples)));
    return read;
}

inline std::string test_sequence(std::uint64_t seed, std::size_t length) {
    return reference_server::random_bases(seed, length);
}

// One result as the client decoded it.
struct Returned {
    std::uint64_t read_tag = 0;
    std::uint64_t sub_tag = 0;
    std::string sequence;
    bool has_moves = false;
    std::uint32_t continuations = 0;  // GET_NEXT_CALLED_BLOCK exchanges it took
    ipc_tools::DecodeResult decoded;
    common::ReadHolder read;  // the decoded result
};

class ReadClient {
public:
    explicit ReadClient(const std::string& endpoint) : m_raw(endpoint) {}

    RawClient& raw() { return m_raw; }
    const std::string& uid() const { return m_uid; }

    // LOAD_CONFIG and CONNECT; the items follow the client name.
    void connect(const std::string& config = "ref_dna_fast", const std::string& items = {}) {
        ASSERT_EQ(m_raw.exchange(ipc_tools::MessageType::LOAD_CONFIG, "", 0, config).get_type(),
                  ipc_tools::MessageType::SUCCESS);
        const auto reply = m_raw.exchange(ipc_tools::MessageType::CONNECT, "", 1,
                                          config + ":>timeout_interval=30>client_name=reads" + items);
        ASSERT_EQ(reply.get_type(), ipc_tools::MessageType::CONNECTED) << reply_text(reply);
        const auto text = reply_text(reply);
        const auto start = text.find(">client_uid=") + std::string(">client_uid=").size();
        m_uid = text.substr(start, text.find('>', start) - start);
    }

    // The reply kind of each block of the read, in order.
    std::vector<ipc_tools::MessageType> push_raw(const common::ReadHolder& read, std::uint64_t block_size) {
        std::vector<ipc_tools::MessageType> replies;
        for (ipc_tools::Message& block : ipc_tools::make_raw_block_messages(read, m_uid, block_size)) {
            replies.push_back(m_raw.exchange(std::move(block)).get_type());
        }
        return replies;
    }

    ipc_tools::MessageType push_batch(const std::vector<const common::ReadHolder*>& reads) {
        return m_raw.exchange(ipc_tools::make_read_batch_message(reads, m_uid)).get_type();
    }

    // One GET_FIRST_CALLED_BLOCK; the results it brought, decoded. The
    // reply kind goes to `kind`, NONE_PENDING's value to `value`.
    std::vector<Returned> pull_once(std::int32_t moves,
                                    ipc_tools::MessageType* kind = nullptr,
                                    std::int32_t* value = nullptr) {
        ipc_tools::Message reply = m_raw.exchange(ipc_tools::MessageType::GET_FIRST_CALLED_BLOCK, m_uid, moves);
        if (kind) {
            *kind = reply.get_type();
        }
        std::vector<Returned> results;
        const ipc_tools::wire::Envelope& envelope = reply.get_message_data();
        if (const auto* body = envelope.data_as_Reply(); body && value) {
            *value = body->value();
        }
        if (reply.get_type() == ipc_tools::MessageType::RETURN_FIRST_CALLED_BLOCK) {
            results.push_back(decode(*envelope.data_as_ReadBlock()));
        } else if (reply.get_type() == ipc_tools::MessageType::RETURN_COMPLETED_BATCH) {
            for (const auto* block : *envelope.data_as_ReadBatch()->blocks()) {
                results.push_back(decode(*block));
            }
        }
        return results;
    }

    // Pulls until `count` results came back or the deadline passed.
    std::vector<Returned> pull(std::size_t count, std::int32_t moves = 1) {
        std::vector<Returned> all;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
            for (Returned& result : pull_once(moves)) {
                all.push_back(std::move(result));
            }
        }
        return all;
    }

    Returned decode(const ipc_tools::wire::ReadBlock& first) {
        Returned returned;
        returned.read_tag = first.read_tag();
        returned.sub_tag = first.sub_tag();
        const std::string strand_id = first.strand_id() ? first.strand_id()->str() : std::string();
        common::ReadHolder target;
        target.metadata->start_time = 1;
        std::vector<ipc_tools::Message> continuations;
        returned.decoded = ipc_tools::decode_called_block(target, first, [&]() -> const ipc_tools::wire::ReadBlock* {
            ++returned.continuations;
            continuations.push_back(m_raw.exchange(ipc_tools::MessageType::GET_NEXT_CALLED_BLOCK, m_uid,
                                                   static_cast<std::int32_t>(first.read_tag()), strand_id));
            if (continuations.back().get_type() != ipc_tools::MessageType::RETURN_NEXT_CALLED_BLOCK) {
                return nullptr;
            }
            return continuations.back().get_message_data().data_as_ReadBlock();
        });
        if (target.datasets.count(dw::sequence) != 0) {
            returned.sequence = target.datasets.at(dw::sequence).string_value();
        }
        returned.has_moves = target.datasets.count(dw::movement) != 0;
        returned.read = std::move(target);
        return returned;
    }

private:
    RawClient m_raw;
    std::string m_uid;
};

}  // namespace test_support
