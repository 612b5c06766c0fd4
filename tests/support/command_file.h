#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <string>
#include <string_view>

#include "base/decode_error.h"
#include "storage/command_queue.h"

namespace velmora {

// A command file read as the application reads it: every key required with
// its exact type, checked in the order "command", "url", "date", the first
// failure reported; unknown keys are ignored. Any JSON number is a date.
inline Result<VelmoraStorage::Command> decodeCommand(const boost::json::value& document) {
  constexpr char kFile[] = "command";
  const boost::json::object* object = document.if_object();
  if (object == nullptr) return valueIsNot(kFile, "an object");
  VelmoraStorage::Command command;
  for (const char* key : {"command", "url"}) {
    const boost::json::value* member = object->if_contains(key);
    if (member == nullptr) return lacksMember(kFile, key);
    if (!member->is_string()) return memberIsNot(kFile, key, "a string");
    (std::string_view(key) == "command" ? command.command : command.url) = member->get_string();
  }
  const boost::json::value* date = object->if_contains("date");
  if (date == nullptr) return lacksMember(kFile, "date");
  if (!date->is_number()) return memberIsNot(kFile, "date", "a number");
  command.date = date->to_number<double>();
  return command;
}

}  // namespace velmora
