#pragma once

#include <string>

// Constants fixed when the library is built (see the generated version unit).
namespace orq::libs::core::constants {
extern const std::string git_version;
extern const std::string git_subversion;
extern const std::string library_name;
extern const std::string project_name;
// Absolute path of the source tree root, without a trailing slash.
extern const std::string source_directory;
}  // namespace orq::libs::core::constants
