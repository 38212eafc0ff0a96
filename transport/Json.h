// JSON helpers with which commands are read and replies are built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

namespace mv {

// Appends a member to the document's root object. A key already present is
// appended again, never replaced.
void AddString(rapidjson::Document& doc, const char* key, const std::string& value);
void AddInt(rapidjson::Document& doc, const char* key, int value);

// Compact JSON text of `value`.
std::string ToJsonString(const rapidjson::Value& value);

// The first member named `key` when `value` is an object and that member is
// a string (up to an embedded NUL); otherwise `fallback`.
std::string JsonStr(const rapidjson::Value& value, const char* key, const char* fallback);

// True when `value` is an object with a member named `key`, of any type.
bool JsonHas(const rapidjson::Value& value, const char* key);

// An integer request field: the member's value when it is an integral JSON
// number within the signed 32-bit range, otherwise 0.
int32_t JsonInt(const rapidjson::Value& value, const char* key);

// Parses strict JSON (one value, only white space after it) from `text` up to
// its first NUL byte; a leading UTF-8 byte-order mark is skipped. Parsing is
// iterative, so deeply nested input cannot exhaust the stack. Answers whether
// the text parsed.
bool ParseJson(std::string_view text, rapidjson::Document& doc);

}  // namespace mv
