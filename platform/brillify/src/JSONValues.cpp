#include "brillify/JSONValues.h"

#include <cmath>

#include "JSONWriter.h"

namespace {
const std::string kEmpty;

// A null element stands for JSON null.
JSONBase* Referenced(JSONBase* value) {
  if (!value) return new JSONNullValue();
  value->retain();
  return value;
}
}  // namespace

void JSONNullValue::write(JSONWriter& writer) const { writer.Null(); }

void JSONBooleanValue::write(JSONWriter& writer) const { writer.Bool(value_); }

void JSONIntegerValue::write(JSONWriter& writer) const { writer.Int64(value_); }

void JSONDoubleValue::write(JSONWriter& writer) const {
  // JSON has no NaN or infinity.
  if (std::isfinite(value_)) {
    writer.Double(value_);
  } else {
    writer.Null();
  }
}

JSONStringValue::JSONStringValue(const char* value) : value_(value ? value : "") {}

void JSONStringValue::write(JSONWriter& writer) const {
  writer.String(value_.data(), static_cast<rapidjson::SizeType>(value_.size()));
}

JSONArrayValue::~JSONArrayValue() { clear(); }

void JSONArrayValue::append(JSONBase* value) { elements_.push_back(Referenced(value)); }

void JSONArrayValue::clear() {
  for (JSONBase* element : elements_) element->release();
  elements_.clear();
}

JSONBase* JSONArrayValue::at(std::size_t index) const { return index < elements_.size() ? elements_[index] : nullptr; }

void JSONArrayValue::write(JSONWriter& writer) const {
  writer.StartArray();
  for (const JSONBase* element : elements_) element->write(writer);
  writer.EndArray();
}

JSONObjectValue::~JSONObjectValue() {
  for (auto& pair : pairs_) pair.second->release();
}

void JSONObjectValue::appendPair(const char* name, JSONBase* value) {
  pairs_.emplace_back(name ? name : "", Referenced(value));
}

bool JSONObjectValue::removePairs(const char* name) {
  const std::string key = name ? name : "";
  bool removed = false;
  for (auto it = pairs_.begin(); it != pairs_.end();) {
    if (it->first == key) {
      it->second->release();
      it = pairs_.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  return removed;
}

JSONBase* JSONObjectValue::findValue(const char* name) const {
  const char* key = name ? name : "";
  for (const auto& pair : pairs_) {
    if (pair.first == key) return pair.second;
  }
  return nullptr;
}

void JSONObjectValue::write(JSONWriter& writer) const {
  writer.StartObject();
  for (const auto& pair : pairs_) {
    writer.Key(pair.first.data(), static_cast<rapidjson::SizeType>(pair.first.size()));
    pair.second->write(writer);
  }
  writer.EndObject();
}

void JSONObjectValue::replacePair(const char* name, JSONBase* value) {
  // Referenced first: `value` may be held only by a pair about to go.
  JSONBase* held = Referenced(value);
  removePairs(name);
  pairs_.emplace_back(name ? name : "", held);
}

void JSONObjectValue::replaceString(const char* name, const char* value) {
  auto* string = new JSONStringValue(value);
  replacePair(name, string);
  string->release();
}

void JSONObjectValue::replaceBoolean(const char* name, bool value) {
  auto* boolean = new JSONBooleanValue(value);
  replacePair(name, boolean);
  boolean->release();
}

const JSONStringValue* JSONObjectValue::findString(const char* name) const {
  const JSONBase* value = findValue(name);
  return value && value->type() == JSONType::String ? static_cast<const JSONStringValue*>(value) : nullptr;
}

const JSONBooleanValue* JSONObjectValue::findBoolean(const char* name) const {
  const JSONBase* value = findValue(name);
  return value && value->type() == JSONType::Boolean ? static_cast<const JSONBooleanValue*>(value) : nullptr;
}

JSONArrayValue* JSONObjectValue::findArray(const char* name) const {
  JSONBase* value = findValue(name);
  return value && value->type() == JSONType::Array ? static_cast<JSONArrayValue*>(value) : nullptr;
}

JSONObjectValue* JSONObjectValue::findObject(const char* name) const {
  JSONBase* value = findValue(name);
  return value && value->type() == JSONType::Object ? static_cast<JSONObjectValue*>(value) : nullptr;
}

const std::string& JSONObjectValue::stringOrEmpty(const char* name) const {
  const JSONStringValue* value = findString(name);
  return value ? value->value() : kEmpty;
}
