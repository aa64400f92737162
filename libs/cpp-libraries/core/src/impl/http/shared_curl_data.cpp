#include "shared_curl_data.hpp"

#include <core/exception.hpp>

#include <string>

namespace orq::libs::core::http {

// Every kind of data libcurl may lock has its own mutex.
static_assert(CURL_LOCK_DATA_LAST <= 8, "a libcurl lock-data kind has no mutex");

namespace detail {

void initialise_curl() {
    // A function-local static is initialised exactly once, and other threads
    // wait until it is.
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK) {
        throw exception(std::string("curl_global_init failed:") + curl_easy_strerror(code), ORQ_SOURCE_LOCATION);
    }
}

}  // namespace detail

shared_curl_data::shared_curl_data() {
    detail::initialise_curl();
    m_data.reset(curl_share_init());
    CURLSH* const share_handle = m_data.get();
    ORQ_CHECK(share_handle != NULL);
    curl_share_setopt(share_handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_handle, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_handle, CURLSHOPT_LOCKFUNC, &shared_curl_data::lock);
    curl_share_setopt(share_handle, CURLSHOPT_UNLOCKFUNC, &shared_curl_data::unlock);
}

shared_curl_data::~shared_curl_data() {
    // curl_share_cleanup calls the lock functions itself: the handle goes
    // while the mutexes still exist.
    m_data.reset();
}

// No exception may travel back through libcurl: a kind beyond the table or a
// failing lock ends the process here, in a defined way.
void shared_curl_data::lock(CURL* /*_handle*/, curl_lock_data _data, curl_lock_access /*_access*/,
                            void* _self) noexcept {
    static_cast<shared_curl_data*>(_self)->m_mutexes.at(static_cast<std::size_t>(_data)).lock();
}

void shared_curl_data::unlock(CURL* /*_handle*/, curl_lock_data _data, void* _self) noexcept {
    static_cast<shared_curl_data*>(_self)->m_mutexes.at(static_cast<std::size_t>(_data)).unlock();
}

}  // namespace orq::libs::core::http
