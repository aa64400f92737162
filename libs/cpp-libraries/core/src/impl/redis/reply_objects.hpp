#pragma once

#include <hiredis/read.h>

namespace orq::libs::core::redis::detail {

// hiredis' reader functions that make replies in the memory of the per-thread
// pool: the reply and, when short, its text in one block. Such replies are
// freed by free_reply (and by the freeObject of these functions), never by
// freeReplyObject.
const redisReplyObjectFunctions& pool_reply_functions();

}  // namespace orq::libs::core::redis::detail
