#pragma once

#include <core/exception.hpp>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

// Keeps two instances with the same configuration from running at once. The
// file holds the process id in decimal; it is neither locked nor removed.
namespace orq::libs::core::detail {

// Returns when no live process owns the file (missing, unreadable, not a number,
// 0, or a process that has exited); throws "Process is running" otherwise.
inline void check_pid(const std::string& _path) {
    long pid = 0;
    {
        std::ifstream file(_path);
        if (!file.is_open()) {
            return;
        }
        if (!(file >> pid)) {
            pid = 0;
        }
    }
    // Only a positive id names one process: kill() with 0 or a negative id
    // would probe a whole process group.
    if (pid <= 0 || pid != static_cast<pid_t>(pid)) {
        return;
    }
    if (::kill(static_cast<pid_t>(pid), 0) == 0) {
        throw exception("Process is running", ORQ_SOURCE_LOCATION);
    }
    if (errno == ESRCH) {
        return;
    }
    throw exception(std::string("write_pid: kill(): ") + std::strerror(errno), ORQ_SOURCE_LOCATION);
}

inline void write_pid(const std::string& _path) {
    std::ofstream file(_path, std::ios::out | std::ios::trunc);
    if (!file.is_open()) {
        throw exception("Error opening pid-file!", ORQ_SOURCE_LOCATION);
    }
    file << ::getpid();
}

}  // namespace orq::libs::core::detail
