// SPDX-License-Identifier: MIT
#include "connection.hpp"

#include <condition_variable>

namespace zarn::app {

namespace {

std::mutex token_mutex;
std::condition_variable token_free;
bool token_taken = false;

std::mutex call_mutex;

thread_local std::chrono::milliseconds next_open_wait = kJobOpenWait;

} // namespace

bool acquire_connection(std::chrono::milliseconds limit)
{
  std::unique_lock lock(token_mutex);
  if (!token_free.wait_for(lock, limit, [] { return !token_taken; }))
    return false;
  token_taken = true;
  return true;
}

void release_connection()
{
  {
    std::lock_guard lock(token_mutex);
    token_taken = false;
  }
  token_free.notify_one();
}

void set_open_wait(std::chrono::milliseconds limit) { next_open_wait = limit; }

std::chrono::milliseconds open_wait()
{
  // One use only: the next open on this thread is a job's again.
  const auto limit = next_open_wait;
  next_open_wait = kJobOpenWait;
  return limit;
}

LibraryCall::LibraryCall() : lock_(call_mutex) {}

} // namespace zarn::app
