#pragma once

#include <core/async_operation_handle.hpp>
#include <core/http/method.hpp>
#include <core/http/result.hpp>

#include <boost/utility/string_view.hpp>

#include <memory>
#include <string>

namespace orq::libs::core::http {

// Talks to one HTTP service: every request's address is a path (with or
// without a leading "/", with an optional query) joined to the path of the
// base address the client was created with, with exactly one "/" between
// them. An address that would change the base's scheme, user information,
// host or port ("http://other", "//host", "host:port", "@host:port") is never
// sent: its result carries an error naming it.
//
// Synchronous requests block the caller; asynchronous ones run on the
// client's worker threads and deliver their result on the event loop that
// created the client. Requests with a disabled method are never sent and give
// status 200 with an empty body. A non-empty body is sent as JSON; POST and
// PUT always send a Content-Length, 0 without a body. Redirects are followed:
// after 301, 302 and 303 a POST continues as a GET without its body, after
// 307 and 308 as the same POST; the other methods keep their verb and body.
//
// Transport failures, HTTP error statuses and refused addresses are results,
// not exceptions.
//
// Threads: every request operation is safe from any thread, also
// concurrently; so are restart() and set_callback() on the handles. A
// callback passed to perform_async_request is installed before the request
// starts, so its result is never missed. A callback installed on a handle
// afterwards receives a result only if installed before that result reaches
// the loop, which a caller on the loop's own thread is sure of until it
// returns to the loop. Callbacks always run on the loop's thread. The client
// must be destroyed when no other thread uses it, and never on one of its
// worker threads (destruction waits for them).
class client {
public:
    using ptr = std::unique_ptr<client>;
    using handle_ptr = async_operation_handle<result>::ptr;
    using callback = async_operation_handle<result>::callback;

    virtual ~client() = default;

    // The views must stay valid for the call; it returns once the transfer ended.
    virtual result perform_request(method _method, boost::string_view _address) = 0;
    virtual result perform_request(method _method, boost::string_view _address, boost::string_view _body) = 0;

    // Dropping the returned handle drops the request: if no worker has picked
    // it up yet, it is never sent. restart() on the handle sends it again.
    virtual handle_ptr perform_async_request(method _method, std::string _address, callback _callback) = 0;
    virtual handle_ptr perform_async_request(method _method, std::string _address, std::string _body,
                                             callback _callback) = 0;
    // Without a callback: the result reaches the handle only through the
    // loop, so a caller on the loop's thread can install one afterwards.
    virtual handle_ptr perform_async_request(method _method, std::string _address, std::string _body) = 0;
};

}  // namespace orq::libs::core::http
