// Parses arbitrary input as a configuration document and checks the tree
// against the JSON reader's own view of the same input, value by value, then
// looks key paths up with get_by_path and checks each result (value or exact
// error text) against a plain walk of that view.
//
// Input: optional key paths, one per line with the keys separated by '/',
// ended by a line "%%"; the rest is the document. Without a "%%" line the
// whole input is the document. Paths to every value of the document (up to a
// bound) are looked up as well.

#include <config_parser/config.hpp>

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace lc = orq::libs::config;

using key_path = std::vector<std::string>;

constexpr std::size_t max_path_keys = 6;
constexpr std::size_t max_walked_paths = 64;

[[noreturn]] void fail(const std::string& _what) {
    std::fprintf(stderr, "config document: %s\n", _what.c_str());
    std::abort();
}

void check(bool _condition, const char* _what) {
    if (!_condition) {
        fail(_what);
    }
}

// get_by_path takes its keys as an initializer list.
template <typename T>
lc::result<T> get_by_path(const lc::config& _document, const key_path& _path) {
    const auto& k = _path;
    switch (k.size()) {
    case 0:
        return _document.get_by_path<T>({});
    case 1:
        return _document.get_by_path<T>({k[0]});
    case 2:
        return _document.get_by_path<T>({k[0], k[1]});
    case 3:
        return _document.get_by_path<T>({k[0], k[1], k[2]});
    case 4:
        return _document.get_by_path<T>({k[0], k[1], k[2], k[3]});
    case 5:
        return _document.get_by_path<T>({k[0], k[1], k[2], k[3], k[4]});
    default:
        return _document.get_by_path<T>({k[0], k[1], k[2], k[3], k[4], k[5]});
    }
}

std::string join(const key_path& _path, std::size_t _count) {
    std::string joined;
    for (std::size_t i = 0; i < _count; ++i) {
        if (i != 0) {
            joined += '.';
        }
        joined += _path[i];
    }
    return joined;
}

class checker {
public:
    explicit checker(const Json::Value& _document) {
        // The document's root dictionary as the reader's view gives it: the
        // members of an object root; for an array root, its elements all under
        // the empty key, the first one kept; nothing for a scalar root.
        if (_document.isObject()) {
            m_root = _document;
        } else if (_document.isArray() && !_document.empty()) {
            m_root[""] = _document[0];
        }
    }

    void check_document(const lc::config& _document) {
        key_path path;
        check_dictionary(_document.get_root(), m_root, path);
    }

    template <typename T>
    void check_lookup(const lc::config& _document, const key_path& _path, const char* _type_name);

    std::vector<key_path> walked;

private:
    void check_dictionary(const lc::dictionary& _dictionary, const Json::Value& _object, key_path& _path) {
        std::vector<std::string> expected = _object.getMemberNames();
        std::sort(expected.begin(), expected.end());
        check(_dictionary.get_keys() == expected, "keys differ from the document's, or are not in order");
        for (const auto& key : expected) {
            const auto found = _dictionary.get_value(key);
            check(found.has_value(), "a key that get_keys lists is not found");
            _path.push_back(key);
            if (_path.size() <= max_path_keys && walked.size() < max_walked_paths) {
                walked.push_back(_path);
            }
            check_value(*found, _object[key], _path);
            _path.pop_back();
        }
        check(!_dictionary.get_value(std::string("\x01missing", 8)).has_value() ||
                  _object.isMember(std::string("\x01missing", 8)),
              "a missing key is found");
    }

    void check_value(const lc::value& _value, const Json::Value& _json, key_path& _path) {
        if (_json.isObject()) {
            const auto object = _value.as_object();
            check(object.has_value(), "an object gives no dictionary");
            check_no_scalar(_value);
            check(!_value.as_array(), "an object gives an array");
            check_dictionary(*object, _json, _path);
            return;
        }
        if (_json.isArray()) {
            const auto elements = _value.as_array();
            check(elements.has_value(), "an array gives no range");
            check_no_scalar(_value);
            check(!_value.as_object(), "an array gives a dictionary");
            check(static_cast<Json::ArrayIndex>(std::distance(elements->begin(), elements->end())) == _json.size(),
                  "the range has another length than the array");
            std::vector<const lc::value*> forward;
            Json::ArrayIndex index = 0;
            for (const auto& element : *elements) {
                forward.push_back(&element);
                check_value(element, _json[index++], _path);
            }
            // Bidirectional: the same elements backwards.
            auto position = elements->end();
            while (position != elements->begin()) {
                --position;
                check(!forward.empty() && &*position == forward.back(), "backward iteration differs");
                forward.pop_back();
            }
            return;
        }
        check(!_value.as_object() && !_value.as_array(), "a scalar gives a dictionary or an array");
        check(_value.as_bool() == (_json.isBool() ? boost::make_optional(_json.asBool()) : boost::none), "as_bool");
        check(_value.as_string() == (_json.isString() ? boost::make_optional(_json.asString()) : boost::none),
              "as_string");
        const auto number = _value.as_double();
        check(number.has_value() == _json.isNumeric(), "as_double gives a value for another type");
        if (number) {
            const double expected = _json.asDouble();
            check(*number == expected || (*number != *number && expected != expected), "as_double");
        }
        check_int(_value, _json);
    }

    // Integral numbers outside the int range throw the reader's logic error;
    // nothing else throws.
    static void check_int(const lc::value& _value, const Json::Value& _json) {
        boost::optional<int> number;
        bool threw = false;
        try {
            number = _value.as_int();
        } catch (const Json::LogicError&) {
            threw = true;
        }
        if (_json.isIntegral() && !_json.isInt()) {
            check(threw, "as_int of a number outside the int range did not throw");
        } else {
            check(!threw, "as_int threw for a number in range");
            check(number == (_json.isIntegral() ? boost::make_optional(_json.asInt()) : boost::none), "as_int");
        }
    }

    static void check_no_scalar(const lc::value& _value) {
        check(!_value.as_bool() && !_value.as_string() && !_value.as_double() && !_value.as_int(),
              "a dictionary or an array gives a scalar");
    }

    Json::Value m_root{Json::objectValue};
};

template <typename T>
void checker::check_lookup(const lc::config& _document, const key_path& _path, const char* _type_name) {
    // The path as get_by_path sees it: at most max_path_keys keys.
    const key_path path(_path.begin(),
                        _path.begin() + static_cast<std::ptrdiff_t>(std::min(_path.size(), max_path_keys)));
    const std::string field_error = std::string("Can not find field <") + _type_name + ">: " + join(path, path.size());

    // The expected outcome, by a plain walk of the reader's view.
    std::string error;
    const Json::Value* found = nullptr;
    if (!path.empty()) {
        const Json::Value* current = &m_root;
        for (std::size_t i = 0; i + 1 < path.size() && error.empty(); ++i) {
            const Json::Value* next = current->find(path[i].data(), path[i].data() + path[i].size());
            if (next == nullptr || !next->isObject()) {
                error = "Can not find object <object>: " + join(path, i + 1) + ", path: " + join(path, path.size());
            }
            current = next;
        }
        if (error.empty()) {
            found = current->find(path.back().data(), path.back().data() + path.back().size());
        }
    }

    bool converts = false;
    bool throws = false;
    if (error.empty() && found != nullptr) {
        if constexpr (std::is_same_v<T, std::string>) {
            converts = found->isString();
        } else if constexpr (std::is_same_v<T, bool>) {
            converts = found->isBool();
        } else if constexpr (std::is_same_v<T, int>) {
            converts = found->isIntegral();
            throws = converts && !found->isInt();
        } else if constexpr (std::is_same_v<T, double>) {
            converts = found->isNumeric();
        } else {
            converts = found->isArray();
        }
    }
    if (error.empty() && !converts) {
        error = field_error;
    }

    boost::optional<lc::result<T>> result;
    try {
        result.emplace(get_by_path<T>(_document, path));
    } catch (const Json::LogicError&) {
        check(throws, "get_by_path threw");
        return;
    }
    check(!throws, "get_by_path<int> of a number outside the int range did not throw");
    if (!error.empty()) {
        check(!result->ok() && !result->try_get(), "get_by_path found a value where there is none");
        if (result->reason() != error) {
            fail("get_by_path error \"" + result->reason() + "\", expected \"" + error + "\"");
        }
        return;
    }
    check(result->ok() && result->reason().empty(), "get_by_path found nothing where there is a value");
    const auto value = result->try_get();
    check(value.has_value(), "try_get of a result that holds a value");
    if constexpr (std::is_same_v<T, std::string>) {
        check(*value == found->asString(), "get_by_path<string>");
    } else if constexpr (std::is_same_v<T, bool>) {
        check(*value == found->asBool(), "get_by_path<bool>");
    } else if constexpr (std::is_same_v<T, int>) {
        check(*value == found->asInt(), "get_by_path<int>");
    } else if constexpr (std::is_same_v<T, double>) {
        const double expected = found->asDouble();
        check(*value == expected || (*value != *value && expected != expected), "get_by_path<double>");
    } else {
        check(static_cast<Json::ArrayIndex>(std::distance(value->begin(), value->end())) == found->size(),
              "get_by_path<array> length");
    }
}

void check_lookups(checker& _checker, const lc::config& _document, const key_path& _path) {
    _checker.check_lookup<std::string>(_document, _path, "string");
    _checker.check_lookup<bool>(_document, _path, "bool");
    _checker.check_lookup<int>(_document, _path, "int");
    _checker.check_lookup<double>(_document, _path, "double");
    _checker.check_lookup<lc::array>(_document, _path, "array");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
    const std::string input(reinterpret_cast<const char*>(_data), _size);

    // Key paths up to a line "%%", then the document.
    std::vector<key_path> paths;
    std::string text = input;
    const std::size_t separator = input.rfind("%%\n", 0) == 0 ? 0 : input.find("\n%%\n");
    if (separator != std::string::npos) {
        const std::string header = input.substr(0, separator);
        text = input.substr(separator == 0 ? 3 : separator + 4);
        std::istringstream lines(header);
        std::string line;
        while (std::getline(lines, line) && paths.size() < 16) {
            key_path& path = paths.emplace_back();
            std::size_t start = 0;
            while (true) {
                const std::size_t end = line.find('/', start);
                path.push_back(line.substr(start, end - start));
                if (end == std::string::npos) {
                    break;
                }
                start = end + 1;
            }
        }
    }

    // The reader's own view, with the settings the library uses.
    Json::Value reference;
    bool parses = false;
    {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        std::istringstream stream(text);
        std::string errors;
        try {
            parses = Json::parseFromStream(builder, stream, &reference, &errors);
        } catch (const Json::Exception&) {
            parses = false;
        }
    }

    std::unique_ptr<lc::config> document;
    try {
        std::istringstream stream(text);
        document = lc::config::create<lc::type::json>(stream);
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        if (what.rfind("Cannot parse json: ", 0) != 0) {
            fail("create threw another runtime error: " + what);
        }
        check(!parses, "create failed on a document that the reader accepts");
        return 0;
    } catch (const std::exception& e) {
        fail(std::string("create threw something other than the parse error: ") + e.what());
    } catch (...) {
        fail("create threw something that is not an exception");
    }
    check(parses, "create accepted a document that the reader rejects");

    checker checks(reference);
    checks.check_document(*document);
    check_lookups(checks, *document, key_path{});
    for (const auto& path : paths) {
        check_lookups(checks, *document, path);
    }
    for (const auto& path : checks.walked) {
        check_lookups(checks, *document, path);
    }
    return 0;
}
