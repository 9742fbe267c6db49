// Every table the library puts on the wire, read back field by field through
// its vtable against the schema's own reflection data: a field that holds
// its default is left out, and every field of a read's block carries what
// the read holds. The fields come from the schema, not from a list here, so
// a field added to the schema and not to the writer fails this test.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <flatbuffers/reflection.h>
#include <gtest/gtest.h>
#include <zmq.hpp>

#include "common/read_model/read_holder.h"
#include "ipc_tools/fbbuilder_read_helper.h"
#include "ipc_tools/ipc_tools.h"
#include "ipc_tools/message_type.h"
#include "ipc_tools/wire_format.h"
#include "support/raw_reads.h"

namespace {

namespace wire = ipc_tools::wire;
using flatbuffers::Table;
using ipc_tools::Message;
using ipc_tools::MessageType;
using reflection::BaseType;

const reflection::Schema& schema() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::ifstream file(CORVANE_WIRE_SCHEMA_BFBS, std::ios::binary);
        std::vector<std::uint8_t> read((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        flatbuffers::Verifier verifier(read.data(), read.size());
        if (read.empty() || !reflection::VerifySchemaBuffer(verifier)) {
            throw std::runtime_error(std::string("no readable schema at ") + CORVANE_WIRE_SCHEMA_BFBS);
        }
        return read;
    }();
    return *reflection::GetSchema(bytes.data());
}

const reflection::Object& object_named(const std::string& name) {
    return *schema().objects()->LookupByKey(("ipc_tools.wire." + name).c_str());
}

const Table& table_of(const void* table) { return *static_cast<const Table*>(table); }

bool is_default(const reflection::Field& field, double value) {
    const bool real = field.type()->base_type() == BaseType::Float || field.type()->base_type() == BaseType::Double;
    const double fallback = real ? field.default_real() : static_cast<double>(field.default_integer());
    return std::isnan(fallback) ? std::isnan(value) : value == fallback;
}

// Fails for every present scalar, of the table and of every table below
// it, that holds its default. Structs are always written: skipped.
void expect_defaults_left_out(const reflection::Object& object, const Table& table, const std::string& path) {
    for (const reflection::Field* field : *object.fields()) {
        const std::string where = path + "." + field->name()->str();
        const reflection::Type& type = *field->type();
        if (!table.CheckField(field->offset())) {
            continue;
        }
        if (type.base_type() <= BaseType::Double) {
            EXPECT_FALSE(is_default(*field, flatbuffers::GetAnyFieldF(table, *field)))
                << where << " is written though it holds its default";
        } else if (type.base_type() == BaseType::Obj && !schema().objects()->Get(type.index())->is_struct()) {
            expect_defaults_left_out(*schema().objects()->Get(type.index()),
                                     *flatbuffers::GetFieldT(table, *field), where);
        } else if (type.base_type() == BaseType::Vector && type.element() == BaseType::Obj) {
            const auto* entries = flatbuffers::GetFieldV<flatbuffers::Offset<Table>>(table, *field);
            for (flatbuffers::uoffset_t i = 0; i < entries->size(); ++i) {
                expect_defaults_left_out(*schema().objects()->Get(type.index()), *entries->Get(i),
                                         where + "[" + std::to_string(i) + "]");
            }
        } else if (type.base_type() == BaseType::Union) {
            expect_defaults_left_out(flatbuffers::GetUnionType(schema(), object, *field, table),
                                     *flatbuffers::GetFieldT(table, *field), where);
        }
    }
}

// As the server gets it: the bytes in a fresh frame, verified.
Message receive(Message message) {
    zmq::message_t frame;
    message.release_into(frame);
    return Message(zmq::message_t(frame.data(), frame.size()));
}

void expect_envelope_defaults_left_out(Message message) {
    const Message received = receive(std::move(message));
    expect_defaults_left_out(object_named("Envelope"), table_of(&received.get_message_data()), "Envelope");
}

// What the writer puts into one field of a block: a number (left out when
// it is the default), a text (left out when none), nothing (the field only
// comes back from the server), or something compared apart.
struct Back {};
struct Apart {};
using Expected = std::variant<double, std::optional<std::string>, Back, Apart>;

struct Sent {
    const common::ReadHolder& read;
    std::uint32_t block_index;
    std::uint32_t block_count;
    std::uint64_t first_sample;
    const interfaces::ReadMetadata& m() const { return *read.metadata; }
};

std::optional<std::string> text(const std::string& value) { return value; }
std::optional<std::string> unless_empty(const std::string& value) {
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
}
double low_32_bits(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

using Rule = Expected (*)(const Sent&);

// The writer's field lists, by the schema's names: every field of ReadBlock
// and PairingInfo needs a row.
const std::map<std::string, Rule> block_rules = {
    {"type", [](const Sent& s) -> Expected { return s.block_index == 0 ? 0.0 : 1.0; }},
    {"read_tag", [](const Sent& s) -> Expected { return low_32_bits(s.read.read_tag); }},
    {"block_index", [](const Sent& s) -> Expected { return double(s.block_index); }},
    {"block_count", [](const Sent& s) -> Expected { return double(s.block_count); }},
    {"duration", [](const Sent& s) -> Expected { return low_32_bits(s.m().duration); }},
    {"daq_offset", [](const Sent& s) -> Expected { return s.m().daq_offset.value_or(0.0f); }},
    {"daq_scaling", [](const Sent& s) -> Expected { return s.m().daq_scaling.value_or(0.0f); }},
    {"read_id", [](const Sent& s) -> Expected { return text(s.m().read_id); }},
    {"samples", [](const Sent&) -> Expected { return Apart{}; }},
    {"called_read", [](const Sent&) -> Expected { return Back{}; }},
    {"sub_tag", [](const Sent& s) -> Expected { return low_32_bits(s.read.sub_tag); }},
    {"strand_id", [](const Sent& s) -> Expected { return text(s.m().strand_id); }},
    {"start_time", [](const Sent& s) -> Expected { return double(s.m().start_time.value_or(0)); }},
    {"num_keldrow_events", [](const Sent& s) -> Expected { return double(s.m().num_keldrow_events); }},
    {"sampling_rate", [](const Sent& s) -> Expected { return s.m().sampling_rate; }},
    {"pairing", [](const Sent&) -> Expected { return Apart{}; }},
    {"duplex_strand_1", [](const Sent&) -> Expected { return Back{}; }},
    {"duplex_strand_2", [](const Sent&) -> Expected { return Back{}; }},
    {"is_duplex_parent", [](const Sent&) -> Expected { return Back{}; }},
    {"sequencing_kit", [](const Sent& s) -> Expected { return unless_empty(s.m().sequencing_kit); }},
    {"flow_cell_product_code", [](const Sent& s) -> Expected { return unless_empty(s.m().flow_cell_product_code); }},
    {"end_reason", [](const Sent& s) -> Expected { return unless_empty(s.m().end_reason); }},
    {"split_point", [](const Sent&) -> Expected { return -1.0; }},  // a raw block is never split
    {"open_pore_level", [](const Sent& s) -> Expected { return s.m().open_pore_level; }},
};
const std::map<std::string, Rule> pairing_rules = {
    {"channel", [](const Sent& s) -> Expected { return double(*s.m().channel); }},
    {"mux", [](const Sent& s) -> Expected { return double(*s.m().mux); }},
    {"run_id", [](const Sent& s) -> Expected { return text(s.m().run_id); }},
};

void expect_fields(const reflection::Object& object,
                   const Table& table,
                   const std::map<std::string, Rule>& rules,
                   const Sent& sent) {
    for (const reflection::Field* field : *object.fields()) {
        SCOPED_TRACE(object.name()->str() + "." + field->name()->str());
        const auto rule = rules.find(field->name()->str());
        if (rule == rules.end()) {
            ADD_FAILURE() << "a field of the schema that the writer's field list does not name";
            continue;
        }
        const Expected expected = rule->second(sent);
        const bool present = table.CheckField(field->offset());
        if (std::holds_alternative<Back>(expected)) {
            EXPECT_FALSE(present);
        } else if (const auto* value = std::get_if<std::optional<std::string>>(&expected)) {
            ASSERT_EQ(present, value->has_value());
            if (present) {
                EXPECT_EQ(flatbuffers::GetFieldS(table, *field)->str(), **value);
            }
        } else if (const auto* number = std::get_if<double>(&expected)) {
            ASSERT_EQ(present, !is_default(*field, *number));
            if (present) {
                EXPECT_EQ(flatbuffers::GetAnyFieldF(table, *field), *number);
            }
        }
    }
}

void expect_block(const wire::ReadBlock& block, const Sent& sent) {
    const std::uint64_t first_sample = sent.first_sample;
    expect_fields(object_named("ReadBlock"), table_of(&block), block_rules, sent);
    ASSERT_EQ(block.pairing() != nullptr, sent.m().channel && sent.m().mux && !sent.m().run_id.empty());
    if (block.pairing() != nullptr) {
        expect_fields(object_named("PairingInfo"), table_of(block.pairing()), pairing_rules, sent);
    }
    const auto signal = sent.read.datasets.at(vesk::data_wrappers::v2::raw_data).view<std::int16_t>();
    ASSERT_LE(first_sample + block.samples()->size(), signal.size());
    for (flatbuffers::uoffset_t i = 0; i < block.samples()->size(); ++i) {
        ASSERT_EQ(block.samples()->Get(i), signal[first_sample + i]) << "sample " << i;
    }
}

// Reads whose fields hold their defaults in every way the wire cares about:
// every field set, pieces, no start time, zero offsets, rates and levels,
// pairing on channel and mux 0, empty names, a tag of 32 bits; the last has
// the first's fields with other values and texts. Unnamed: as raw_read has
// them, the strand named after its read.
struct Kind {
    std::uint64_t tag;
    std::uint64_t sub_tag = 0;
    std::optional<std::string> read_id = {}, strand_id = {};
    std::optional<std::uint64_t> start_time = 1000;
    std::uint64_t num_keldrow_events = 0;
    std::optional<float> daq_offset = 4.5f, daq_scaling = 0.25f;
    float sampling_rate = 4000.0f, open_pore_level = NAN;
    std::optional<std::int32_t> channel = {};
    std::optional<std::uint32_t> mux = {};
    std::string run_id = {}, kit = {}, flow_cell = {}, end_reason = {};
};
const Kind kinds[] = {
    {.tag = 1, .strand_id = "strand-of-1", .start_time = 0xFFFFFFFFFFFFull, .num_keldrow_events = 12,
     .open_pore_level = 231.5f, .channel = 412, .mux = 3, .run_id = "run-a", .kit = "kit-1", .flow_cell = "fc-9",
     .end_reason = "signal_positive"},
    {.tag = 2, .sub_tag = 2, .channel = 5, .mux = 1, .run_id = "run-a", .kit = "kit-1"},
    {.tag = 0, .start_time = std::nullopt, .daq_offset = 0.0f, .daq_scaling = std::nullopt, .sampling_rate = 0.0f},
    {.tag = 4, .start_time = 0, .daq_offset = -0.0f, .open_pore_level = 0.0f, .channel = 0, .mux = 0, .run_id = "b"},
    {.tag = 5, .channel = 7, .mux = 2, .end_reason = "mux_change"},
    {.tag = 0x80000006ull, .num_keldrow_events = 1},
    {.tag = 7, .sub_tag = 1, .read_id = "", .strand_id = ""},
    {.tag = 8, .strand_id = "strand-of-8", .start_time = 5, .num_keldrow_events = 3, .open_pore_level = 100.0f,
     .channel = 1, .mux = 4, .run_id = "run-c", .kit = "kit-2", .flow_cell = "fc-2", .end_reason = "mux_change"},
};

std::vector<common::ReadHolder> reads_of_every_kind() {
    std::vector<common::ReadHolder> reads;
    for (const Kind& kind : kinds) {
        common::ReadHolder read = test_support::raw_read(kind.tag, 250 + kind.tag % 16);
        read.sub_tag = kind.sub_tag;
        interfaces::ReadMetadata& m = *read.metadata;
        m.read_id = kind.read_id.value_or(m.read_id);
        m.strand_id = kind.strand_id.value_or(m.read_id);
        m.start_time = kind.start_time;
        m.num_keldrow_events = kind.num_keldrow_events;
        m.daq_offset = kind.daq_offset;
        m.daq_scaling = kind.daq_scaling;
        m.sampling_rate = kind.sampling_rate;
        m.open_pore_level = kind.open_pore_level;
        m.channel = kind.channel;
        m.mux = kind.mux;
        m.run_id = kind.run_id;
        m.sequencing_kit = kind.kit;
        m.flow_cell_product_code = kind.flow_cell;
        m.end_reason = kind.end_reason;
        reads.push_back(std::move(read));
    }
    return reads;
}

// A message of reads, as the library builds it, and what each of its blocks
// was sent as.
struct Built {
    std::string name;
    Message message;
    std::vector<Sent> blocks;
};

// Every kind of message of reads, of the reads of every kind: each read as
// three raw blocks (the first and two later ones, the last shorter, some
// starting at an odd sample); all of them in one batch; and a batch whose
// shapes come back after others and run on.
std::vector<Built> read_messages(const std::vector<common::ReadHolder>& reads,
                                 const std::string& connection_id,
                                 flatbuffers::Allocator* allocator = nullptr) {
    std::vector<Built> built;
    for (const common::ReadHolder& read : reads) {
        const std::uint64_t block_size = read.metadata->duration / 3 + 1;
        std::vector<Message> messages = ipc_tools::make_raw_block_messages(read, connection_id, block_size, allocator);
        for (std::uint32_t i = 0; i < messages.size(); ++i) {
            built.push_back({"read " + std::to_string(read.read_tag) + " block " + std::to_string(i),
                             std::move(messages[i]), {Sent{read, i, 3, i * block_size}}});
        }
    }
    std::vector<const common::ReadHolder*> batches[2];
    for (std::size_t i = 0; i < 3 * reads.size(); ++i) {
        if (i < reads.size()) {
            batches[0].push_back(&reads[i]);
        }
        batches[1].push_back(&reads[(i * 5 / 4) % reads.size()]);
    }
    for (const auto& [name, batch] : {std::pair{"batch of every kind", &batches[0]}, {"mixed batch", &batches[1]}}) {
        built.push_back({name, ipc_tools::make_read_batch_message(*batch, connection_id, allocator), {}});
        for (const common::ReadHolder* read : *batch) {
            built.back().blocks.push_back(Sent{*read, 0, 1, 0});
        }
    }
    return built;
}

std::vector<const wire::ReadBlock*> blocks_of(const wire::Envelope& envelope) {
    if (const wire::ReadBatch* batch = envelope.data_as_ReadBatch()) {
        return std::vector<const wire::ReadBlock*>(batch->blocks()->begin(), batch->blocks()->end());
    }
    return {envelope.data_as_ReadBlock()};
}

// Every block carries its read's fields, and no table of its message a
// default; blocks that carry the same fields share one vtable, and no two
// sets of fields share one.
TEST(WireDefaultsTest, EveryBlockCarriesEachSchemaFieldAsItsReadHoldsIt) {
    const std::vector<common::ReadHolder> reads = reads_of_every_kind();
    for (const std::string connection_id : {"", "client-7"}) {
        for (Built& built : read_messages(reads, connection_id)) {
            SCOPED_TRACE("\"" + connection_id + "\", " + built.name);
            const Message received = receive(std::move(built.message));
            const wire::Envelope& envelope = received.get_message_data();
            expect_defaults_left_out(object_named("Envelope"), table_of(&envelope), "Envelope");
            const std::vector<const wire::ReadBlock*> blocks = blocks_of(envelope);
            ASSERT_EQ(blocks.size(), built.blocks.size());
            std::map<std::vector<bool>, const std::uint8_t*> vtables;
            std::set<const std::uint8_t*> distinct;
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                SCOPED_TRACE("block " + std::to_string(i));
                expect_block(*blocks[i], built.blocks[i]);
                const Table& table = table_of(blocks[i]);
                std::vector<bool> fields;
                for (const reflection::Field* field : *object_named("ReadBlock").fields()) {
                    fields.push_back(table.CheckField(field->offset()));
                }
                EXPECT_EQ(vtables.try_emplace(fields, table.GetVTable()).first->second, table.GetVTable());
                distinct.insert(table.GetVTable());
            }
            EXPECT_EQ(distinct.size(), vtables.size());
            if (blocks.size() > 1) {
                EXPECT_LT(vtables.size(), blocks.size());
            }
        }
    }
}

TEST(WireDefaultsTest, EveryControlMessageLeavesItsDefaultsOut) {
    for (std::int32_t kind = 0; kind < ipc_tools::message_type_count; ++kind) {
        const auto type = static_cast<MessageType>(kind);
        if (ipc_tools::request_type_of(type) || ipc_tools::reply_type_of(type)) {
            SCOPED_TRACE(ipc_tools::to_string(type));
            expect_envelope_defaults_left_out(Message(type, "", 0, ""));
            expect_envelope_defaults_left_out(Message(type, "client-7", -3, "text"));
        }
    }
    expect_envelope_defaults_left_out(Message(ipc_tools::QueryCode::internal_state));
}

// Where the writer places a block's samples depends on where, within a
// cache line, the samples lie and the buffer ends. With both pinned, a build
// of the same reads gives the same bytes in any run, so the bytes the writer
// lays out are compared as digests taken from the writer as it stood when
// blocks first left their defaults out: a faster writer must not move a
// single byte.
class LineEndAllocator : public flatbuffers::Allocator {
public:
    explicit LineEndAllocator(std::size_t end_in_line) : m_end_in_line(end_in_line) {}
    std::uint8_t* allocate(std::size_t size) override {
        auto* base = static_cast<std::uint8_t*>(::operator new(size + line, std::align_val_t{line}));
        std::uint8_t* const p = base + (m_end_in_line + line - size % line) % line;
        m_bases.emplace(p, base);
        return p;
    }
    void deallocate(std::uint8_t* p, std::size_t) override {
        const auto base = m_bases.find(p);
        ::operator delete(base->second, std::align_val_t{line});
        m_bases.erase(base);
    }

private:
    static constexpr std::size_t line = 64;
    std::size_t m_end_in_line;
    std::map<std::uint8_t*, std::uint8_t*> m_bases;
};

// Moves the read's samples to storage that starts at in_line within a cache
// line; storage that did not goes to misses, so that the heap moves on.
// False when the heap places no storage there (a sanitizer's allocator puts
// blocks of these sizes at one place in a line).
bool pin_samples(common::ReadHolder& read, std::uintptr_t in_line, std::vector<std::vector<std::int16_t>>& misses) {
    namespace dw = vesk::data_wrappers::v2;
    const auto signal = read.datasets.at(dw::raw_data).view<std::int16_t>();
    for (std::size_t extra = 0; extra < 1024; ++extra) {
        std::vector<std::int16_t> samples;
        samples.reserve(signal.size() + extra);
        samples.assign(signal.data(), signal.data() + signal.size());
        if (reinterpret_cast<std::uintptr_t>(samples.data()) % 64 == in_line) {
            read.datasets.erase(dw::raw_data);
            read.datasets.emplace(dw::raw_data, dw::DataSetData(std::move(samples)));
            return true;
        }
        misses.push_back(std::move(samples));
    }
    return false;
}

// FNV-1a, continued from digest, over what the writer laid out: from the
// lowest block up to the end of the buffer, where the writer starts. The
// envelope below it is the FlatBuffers builder's.
std::uint64_t written_digest(Message message, std::uint64_t digest) {
    zmq::message_t frame;
    message.release_into(frame);
    const auto* begin = static_cast<const std::uint8_t*>(frame.data());
    const std::uint8_t* const end = begin + frame.size();
    const std::uint8_t* lowest = end;
    for (const wire::ReadBlock* block : blocks_of(*wire::GetEnvelope(begin))) {
        lowest = std::min(lowest, reinterpret_cast<const std::uint8_t*>(block));
    }
    for (const std::uint8_t* byte = lowest; byte != end; ++byte) {
        digest = (digest ^ *byte) * 0x100000001b3ULL;
    }
    return digest;
}

TEST(WireDefaultsTest, BlocksAndBatchesKeepTheirBytes) {
    std::vector<std::vector<std::int16_t>> misses;
    std::vector<common::ReadHolder> reads = reads_of_every_kind();
    for (std::size_t i = 0; i < reads.size(); ++i) {
        if (!pin_samples(reads[i], 16 * i % 64, misses)) {
            GTEST_SKIP() << "the heap places no samples " << 16 * i % 64 << " bytes into a cache line";
        }
    }
    std::map<std::string, std::uint64_t> digests;
    for (const std::size_t end_in_line : {0, 40}) {
        LineEndAllocator allocator(end_in_line);
        for (Built& built : read_messages(reads, "client-7", &allocator)) {
            // The raw blocks of all reads as one stream.
            const std::string name = built.name.starts_with("read ") ? "raw blocks" : built.name;
            std::uint64_t& digest =
                digests.try_emplace("end " + std::to_string(end_in_line) + ", " + name, 0xcbf29ce484222325ULL)
                    .first->second;
            digest = written_digest(std::move(built.message), digest);
        }
    }

    const std::map<std::string, std::uint64_t> expected = {
        {"end 0, batch of every kind", 4576148742214163690ULL},
        {"end 0, mixed batch", 11011359984741107013ULL},
        {"end 0, raw blocks", 12353954412102487446ULL},
        {"end 40, batch of every kind", 3420083986619730549ULL},
        {"end 40, mixed batch", 13319068399945420206ULL},
        {"end 40, raw blocks", 13826779853571140593ULL},
    };
    EXPECT_EQ(digests, expected);
}

}  // namespace
