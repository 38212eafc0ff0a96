#include "transport/Json.h"

#include <cstring>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace mv {

void AddString(rapidjson::Document& doc, const char* key, const std::string& value) {
  auto& alloc = doc.GetAllocator();
  rapidjson::Value name(key, static_cast<rapidjson::SizeType>(std::strlen(key)), alloc);
  rapidjson::Value text(value.data(), static_cast<rapidjson::SizeType>(value.size()), alloc);
  doc.AddMember(name, text, alloc);
}

void AddInt(rapidjson::Document& doc, const char* key, int value) {
  auto& alloc = doc.GetAllocator();
  rapidjson::Value name(key, static_cast<rapidjson::SizeType>(std::strlen(key)), alloc);
  doc.AddMember(name, rapidjson::Value(value), alloc);
}

std::string ToJsonString(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string JsonStr(const rapidjson::Value& value, const char* key, const char* fallback) {
  if (!value.IsObject()) return fallback;
  auto it = value.FindMember(key);
  if (it == value.MemberEnd() || !it->value.IsString()) return fallback;
  return std::string(it->value.GetString());  // stops at an embedded NUL
}

bool JsonHas(const rapidjson::Value& value, const char* key) {
  return value.IsObject() && value.FindMember(key) != value.MemberEnd();
}

int32_t JsonInt(const rapidjson::Value& value, const char* key) {
  if (!value.IsObject()) return 0;
  auto it = value.FindMember(key);
  if (it == value.MemberEnd() || !it->value.IsInt()) return 0;
  return it->value.GetInt();
}

bool ParseJson(std::string_view text, rapidjson::Document& doc) {
  text = text.substr(0, text.find('\0'));
  doc.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  return !doc.HasParseError();
}

}  // namespace mv
