#pragma once

// Asserting the exact text of an exception, where EXPECT_THROW would accept
// any message.

#include <string>

#include <gtest/gtest.h>

namespace test_support {

// Expects `call` to throw an Error whose what() is exactly `message`; an
// exception of another type escapes and fails the test.
template <class Error, class Call>
void expect_error(Call&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error; expected: " << message;
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()), message);
    }
}

}  // namespace test_support
