#include "apps/client/result_codes.h"

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/client/read.h"
#include "apps/client/result_conversions.h"

namespace {

template <class Enum>
struct Row {
    int value;
    const char* text;
};

template <class Enum>
void expect_texts(const std::vector<Row<Enum>>& rows, const char* failure) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(apps::to_string(static_cast<Enum>(row.value)), row.text);
        std::ostringstream out;
        out << static_cast<Enum>(row.value);
        EXPECT_EQ(out.str(), row.text);
    }
    for (int bad : {-1, static_cast<int>(rows.size())}) {
        SCOPED_TRACE(bad);
        try {
            apps::to_string(static_cast<Enum>(bad));
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), failure);
        }
        std::ostringstream out;
        EXPECT_THROW(out << static_cast<Enum>(bad), std::runtime_error);
        EXPECT_EQ(out.str(), "");
    }
}

}  // namespace

TEST(ResultCodesTest, ResultTextsAndRange) {
    expect_texts<apps::Result>({{0, "success"},
                                {1, "no_connection"},
                                {2, "already_connected"},
                                {3, "not_ready"},
                                {4, "timed_out"},
                                {5, "invalid_response"},
                                {6, "basecall_config_unavailable"},
                                {7, "barcode_kit_unavailable"},
                                {8, "align_index_unavailable"},
                                {9, "bed_file_unavailable"},
                                {10, "file_load_timeout"},
                                {11, "failed"},
                                {12, "bad_request"},
                                {13, "bad_reply"},
                                {14, "invalid_aligner_options"}},
                               "unrecognised Result value");
}

TEST(ResultCodesTest, ConnectionStatusTextsAndRange) {
    expect_texts<apps::ConnectionStatus>({{0, "disconnected"},
                                          {1, "preparing_connection"},
                                          {2, "loading_config"},
                                          {3, "loading_alignment_index"},
                                          {4, "loading_bed_file"},
                                          {5, "connecting"},
                                          {6, "connected"},
                                          {7, "error"}},
                                         "unrecognised connection status");
}

TEST(ResultCodesTest, PassReadResultTextsAndRange) {
    expect_texts<apps::PassReadResult>(
        {{0, "success"}, {1, "not_accepting_reads"}, {2, "queue_full"}, {3, "bad_read"}},
        "unrecognised PassReadResult");
}

TEST(ResultCodesTest, PriorityTextsNeverThrow) {
    using P = apps::Read::Priority;
    EXPECT_EQ(apps::to_string(P::HIGH_PRIORITY), "HIGH_PRIORITY");
    EXPECT_EQ(apps::to_string(P::MEDIUM_PRIORITY), "MEDIUM_PRIORITY");
    EXPECT_EQ(apps::to_string(P::LOW_PRIORITY), "LOW_PRIORITY");
    EXPECT_EQ(apps::to_string(static_cast<P>(3)), "invalid_priority_value");
    EXPECT_EQ(apps::to_string(static_cast<P>(-1)), "invalid_priority_value");
}

TEST(ResultConversionsTest, ClientStatusMapsByIdentity) {
    for (int value = 0; value < 8; ++value) {
        EXPECT_EQ(static_cast<int>(apps::to_connection_status(static_cast<corvane::ClientStatus>(value))), value);
    }
    try {
        apps::to_connection_status(static_cast<corvane::ClientStatus>(8));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unrecognised corvane::ClientStatus value");
    }
}

TEST(ResultConversionsTest, QueueResultsSwapOnTheWayToTheCaller) {
    using B = corvane::BufferQueueReadsResult;
    EXPECT_EQ(apps::to_pass_read_result(corvane::to_client_result(B::queued)), apps::PassReadResult::success);
    EXPECT_EQ(apps::to_pass_read_result(corvane::to_client_result(B::no_room)), apps::PassReadResult::queue_full);
    EXPECT_EQ(apps::to_pass_read_result(corvane::to_client_result(B::not_accepting)),
              apps::PassReadResult::not_accepting_reads);
    EXPECT_EQ(apps::to_pass_read_result(corvane::to_client_result(B::bad_read)), apps::PassReadResult::bad_read);
    EXPECT_THROW(
        {
            try {
                corvane::to_client_result(static_cast<B>(4));
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Unrecognised BufferQueueReadsResult value");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_THROW(
        {
            try {
                apps::to_pass_read_result(static_cast<corvane::ClientQueueReadsResult>(4));
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Unrecognised ClientQueueReadsResult value");
                throw;
            }
        },
        std::runtime_error);
}

TEST(ResultConversionsTest, ConnectionErrorsBecomeResults) {
    using apps::Result;
    const std::vector<std::pair<int, Result>> rows = {
        {1, Result::bad_request},
        {2, Result::bad_reply},
        {3, Result::timed_out},
        {4, Result::invalid_response},
        {5, Result::basecall_config_unavailable},
        {6, Result::barcode_kit_unavailable},
        {7, Result::align_index_unavailable},
        {8, Result::bed_file_unavailable},
        {9, Result::invalid_aligner_options},
        {10, Result::file_load_timeout},
        {11, Result::failed},
    };
    EXPECT_FALSE(apps::to_result(corvane::ConnectionError::no_error).has_value());
    for (const auto& [error, result] : rows) {
        SCOPED_TRACE(error);
        EXPECT_EQ(apps::to_result(static_cast<corvane::ConnectionError>(error)), result);
    }
    try {
        apps::to_result(static_cast<corvane::ConnectionError>(12));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unrecognised ConnectionError value");
    }
}
