#pragma once

#include "dictionary_impl.hpp"
#include "value_impl.hpp"

#include <config_parser/config.hpp>

#include <json/value.h>

#include <istream>
#include <list>
#include <string>
#include <vector>

namespace orq::libs::config {

// A JSON document converted into the library's own tree. Every object and
// every array lives in a node-based list, so its address never changes while
// the tree is built and values can refer to it directly.
class config_json_impl final : public config {
public:
    explicit config_json_impl(std::istream& _stream);

    const dictionary& get_root() const override { return m_dictionaries.front(); }

private:
    void process_members(const Json::Value& _object, dictionary_impl& _dictionary);
    void process_value(const Json::Value& _json, const std::string& _name, dictionary_impl& _dictionary);
    void process_array(const Json::Value& _json, std::vector<value_impl>& _elements);

    // Every object of the document, the root first.
    std::list<dictionary_impl> m_dictionaries;
    // Every array of the document.
    std::list<std::vector<value_impl>> m_arrays;
};

}  // namespace orq::libs::config
