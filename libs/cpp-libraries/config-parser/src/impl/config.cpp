#include <config_parser/config.hpp>

namespace orq::libs::config {

config::~config() = default;

const dictionary* config::find_parent(std::initializer_list<std::string> _path, std::string& _error) const {
    const dictionary* current = &get_root();
    std::string reached;
    for (auto key = _path.begin(); key + 1 < _path.end(); ++key) {
        if (key != _path.begin()) {
            reached += '.';
        }
        reached += *key;
        const auto next = current->get<const dictionary&>(*key);
        if (!next) {
            _error = "Can not find object <object>: " + reached + ", path: " + join(_path);
            return nullptr;
        }
        current = &*next;
    }
    return current;
}

std::string config::join(std::initializer_list<std::string> _path) {
    std::string joined;
    for (auto key = _path.begin(); key != _path.end(); ++key) {
        if (key != _path.begin()) {
            joined += '.';
        }
        joined += *key;
    }
    return joined;
}

}  // namespace orq::libs::config
