#pragma once

#include <config_parser/dictionary.hpp>
#include <config_parser/result.hpp>
#include <config_parser/value.hpp>

#include <boost/optional.hpp>
#include <boost/type_index.hpp>

#include <initializer_list>
#include <istream>
#include <memory>
#include <string>
#include <type_traits>

namespace orq::libs::config {

// Document formats.
enum class type { json = 0 };

// A parsed configuration document: immutable, read-only access by key and by
// key path. Every dictionary, value and array obtained from it stays valid
// exactly as long as the document itself. Concurrent readers need no lock.
class config {
public:
    using ptr = std::unique_ptr<config>;

    virtual ~config();

    // Parses the whole stream. A document that cannot be read or parsed (this
    // includes a stream that failed to open) throws std::runtime_error
    // "Cannot parse json: " followed by the parser's report.
    template <type Type>
    static std::unique_ptr<config> create(std::istream& _stream);

    // The top-level dictionary.
    virtual const dictionary& get_root() const = 0;

    // get<T> of the top-level dictionary.
    template <typename T>
    boost::optional<T> get(const std::string& _key) const {
        return get_root().template get<T>(_key);
    }

    // Follows the keys from the root: every key but the last must name an
    // object, the last is converted to T (std::string, bool, int, double or
    // array). Never throws for missing keys or other types; the result then
    // holds "Can not find object <object>: <keys up to the failing one>, path:
    // <path>" or "Can not find field <type>: <path>".
    template <typename T>
    result<T> get_by_path(std::initializer_list<std::string> _path) const;

protected:
    config() = default;
    config(const config&) = delete;
    config& operator=(const config&) = delete;

private:
    // The dictionary holding the last key of a non-empty path, or null with
    // the error text set.
    const dictionary* find_parent(std::initializer_list<std::string> _path, std::string& _error) const;
    static std::string join(std::initializer_list<std::string> _path);
};

template <>
std::unique_ptr<config> config::create<type::json>(std::istream& _stream);

namespace detail {

template <typename T>
std::string path_type_name() {
    if constexpr (std::is_same_v<T, std::string>) {
        return "string";
    } else if constexpr (std::is_same_v<T, array>) {
        return "array";
    } else {
        return boost::typeindex::type_id<T>().pretty_name();
    }
}

}  // namespace detail

template <typename T>
result<T> config::get_by_path(std::initializer_list<std::string> _path) const {
    static_assert(std::is_same_v<T, std::string> || std::is_same_v<T, bool> || std::is_same_v<T, int> ||
                      std::is_same_v<T, double> || std::is_same_v<T, array>,
                  "get_by_path supports std::string, bool, int, double and array");
    if (_path.size() == 0) {
        return error_reason{"Can not find field <" + detail::path_type_name<T>() + ">: "};
    }
    std::string error;
    const dictionary* parent = find_parent(_path, error);
    if (parent == nullptr) {
        return error_reason{std::move(error)};
    }
    if (auto found = parent->template get<T>(*(_path.end() - 1))) {
        return std::move(*found);
    }
    return error_reason{"Can not find field <" + detail::path_type_name<T>() + ">: " + join(_path)};
}

}  // namespace orq::libs::config
