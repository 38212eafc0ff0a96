// The commands that do more than one call. Each takes the command payload and
// the reply, whose "cmd" member is already set, and appends its own members.
#pragma once

#include <rapidjson/document.h>

namespace mv {

void CmdKeyboardEvent(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdInitCheck(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdPreDetectMonitors(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdDetectMonitors(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdEndDetectMonitors(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdSelectMonitor(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdTranslateXywh(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdShowBorderAbs(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdShowBorderRel(const rapidjson::Value& payload, rapidjson::Document& reply);
void CmdUnknown(const rapidjson::Value& payload, rapidjson::Document& reply);

// Empties the clipboard; nothing is reported.
void ClearClipboard();

}  // namespace mv
