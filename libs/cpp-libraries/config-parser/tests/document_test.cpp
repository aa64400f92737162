// Parsing documents and reading the tree they are converted into: errors of
// the reader, comments, keys, conversions and the lifetime of references.

#include <config_parser/config.hpp>

#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace orq::libs::config;

namespace {

config::ptr parse(const std::string& _text) {
    std::istringstream stream(_text);
    return config::create<type::json>(stream);
}

// The message of the parse error, or a marker when nothing (or something else)
// was thrown.
std::string parse_error(std::istream& _stream) {
    try {
        config::create<type::json>(_stream);
    } catch (const std::runtime_error& e) {
        return e.what();
    } catch (...) {
        return "<other exception>";
    }
    return "<no exception>";
}

std::string parse_error(const std::string& _text) {
    std::istringstream stream(_text);
    return parse_error(stream);
}

const std::string parse_prefix = "Cannot parse json: ";

// A parse error with the fixed prefix and a non-empty report after it.
::testing::AssertionResult is_parse_error(const std::string& _message) {
    if (_message.rfind(parse_prefix, 0) == 0 && _message.size() > parse_prefix.size()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "unexpected: " << _message;
}

std::vector<std::string> strings_of(const array& _array) {
    std::vector<std::string> out;
    for (const value& element : _array) {
        out.push_back(element.as_string().value_or("<not a string>"));
    }
    return out;
}

}  // namespace

// Catches: comments rejected, or the comment setting turned into a failure.
TEST(document_parse, comments_are_accepted_and_skipped) {
    const auto doc = parse(R"(// leading comment
        {
            /* block */ "a": 1, // trailing
            "b": [ /* inside */ "x" ]
        })");
    EXPECT_EQ(doc->get_root().get_keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(doc->get<int>("a"), 1);
}

// Catches: a reader failure reported as success, or with another text or type.
TEST(document_parse, malformed_input_throws_runtime_error_with_the_readers_report) {
    const std::string message = parse_error(R"({"a": })");
    EXPECT_TRUE(is_parse_error(message));
    EXPECT_NE(message.find("Line 1"), std::string::npos) << message;
    EXPECT_TRUE(is_parse_error(parse_error("")));
    EXPECT_TRUE(is_parse_error(parse_error("{\"a\": 1")));
    EXPECT_TRUE(is_parse_error(parse_error("{'a': 1}")));
}

// Catches: a stream that never opened, or a directory, read as a document or
// failing some other way (a crash, a hang, another exception).
TEST(document_parse, unreadable_streams_are_parse_errors) {
    std::ifstream missing("/nonexistent/dir/config.json");
    ASSERT_FALSE(missing.is_open());
    EXPECT_TRUE(is_parse_error(parse_error(missing)));

    std::ifstream directory("/tmp");
    EXPECT_TRUE(is_parse_error(parse_error(directory)));
}

// Catches: binary input (NUL bytes, invalid UTF-8, control bytes) crashing the
// reader or passing as a document.
TEST(document_parse, binary_garbage_is_a_parse_error) {
    std::mt19937 random(12345);
    for (int round = 0; round < 50; ++round) {
        std::string garbage(1 + random() % 4096, '\0');
        for (auto& c : garbage) {
            c = static_cast<char>(random() % 256);
        }
        // A leading brace gets the reader past the first byte into the rest.
        if (round % 2 == 0) {
            garbage[0] = '{';
        }
        if (garbage[0] == ' ' || garbage[0] == '"' || (garbage[0] >= '0' && garbage[0] <= '9')) {
            garbage[0] = '\x01';
        }
        EXPECT_TRUE(is_parse_error(parse_error(garbage))) << "round " << round;
    }
}

// Catches: unbounded recursion on deep nesting (a stack overflow) instead of
// the parse error.
TEST(document_parse, nesting_beyond_the_readers_limit_is_a_parse_error) {
    const std::size_t depth = 100000;
    EXPECT_TRUE(is_parse_error(parse_error(std::string(depth, '[') + std::string(depth, ']'))));

    std::string objects;
    for (std::size_t i = 0; i < depth; ++i) {
        objects += "{\"a\":";
    }
    objects += "1" + std::string(depth, '}');
    EXPECT_TRUE(is_parse_error(parse_error(objects)));

    // Unterminated: the reader must stop at its limit, not at the end.
    EXPECT_TRUE(is_parse_error(parse_error("{\"a\":" + std::string(depth, '['))));
}

// Catches: the tree builder failing (or losing levels) on deep but accepted
// nesting.
TEST(document_parse, deep_nesting_within_the_limit_is_fully_reachable) {
    // Two levels per step: about 800 in all, below the reader's limit of 1000.
    const std::size_t depth = 400;
    std::string text = "{\"a\":";
    for (std::size_t i = 0; i < depth; ++i) {
        text += "{\"a\":[";
    }
    text += "\"bottom\"";
    for (std::size_t i = 0; i < depth; ++i) {
        text += "]}";
    }
    text += "}";
    const auto doc = parse(text);
    const auto top = doc->get<const dictionary&>("a");
    ASSERT_TRUE(top);
    const dictionary* current = &*top;
    for (std::size_t i = 0; i < depth; ++i) {
        const auto elements = current->get<array>("a");
        ASSERT_TRUE(elements) << "level " << i;
        ASSERT_EQ(boost::size(*elements), 1);
        if (i + 1 == depth) {
            EXPECT_EQ(elements->begin()->as_string(), std::string("bottom"));
            return;
        }
        const auto inner = elements->begin()->as_object();
        ASSERT_TRUE(inner) << "level " << i;
        current = &*inner;
    }
    FAIL() << "bottom not reached";
}

// Catches: keys in insertion order or compared as signed chars.
TEST(document_tree, keys_are_listed_in_ascending_bytewise_order) {
    const auto doc = parse(R"({"b": 1, "a": 2, "B": 3, "\u00e9": 4, "": 5, "a\u0000b": 6})");
    EXPECT_EQ(doc->get_root().get_keys(),
              (std::vector<std::string>{"", "B", "a", std::string("a\0b", 3), "b", "\xc3\xa9"}));
    EXPECT_EQ(doc->get<int>(std::string("a\0b", 3)), 6);
}

// Catches: a root that is not an object crashing or inventing keys.
TEST(document_tree, roots_other_than_objects) {
    EXPECT_TRUE(parse("42")->get_root().get_keys().empty());
    EXPECT_TRUE(parse("null")->get_root().get_keys().empty());
    EXPECT_TRUE(parse("[]")->get_root().get_keys().empty());
    // Every element of a root array carries the empty name: the first stays.
    const auto doc = parse(R"(["first", "second", {"x": 1}])");
    EXPECT_EQ(doc->get_root().get_keys(), std::vector<std::string>{""});
    EXPECT_EQ(doc->get<std::string>(""), std::string("first"));
}

// Catches: conversions between document types (a string read as a number, a
// number as a boolean, a null as anything), or wrong integral detection.
TEST(document_values, conversions_give_a_value_only_for_the_stored_type) {
    const auto doc = parse(R"({
        "t": true, "i": -7, "u": 4000000000, "r": 2.0, "f": 2.5, "big": 1e300,
        "s": "yes", "n": "12", "z": null, "o": {"k": "v"}, "a": [1, "2"]
    })");
    const auto& root = doc->get_root();
    auto v = [&](const char* _key) -> const value& { return root.get_value(_key).value(); };

    EXPECT_EQ(v("t").as_bool(), true);
    EXPECT_FALSE(v("t").as_int());
    EXPECT_FALSE(v("t").as_string());

    EXPECT_EQ(v("i").as_int(), -7);
    EXPECT_EQ(v("i").as_double(), -7.0);
    EXPECT_FALSE(v("i").as_bool());
    EXPECT_FALSE(v("i").as_string());

    EXPECT_EQ(v("r").as_int(), 2);
    EXPECT_FALSE(v("f").as_int());
    EXPECT_EQ(v("f").as_double(), 2.5);
    EXPECT_FALSE(v("big").as_int());
    EXPECT_EQ(v("big").as_double(), 1e300);

    EXPECT_EQ(v("s").as_string(), std::string("yes"));
    EXPECT_FALSE(v("s").as_bool());
    EXPECT_FALSE(v("n").as_int());
    EXPECT_FALSE(v("n").as_double());

    const value& null = v("z");
    EXPECT_FALSE(null.as_bool());
    EXPECT_FALSE(null.as_int());
    EXPECT_FALSE(null.as_double());
    EXPECT_FALSE(null.as_string());
    EXPECT_FALSE(null.as_object());
    EXPECT_FALSE(null.as_array());

    EXPECT_TRUE(v("o").as_object());
    EXPECT_FALSE(v("o").as_array());
    EXPECT_FALSE(v("o").as_string());
    EXPECT_TRUE(v("a").as_array());
    EXPECT_FALSE(v("a").as_object());
    EXPECT_FALSE(v("s").as_object());
    EXPECT_FALSE(v("s").as_array());
}

// Catches: an integral value outside int silently truncated instead of the
// reader's logic error.
TEST(document_values, as_int_outside_the_int_range_throws) {
    const auto doc = parse(R"({"u": 4000000000, "r": -3000000000.0})");
    EXPECT_THROW(doc->get_root().get_value("u")->as_int(), std::exception);
    EXPECT_THROW(doc->get_root().get_value("r")->as_int(), std::exception);
    EXPECT_EQ(doc->get<double>("u"), 4e9);
}

// Catches: the typed get forms of config, dictionary and value disagreeing
// with the conversions.
TEST(document_values, typed_get_forms) {
    const auto doc = parse(R"({"s": "x", "b": false, "o": {"s": "y"}, "a": ["p", "q"]})");
    EXPECT_EQ(doc->get<std::string>("s"), std::string("x"));
    EXPECT_EQ(doc->get<bool>("b"), false);
    EXPECT_FALSE(doc->get<bool>("s"));
    EXPECT_FALSE(doc->get<std::string>("missing"));
    const auto object = doc->get<const dictionary&>("o");
    ASSERT_TRUE(object);
    EXPECT_EQ(&*object, &*doc->get_root().get<const dictionary&>("o"));
    EXPECT_EQ(object->get<std::string>("s"), std::string("y"));
    const auto elements = doc->get<array>("a");
    ASSERT_TRUE(elements);
    EXPECT_EQ(strings_of(*elements), (std::vector<std::string>{"p", "q"}));
    EXPECT_EQ(elements->begin()->get<std::string>(), std::string("p"));
}

// Catches: dangling references into storage that moved while the tree was
// built (vectors reallocating, dictionaries held by value), visible under
// AddressSanitizer or as wrong contents.
TEST(document_lifetime, nested_arrays_of_objects_stay_valid_while_the_document_lives) {
    std::string text = R"({"outer": [)";
    const int count = 200;
    for (int i = 0; i < count; ++i) {
        text += (i ? "," : "");
        text += R"([{"id": )" + std::to_string(i) + R"(, "tags": ["t)" + std::to_string(i) +
                R"(", ["deep"]]}, {"more": {"n": )" + std::to_string(i) + "}}, []]";
    }
    text += R"(], "after": {"x": [1]}})";
    const auto doc = parse(text);

    // Every reference is taken first and used only after all lookups.
    std::vector<const dictionary*> firsts;
    std::vector<array> tags;
    const auto outer = doc->get<array>("outer");
    ASSERT_TRUE(outer);
    for (value& element : *outer) {
        const auto inner = element.as_array();
        ASSERT_TRUE(inner);
        ASSERT_EQ(boost::size(*inner), 3);
        firsts.push_back(&*inner->begin()->as_object());
        tags.push_back(*firsts.back()->get<array>("tags"));
        EXPECT_TRUE(std::prev(inner->end())->as_array()->empty());
    }
    ASSERT_EQ(firsts.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(firsts[i]->get<int>("id"), i);
        ASSERT_EQ(boost::size(tags[i]), 2);
        EXPECT_EQ(tags[i].begin()->as_string(), "t" + std::to_string(i));
        // Bidirectional: the last element reached from the end.
        const auto deep = std::prev(tags[i].end())->as_array();
        ASSERT_TRUE(deep);
        EXPECT_EQ(strings_of(*deep), std::vector<std::string>{"deep"});
    }
    const auto reversed_first = std::prev(outer->end())->as_array();
    ASSERT_TRUE(reversed_first);
    EXPECT_EQ(std::next(reversed_first->begin())->as_object()->get<const dictionary&>("more")->get<int>("n"),
              count - 1);
}
