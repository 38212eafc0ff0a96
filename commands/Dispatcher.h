// Turns a batch of commands from the server into actions and replies.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include <rapidjson/document.h>

namespace mv {

// Runs every command of a parsed batch {"messages":[{"payload":{...}},...]}
// in order, on the main thread. Malformed parts are skipped silently.
void DispatchMultiInput(const rapidjson::Document& batch);
// The same from the element at `first`, until `until` has passed after a
// command: answers where to go on, nothing once the batch is done (or the
// program is ending). Input posted so far has taken effect when it returns.
std::optional<size_t> DispatchMultiInput(const rapidjson::Document& batch, size_t first,
                                         std::chrono::steady_clock::time_point until);

// Runs one command payload and sends its reply when the command has one.
void DispatchInputDoc(const rapidjson::Value& payload);

}  // namespace mv
