// Redis replies over real hiredis reply trees, made by hiredis' reader from
// protocol text with hiredis' own reply functions and with the library's pool
// ones: typed reading, arrays, error texts, ownership (ASan sees a tree freed
// the wrong way).

#include <core/exception.hpp>
#include <core/redis/reply.hpp>

#include <impl/redis/reply_objects.hpp>

#include <hiredis/read.h>

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

using namespace orq::libs::core;
using redis::reply;
using redis::reply_type;

namespace {

// Set for each test: whether the reader makes replies in the pool.
bool g_pool_replies = false;

reply parse(const std::string& _protocol) {
    redisReader* reader = g_pool_replies ? redisReaderCreateWithFunctions(const_cast<redisReplyObjectFunctions*>(
                                               &redis::detail::pool_reply_functions()))
                                         : redisReaderCreate();
    void* raw = nullptr;
    if (redisReaderFeed(reader, _protocol.data(), _protocol.size()) != REDIS_OK ||
        redisReaderGetReply(reader, &raw) != REDIS_OK || raw == nullptr) {
        redisReaderFree(reader);
        throw std::runtime_error("unparsable: " + _protocol);
    }
    redisReaderFree(reader);
    return reply(static_cast<redisReply*>(raw));
}

template <typename F>
std::string error_of(F&& _f) {
    try {
        _f();
    } catch (const exception& e) {
        return e.get_string_error();
    }
    return "no error";
}

class redis_reply_test : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { g_pool_replies = GetParam(); }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(readers, redis_reply_test, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& _info) {
                             return _info.param ? "pool_replies" : "hiredis_replies";
                         });

// Catches: status and error texts not readable as strings, bulk strings cut at
// a zero byte, and the wrong type named in the failure texts.
TEST_P(redis_reply_test, strings_and_their_type_failures) {
    EXPECT_EQ(parse("+OK\r\n").as_string_view(), "OK");
    EXPECT_EQ(parse("-ERR wrong\r\n").to_string(), "ERR wrong");
    EXPECT_EQ(parse(std::string("$3\r\na\0b\r\n", 9)).to_string(), std::string("a\0b", 3));
    EXPECT_EQ(parse("$0\r\n\r\n").to_string(), "");
    // Text longer than what fits beside the reply in one pool block.
    for (const std::size_t length : {200u, 207u, 208u, 4000u}) {
        const std::string text(length, 't');
        EXPECT_EQ(parse("$" + std::to_string(length) + "\r\n" + text + "\r\n").to_string(), text);
    }
    EXPECT_FALSE(parse(":5\r\n").try_string_view());
    EXPECT_EQ(error_of([] { parse(":5\r\n").as_string_view(); }), "Reply is not string, actual type: integer");
    EXPECT_EQ(error_of([] { parse("$-1\r\n").as_array(); }), "Reply is not array, actual type: nil");
}

// Catches: integers read from the wrong field or type, and an int overflow
// that silently wraps.
TEST_P(redis_reply_test, integers) {
    EXPECT_EQ(parse(":-9000000000\r\n").to_long_long(), -9000000000LL);
    EXPECT_EQ(parse(":2147483647\r\n").to_int(), INT_MAX);
    EXPECT_EQ(error_of([] { parse(":2147483648\r\n").to_int(); }), "Reply integer out of int range: 2147483648");
    EXPECT_EQ(error_of([] { parse("$1\r\n5\r\n").to_long_long(); }), "Reply is not integer, actual type: string");
}

// Catches: index checks off by one, iteration that goes on after false or
// calls back on an empty array, and type checks made on the top-level reply
// instead of the element.
TEST_P(redis_reply_test, arrays) {
    const reply three = parse("*3\r\n$1\r\na\r\n:2\r\n*1\r\n$1\r\nc\r\n");
    const auto elements = three.as_array();
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(elements[0].as_string_view(), "a");
    EXPECT_EQ(elements[1].get_type(), reply_type::INTEGER);
    EXPECT_EQ(elements[2].as_array()[0].as_string_view(), "c");
    EXPECT_EQ(error_of([&] { elements[1].as_array(); }), "Reply is not array, actual type: integer");
    EXPECT_EQ(error_of([&] { elements[3]; }), "Index out of range");

    std::vector<reply_type> seen;
    EXPECT_EQ(elements.for_each_element([&](const redis::reply_element& _element) {
        seen.push_back(_element.get_type());
        return seen.size() < 2;
    }),
              iteration_result::interrupted);
    EXPECT_EQ(seen, (std::vector<reply_type>{reply_type::STRING, reply_type::INTEGER}));

    // Every kind of element, nested, freed as one tree.
    const reply mixed =
        parse("*5\r\n+OK\r\n-ERR no\r\n$-1\r\n*2\r\n:7\r\n$300\r\n" + std::string(300, 'x') + "\r\n*0\r\n");
    EXPECT_EQ(mixed.as_array()[1].to_string(), "ERR no");
    EXPECT_EQ(mixed.as_array()[2].get_type(), reply_type::NIL);
    EXPECT_EQ(mixed.as_array()[3].as_array()[1].to_string(), std::string(300, 'x'));

    const reply empty = parse("*0\r\n");
    EXPECT_EQ(error_of([&] { empty.as_array()[0]; }), "Index out of range");
    EXPECT_EQ(empty.as_array().for_each_element([](const redis::reply_element&) { return true; }),
              iteration_result::finished);
}

// Catches: names that differ from the table, and out-of-range values named
// instead of refused.
TEST_P(redis_reply_test, type_names) {
    EXPECT_EQ(redis::to_string(reply_type::STATUS), "status");
    EXPECT_EQ(redis::to_string(reply_type::ERROR), "error");
    for (const int value : {0, 7}) {
        EXPECT_EQ(error_of([&] { redis::to_string(static_cast<reply_type>(value)); }), "Unknown enumeration value");
    }
}

// Catches: a moved reply that is freed twice or whose view points at freed
// memory (ASan reports either).
TEST_P(redis_reply_test, moving_keeps_one_owner) {
    std::vector<reply> kept;
    {
        reply source = parse("$5\r\nhello\r\n");
        kept.push_back(std::move(source));
    }
    kept.reserve(16);
    EXPECT_EQ(kept.front().as_string_view(), "hello");
}
