// Preloaded into the agent by a test: writev throws when it is asked to write
// the trigger frame, so that an exception escapes the agent's loop the way a
// failing handler's would. Every other call goes to the real writev.

#include <dlfcn.h>
#include <sys/uio.h>

#include <cstring>
#include <stdexcept>

namespace {

constexpr char trigger[] = "\x01throw-from-writev";

bool is_trigger(const iovec& _part) {
    return _part.iov_len == sizeof trigger - 1 && std::memcmp(_part.iov_base, trigger, sizeof trigger - 1) == 0;
}

}  // namespace

extern "C" ssize_t writev(int _fd, const iovec* _parts, int _count) {
    for (int i = 0; i < _count; ++i) {
        if (is_trigger(_parts[i])) {
            throw std::runtime_error("writev refused the trigger frame");
        }
    }
    using writev_function = ssize_t (*)(int, const iovec*, int);
    static const auto real = reinterpret_cast<writev_function>(::dlsym(RTLD_NEXT, "writev"));
    return real(_fd, _parts, _count);
}
