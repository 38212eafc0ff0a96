// Turns a batch of commands from the server into actions and replies.
#pragma once

#include <rapidjson/document.h>

namespace mv {

// Runs every command of a parsed batch {"messages":[{"payload":{...}},...]}
// in order, on the main thread. Malformed parts are skipped silently.
void DispatchMultiInput(const rapidjson::Document& batch);

// Runs one command payload and sends its reply when the command has one.
void DispatchInputDoc(const rapidjson::Value& payload);

}  // namespace mv
