// Lookups by key path and their results: the values found and the exact error
// texts when there is none.

#include <config_parser/config.hpp>

#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

using namespace orq::libs::config;

namespace {

config::ptr parse(const std::string& _text) {
    std::istringstream stream(_text);
    return config::create<type::json>(stream);
}

}  // namespace

// Catches: values not found through intermediate objects, or at the root.
TEST(get_by_path, finds_values_at_every_depth) {
    const auto doc = parse(R"({"top": "t", "a": {"b": {"c": true, "s": "deep"}}})");
    EXPECT_EQ(doc->get_by_path<std::string>({"top"}).try_get(), std::string("t"));
    EXPECT_EQ(doc->get_by_path<bool>({"a", "b", "c"}).try_get(), true);
    const auto found = doc->get_by_path<std::string>({"a", "b", "s"});
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found.value(), "deep");
    EXPECT_EQ(found.reason(), "");
}

// Catches: a wrong prefix or path in the object error.
TEST(get_by_path, missing_or_non_object_intermediate_names_the_prefix) {
    const auto doc = parse(R"({"broker": {"output_address": "tcp://x:1"}, "n": 5})");

    const auto missing = doc->get_by_path<std::string>({"system", "pidfile_path"});
    EXPECT_FALSE(missing.ok());
    EXPECT_FALSE(missing.try_get());
    EXPECT_EQ(missing.reason(), "Can not find object <object>: system, path: system.pidfile_path");

    // Through a string: the prefix ends at the key that is not an object.
    EXPECT_EQ(doc->get_by_path<std::string>({"broker", "output_address", "x"}).reason(),
              "Can not find object <object>: broker.output_address, path: broker.output_address.x");
    EXPECT_EQ(doc->get_by_path<bool>({"broker", "nothing", "deeper", "x"}).reason(),
              "Can not find object <object>: broker.nothing, path: broker.nothing.deeper.x");
    EXPECT_EQ(doc->get_by_path<array>({"n", "x"}).reason(), "Can not find object <object>: n, path: n.x");
}

// Catches: a wrong type name or path in the field error, or a conversion
// between types (the string yes read as a boolean).
TEST(get_by_path, missing_or_mistyped_last_key_names_the_type) {
    const auto doc = parse(R"({"system": {"pidfile_path": 12, "local_debug": "yes"}, "list": "a"})");
    EXPECT_EQ(doc->get_by_path<std::string>({"system", "pidfile_path"}).reason(),
              "Can not find field <string>: system.pidfile_path");
    EXPECT_EQ(doc->get_by_path<bool>({"system", "local_debug"}).reason(),
              "Can not find field <bool>: system.local_debug");
    EXPECT_EQ(doc->get_by_path<array>({"list"}).reason(), "Can not find field <array>: list");
    EXPECT_EQ(doc->get_by_path<std::string>({"absent"}).reason(), "Can not find field <string>: absent");
    EXPECT_EQ(doc->get_by_path<std::string>({"system"}).reason(), "Can not find field <string>: system");
}

// Catches: an empty array treated as missing.
TEST(get_by_path, empty_array_is_found_with_an_empty_range) {
    const auto doc = parse(R"({"broker": {"subscriptions": []}})");
    const auto found = doc->get_by_path<array>({"broker", "subscriptions"});
    ASSERT_TRUE(found.ok());
    EXPECT_TRUE(found.value().empty());
}

// Catches: an empty path reading out of bounds instead of reporting.
TEST(get_by_path, empty_path_is_an_error) {
    const auto doc = parse(R"({"": "x"})");
    const auto found = doc->get_by_path<std::string>({});
    EXPECT_FALSE(found.ok());
    EXPECT_EQ(found.reason(), "Can not find field <string>: ");
}

// Catches: value() on an error returning garbage instead of throwing, or
// reason() on a value throwing.
TEST(result, accessors_on_the_other_alternative) {
    const result<std::string> error(error_reason{"why"});
    EXPECT_FALSE(error.ok());
    EXPECT_FALSE(error.try_get());
    EXPECT_EQ(error.reason(), "why");
    try {
        (void)error.value();
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_NE(std::string(e.what()).find("why"), std::string::npos);
    }

    const result<bool> found(false);
    EXPECT_TRUE(found.ok());
    EXPECT_EQ(found.try_get(), false);
    EXPECT_EQ(found.value(), false);
    EXPECT_EQ(found.reason(), "");
}
