// The wire layout, pinned at compile time: every table's field sits in the
// vtable slot the protocol gives it (offset 4 + 2 * slot), and union tags
// and body kinds carry their protocol numbers. The reference server is
// built from the same generated code, so a reordered schema would pass
// every exchange test and still break a real server; here it does not
// compile. The numbers are written out from the protocol's field lists, not
// taken from the schema.

#include <cstdint>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

#include "ipc_tools/wire_format.h"

namespace wire = ipc_tools::wire;

namespace {

constexpr int offset_of_slot(int slot) { return 4 + 2 * slot; }

}  // namespace

#define CORVANE_WIRE_SLOT(table, field, slot) \
    static_assert(wire::table::VT_##field == offset_of_slot(slot), #table "." #field " is not in slot " #slot)

// Envelope and its union.
CORVANE_WIRE_SLOT(Envelope, VERSION, 0);
CORVANE_WIRE_SLOT(Envelope, CLIENT_ID, 1);
CORVANE_WIRE_SLOT(Envelope, DATA_TYPE, 2);
CORVANE_WIRE_SLOT(Envelope, DATA, 3);
static_assert(static_cast<int>(wire::MessageData::NONE) == 0);
static_assert(static_cast<int>(wire::MessageData::Request) == 1);
static_assert(static_cast<int>(wire::MessageData::Reply) == 2);
static_assert(static_cast<int>(wire::MessageData::ReadBlock) == 3);
static_assert(static_cast<int>(wire::MessageData::ReadBatch) == 4);
static_assert(static_cast<int>(wire::MessageData::ConfigList) == 5);
static_assert(static_cast<int>(wire::MessageData::Statistics) == 6);
static_assert(sizeof(wire::ProtocolVersion) == 12 && alignof(wire::ProtocolVersion) == 4);

// Control bodies.
CORVANE_WIRE_SLOT(Request, TYPE, 0);
CORVANE_WIRE_SLOT(Request, VALUE, 1);
CORVANE_WIRE_SLOT(Request, TEXT, 2);
CORVANE_WIRE_SLOT(Reply, TYPE, 0);
CORVANE_WIRE_SLOT(Reply, VALUE, 1);
CORVANE_WIRE_SLOT(Reply, TEXT, 2);

// Configuration and statistics replies.
CORVANE_WIRE_SLOT(ConfigList, CONFIGS, 0);
CORVANE_WIRE_SLOT(ConfigList, INDEX_HEADERS, 1);
CORVANE_WIRE_SLOT(ConfigList, NAMES, 2);
CORVANE_WIRE_SLOT(ConfigList, BARCODE_KITS, 3);
CORVANE_WIRE_SLOT(ConfigEntry, NAME, 0);
CORVANE_WIRE_SLOT(ConfigEntry, MODEL_VERSION_ID, 1);
CORVANE_WIRE_SLOT(ConfigEntry, MODBASE_MODEL_VERSION_ID, 2);
CORVANE_WIRE_SLOT(ConfigEntry, DUPLEX, 3);
CORVANE_WIRE_SLOT(IndexHeader, NAME, 0);
CORVANE_WIRE_SLOT(IndexHeader, HEADER, 1);
CORVANE_WIRE_SLOT(BarcodeKit, KIT_NAME, 0);
CORVANE_WIRE_SLOT(BarcodeKit, IS_BOTH_ENDS, 1);
CORVANE_WIRE_SLOT(BarcodeKit, HAS_BARCODE12A, 2);
CORVANE_WIRE_SLOT(BarcodeKit, FIRST_INDEX, 3);
CORVANE_WIRE_SLOT(BarcodeKit, LAST_INDEX, 4);
CORVANE_WIRE_SLOT(BarcodeKit, NORMALISED_PATTERN, 5);
CORVANE_WIRE_SLOT(Statistics, LIFETIME_READS_IN, 0);
CORVANE_WIRE_SLOT(Statistics, LIFETIME_READS_OUT, 1);
CORVANE_WIRE_SLOT(Statistics, PERIOD_READS_IN, 2);
CORVANE_WIRE_SLOT(Statistics, PERIOD_READS_OUT, 3);
CORVANE_WIRE_SLOT(Statistics, CLIENT_STATISTICS, 4);
CORVANE_WIRE_SLOT(ClientStats, INPUT_READ_COUNT, 0);
CORVANE_WIRE_SLOT(ClientStats, OUTPUT_READ_COUNT, 1);

// Reads on their way to the server and back.
CORVANE_WIRE_SLOT(ReadBatch, TYPE, 0);
CORVANE_WIRE_SLOT(ReadBatch, BLOCKS, 1);
CORVANE_WIRE_SLOT(ReadBlock, TYPE, 0);
CORVANE_WIRE_SLOT(ReadBlock, READ_TAG, 1);
CORVANE_WIRE_SLOT(ReadBlock, BLOCK_INDEX, 2);
CORVANE_WIRE_SLOT(ReadBlock, BLOCK_COUNT, 3);
CORVANE_WIRE_SLOT(ReadBlock, DURATION, 4);
CORVANE_WIRE_SLOT(ReadBlock, DAQ_OFFSET, 5);
CORVANE_WIRE_SLOT(ReadBlock, DAQ_SCALING, 6);
CORVANE_WIRE_SLOT(ReadBlock, READ_ID, 7);
CORVANE_WIRE_SLOT(ReadBlock, SAMPLES, 8);
CORVANE_WIRE_SLOT(ReadBlock, CALLED_READ, 9);
CORVANE_WIRE_SLOT(ReadBlock, SUB_TAG, 10);
CORVANE_WIRE_SLOT(ReadBlock, STRAND_ID, 11);
CORVANE_WIRE_SLOT(ReadBlock, START_TIME, 12);
CORVANE_WIRE_SLOT(ReadBlock, NUM_KELDROW_EVENTS, 13);
CORVANE_WIRE_SLOT(ReadBlock, SAMPLING_RATE, 14);
CORVANE_WIRE_SLOT(ReadBlock, PAIRING, 15);
CORVANE_WIRE_SLOT(ReadBlock, DUPLEX_STRAND_1, 16);
CORVANE_WIRE_SLOT(ReadBlock, DUPLEX_STRAND_2, 17);
CORVANE_WIRE_SLOT(ReadBlock, IS_DUPLEX_PARENT, 18);
CORVANE_WIRE_SLOT(ReadBlock, SEQUENCING_KIT, 19);
CORVANE_WIRE_SLOT(ReadBlock, FLOW_CELL_PRODUCT_CODE, 20);
CORVANE_WIRE_SLOT(ReadBlock, END_REASON, 21);
CORVANE_WIRE_SLOT(ReadBlock, SPLIT_POINT, 22);
CORVANE_WIRE_SLOT(ReadBlock, OPEN_PORE_LEVEL, 23);
CORVANE_WIRE_SLOT(PairingInfo, CHANNEL, 0);
CORVANE_WIRE_SLOT(PairingInfo, MUX, 1);
CORVANE_WIRE_SLOT(PairingInfo, RUN_ID, 2);

// Results.
CORVANE_WIRE_SLOT(CalledRead, MOVE_COUNT, 0);
CORVANE_WIRE_SLOT(CalledRead, SEQUENCE_LENGTH, 1);
CORVANE_WIRE_SLOT(CalledRead, MEAN_QSCORE, 2);
CORVANE_WIRE_SLOT(CalledRead, MEDIAN, 3);
CORVANE_WIRE_SLOT(CalledRead, MED_ABS_DEV, 4);
CORVANE_WIRE_SLOT(CalledRead, MODEL_STRIDE, 5);
CORVANE_WIRE_SLOT(CalledRead, TRIMMED_SAMPLES, 6);
CORVANE_WIRE_SLOT(CalledRead, SEQUENCE, 7);
CORVANE_WIRE_SLOT(CalledRead, QSTRING, 8);
CORVANE_WIRE_SLOT(CalledRead, SCALING, 9);
CORVANE_WIRE_SLOT(CalledRead, MOVES, 10);
CORVANE_WIRE_SLOT(CalledRead, BASE_MOD_INFO, 11);
CORVANE_WIRE_SLOT(CalledRead, BASE_MOD_PROBS, 12);
CORVANE_WIRE_SLOT(CalledRead, BARCODE, 13);
CORVANE_WIRE_SLOT(CalledRead, BARCODE_TRIM, 14);
CORVANE_WIRE_SLOT(CalledRead, ALIGNMENTS, 15);
CORVANE_WIRE_SLOT(CalledRead, MODEL_VERSION_ID, 16);
CORVANE_WIRE_SLOT(CalledRead, MODBASE_MODEL_VERSION_ID, 17);
CORVANE_WIRE_SLOT(CalledRead, STRAND_ORIENTATION_CODE, 18);
CORVANE_WIRE_SLOT(CalledRead, UMI_TAG_SEQUENCE, 19);
CORVANE_WIRE_SLOT(CalledRead, POLY_TAIL, 20);
CORVANE_WIRE_SLOT(CalledRead, BASE_MOD_CONTEXT_MASK, 21);
CORVANE_WIRE_SLOT(ScalingInfo, SCALING_MEDIAN, 0);
CORVANE_WIRE_SLOT(ScalingInfo, SCALING_MED_ABS_DEV, 1);
CORVANE_WIRE_SLOT(ScalingInfo, SCALING_VERSION, 2);
CORVANE_WIRE_SLOT(BaseModInfo, BASE_MOD_ALPHABET, 0);
CORVANE_WIRE_SLOT(BaseModInfo, BASE_MOD_LONG_NAMES, 1);
CORVANE_WIRE_SLOT(BaseModInfo, BASE_MOD_CONTEXT, 2);
CORVANE_WIRE_SLOT(BarcodeResult, ARRANGEMENT, 0);
CORVANE_WIRE_SLOT(BarcodeResult, KIT, 1);
CORVANE_WIRE_SLOT(BarcodeResult, VARIANT, 2);
CORVANE_WIRE_SLOT(BarcodeResult, SCORE, 3);
CORVANE_WIRE_SLOT(BarcodeResult, FRONT, 4);
CORVANE_WIRE_SLOT(BarcodeResult, REAR, 5);
CORVANE_WIRE_SLOT(BarcodeEndResult, SCORE, 0);
CORVANE_WIRE_SLOT(BarcodeEndResult, INDEX, 1);
CORVANE_WIRE_SLOT(BarcodeEndResult, FOUNDSEQ_LENGTH, 2);
CORVANE_WIRE_SLOT(BarcodeTrim, TRIM_FRONT, 0);
CORVANE_WIRE_SLOT(BarcodeTrim, TRIM_REAR, 1);
CORVANE_WIRE_SLOT(PolyTailResult, POLY_TAIL_LENGTH, 0);
CORVANE_WIRE_SLOT(PolyTailResult, POLY_TAIL_ANCHOR, 1);
CORVANE_WIRE_SLOT(PolyTailResult, POLY_TAIL_START_1, 2);
CORVANE_WIRE_SLOT(PolyTailResult, POLY_TAIL_END_1, 3);
CORVANE_WIRE_SLOT(PolyTailResult, POLY_TAIL_START_2, 4);
CORVANE_WIRE_SLOT(PolyTailResult, POLY_TAIL_END_2, 5);
CORVANE_WIRE_SLOT(AlignmentResult, GENOME, 0);
CORVANE_WIRE_SLOT(AlignmentResult, GENOME_START, 1);
CORVANE_WIRE_SLOT(AlignmentResult, GENOME_END, 2);
CORVANE_WIRE_SLOT(AlignmentResult, STRAND_START, 3);
CORVANE_WIRE_SLOT(AlignmentResult, STRAND_END, 4);
CORVANE_WIRE_SLOT(AlignmentResult, NUM_EVENTS, 5);
CORVANE_WIRE_SLOT(AlignmentResult, NUM_INSERTIONS, 6);
CORVANE_WIRE_SLOT(AlignmentResult, NUM_DELETIONS, 7);
CORVANE_WIRE_SLOT(AlignmentResult, NUM_ALIGNED, 8);
CORVANE_WIRE_SLOT(AlignmentResult, NUM_CORRECT, 9);
CORVANE_WIRE_SLOT(AlignmentResult, COVERAGE, 10);
CORVANE_WIRE_SLOT(AlignmentResult, IDENTITY, 11);
CORVANE_WIRE_SLOT(AlignmentResult, ACCURACY, 12);
CORVANE_WIRE_SLOT(AlignmentResult, STRAND_SCORE, 13);
CORVANE_WIRE_SLOT(AlignmentResult, SAM_RECORD, 14);
CORVANE_WIRE_SLOT(AlignmentResult, BED_HITS, 15);
CORVANE_WIRE_SLOT(AlignmentResult, BED_LINES, 16);
CORVANE_WIRE_SLOT(AlignmentResult, DIRECTION, 17);
CORVANE_WIRE_SLOT(AlignmentResult, MAPPING_QUALITY, 18);
CORVANE_WIRE_SLOT(AlignmentResult, IS_SECONDARY, 19);
CORVANE_WIRE_SLOT(AlignmentResult, IS_SUPPLEMENTARY, 20);

#undef CORVANE_WIRE_SLOT

// The scalar types are part of the layout too: a field that changes width
// moves every byte after it.
static_assert(std::is_same_v<decltype(std::declval<const wire::ReadBlock&>().read_tag()), std::uint32_t>);
static_assert(std::is_same_v<decltype(std::declval<const wire::ReadBlock&>().start_time()), std::uint64_t>);
static_assert(std::is_same_v<decltype(std::declval<const wire::ReadBlock&>().open_pore_level()), float>);
static_assert(std::is_same_v<decltype(std::declval<const wire::ReadBlock&>().split_point()), std::int32_t>);
static_assert(std::is_same_v<decltype(std::declval<const wire::CalledRead&>().strand_orientation_code()), std::int32_t>);
static_assert(std::is_same_v<decltype(std::declval<const wire::AlignmentResult&>().direction()), std::uint8_t>);
static_assert(std::is_same_v<decltype(std::declval<const wire::PolyTailResult&>().poly_tail_anchor()), std::int64_t>);
static_assert(std::is_same_v<decltype(std::declval<const wire::Statistics&>().period_reads_out()), std::uint64_t>);
static_assert(std::is_same_v<decltype(std::declval<const wire::Request&>().value()), std::int32_t>);

// The body kinds by their wire numbers, which differ from the in-memory
// message kinds.
#define CORVANE_WIRE_KIND(type, name, number) static_assert(static_cast<int>(wire::type::name) == number, #type "::" #name)
CORVANE_WIRE_KIND(RequestType, CONNECT, 0);
CORVANE_WIRE_KIND(RequestType, DISCONNECT, 1);
CORVANE_WIRE_KIND(RequestType, TERMINATE, 2);
CORVANE_WIRE_KIND(RequestType, GET_STATISTICS, 3);
CORVANE_WIRE_KIND(RequestType, LOAD_CONFIG, 4);
CORVANE_WIRE_KIND(RequestType, GET_CONFIGS, 5);
CORVANE_WIRE_KIND(RequestType, GET_FIRST_CALLED_BLOCK, 6);
CORVANE_WIRE_KIND(RequestType, GET_NEXT_CALLED_BLOCK, 7);
CORVANE_WIRE_KIND(RequestType, LOAD_INDEX, 8);
CORVANE_WIRE_KIND(RequestType, GET_INDICES, 9);
CORVANE_WIRE_KIND(RequestType, LOAD_BED, 10);
CORVANE_WIRE_KIND(RequestType, GET_BARCODE_KITS, 11);
CORVANE_WIRE_KIND(RequestType, HEARTBEAT_PING, 12);
CORVANE_WIRE_KIND(RequestType, QUERY, 13);
CORVANE_WIRE_KIND(RequestType, NO_MORE_DATA, 14);
CORVANE_WIRE_KIND(ReplyType, CONNECTED, 0);
CORVANE_WIRE_KIND(ReplyType, DISCONNECTED, 1);
CORVANE_WIRE_KIND(ReplyType, SHUTTING_DOWN, 2);
CORVANE_WIRE_KIND(ReplyType, INVALID_CONFIG, 3);
CORVANE_WIRE_KIND(ReplyType, INVALID_BARCODE_KIT, 4);
CORVANE_WIRE_KIND(ReplyType, CLIENT_NOT_RECOGNISED, 5);
CORVANE_WIRE_KIND(ReplyType, RAW_BLOCK_ACCEPTED, 6);
CORVANE_WIRE_KIND(ReplyType, BATCH_ACCEPTED, 7);
CORVANE_WIRE_KIND(ReplyType, NOT_READY, 8);
CORVANE_WIRE_KIND(ReplyType, NONE_PENDING, 9);
CORVANE_WIRE_KIND(ReplyType, BAD_REQUEST, 10);
CORVANE_WIRE_KIND(ReplyType, INVALID_INDEX, 11);
CORVANE_WIRE_KIND(ReplyType, INVALID_BED, 12);
CORVANE_WIRE_KIND(ReplyType, HEARTBEAT_ECHO, 13);
CORVANE_WIRE_KIND(ReplyType, RESPONSE, 14);
CORVANE_WIRE_KIND(ReplyType, LOADING, 15);
CORVANE_WIRE_KIND(ReplyType, SUCCESS, 16);
CORVANE_WIRE_KIND(ReplyType, REQUEST_FAILED, 17);
CORVANE_WIRE_KIND(ReplyType, INVALID_ALIGNER_OPTIONS, 18);
#undef CORVANE_WIRE_KIND

TEST(WireLayoutTest, IdentifierIsTheProtocolVersion) {
    EXPECT_STREQ(wire::EnvelopeIdentifier(), "0026");
}
