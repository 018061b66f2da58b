#include "brillify/BrillServerJSON.h"

#include <rapidjson/document.h>

#include <climits>
#include <string>

namespace {

constexpr const char* kStatus = "Status";
constexpr const char* kErrorMessage = "ErrorMessage";
constexpr const char* kAllResults = "AllResults";

// Deeper answers are refused rather than read: reading recurses.
constexpr int kMaxDepth = 64;

JSONBase* Read(const rapidjson::Value& value, int depth);

// Appends the members of `value` to `object`; false when nested too deep.
bool Fill(JSONObjectValue* object, const rapidjson::Value& value, int depth) {
  for (auto it = value.MemberBegin(); it != value.MemberEnd(); ++it) {
    JSONBase* member = Read(it->value, depth + 1);
    if (!member) return false;
    object->appendPair(std::string(it->name.GetString(), it->name.GetStringLength()).c_str(), member);
    member->release();
  }
  return true;
}

// A new value (one reference) copied from `value`, or null when nested too
// deep.
JSONBase* Read(const rapidjson::Value& value, int depth) {
  if (depth > kMaxDepth) return nullptr;
  switch (value.GetType()) {
    case rapidjson::kNullType:
      return new JSONNullValue();
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
      return new JSONBooleanValue(value.GetBool());
    case rapidjson::kNumberType:
      if (value.IsInt64()) return new JSONIntegerValue(value.GetInt64());
      return new JSONDoubleValue(value.GetDouble());
    case rapidjson::kStringType:
      return new JSONStringValue(std::string(value.GetString(), value.GetStringLength()));
    case rapidjson::kArrayType: {
      auto* array = new JSONArrayValue();
      for (const auto& element : value.GetArray()) {
        JSONBase* copy = Read(element, depth + 1);
        if (!copy) {
          array->release();
          return nullptr;
        }
        array->append(copy);
        copy->release();
      }
      return array;
    }
    case rapidjson::kObjectType: {
      auto* object = new JSONObjectValue();
      if (!Fill(object, value, depth)) {
        object->release();
        return nullptr;
      }
      return object;
    }
  }
  return nullptr;
}

// The result list: only its objects, each as a CommandResultJSON.
JSONArrayValue* ReadResults(const rapidjson::Value& value) {
  auto* results = new JSONArrayValue();
  for (const auto& element : value.GetArray()) {
    if (!element.IsObject()) continue;
    auto* result = new CommandResultJSON();
    const bool read = Fill(result, element, 2);
    if (read) results->append(result);
    result->release();
    if (!read) {
      results->release();
      return nullptr;
    }
  }
  return results;
}

}  // namespace

BrillServerJSON* BrillServerJSON::parse(const char* text, std::size_t length) {
  if (!text) return nullptr;
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text, length);
  if (document.HasParseError() || !document.IsObject()) return nullptr;

  auto* answer = new BrillServerJSON();
  bool results_read = false;
  for (auto it = document.MemberBegin(); it != document.MemberEnd(); ++it) {
    const std::string name(it->name.GetString(), it->name.GetStringLength());
    JSONBase* member = nullptr;
    if (!results_read && name == kAllResults && it->value.IsArray()) {
      results_read = true;
      member = ReadResults(it->value);
    } else {
      member = Read(it->value, 1);
    }
    if (!member) {
      answer->release();
      return nullptr;
    }
    answer->appendPair(name.c_str(), member);
    member->release();
  }
  return answer;
}

bool BrillServerJSON::hasStatus() const {
  const JSONBase* status = findValue(kStatus);
  if (!status || status->type() != JSONType::Integer) return false;
  const std::int64_t value = static_cast<const JSONIntegerValue*>(status)->value();
  return value >= INT_MIN && value <= INT_MAX;
}

int BrillServerJSON::getStatus() const {
  if (!hasStatus()) return -1;
  return static_cast<int>(static_cast<const JSONIntegerValue*>(findValue(kStatus))->value());
}

bool BrillServerJSON::hasErrorMessage() const { return findString(kErrorMessage) != nullptr; }
const std::string& BrillServerJSON::getErrorMessage() const { return stringOrEmpty(kErrorMessage); }

bool BrillServerJSON::hasAllResults() const { return findArray(kAllResults) != nullptr; }

std::size_t BrillServerJSON::countOfAllResults() const {
  const JSONArrayValue* results = findArray(kAllResults);
  return results ? results->size() : 0;
}

CommandResultJSON* BrillServerJSON::elementOfAllResults(std::size_t index) const {
  const JSONArrayValue* results = findArray(kAllResults);
  return results ? dynamic_cast<CommandResultJSON*>(results->at(index)) : nullptr;
}
