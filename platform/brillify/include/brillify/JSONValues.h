// Brillify SDK: the plain JSON values (null, boolean, numbers, string, array,
// object), reference-counted as JSONBase describes.
#ifndef BRILLIFY_JSON_VALUES_H
#define BRILLIFY_JSON_VALUES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "brillify/JSONBase.h"

class JSONNullValue : public JSONBase {
 public:
  JSONNullValue() = default;
  JSONType type() const override { return JSONType::Null; }
  void write(JSONWriter& writer) const override;

 protected:
  ~JSONNullValue() override = default;
};

class JSONBooleanValue : public JSONBase {
 public:
  explicit JSONBooleanValue(bool value) : value_(value) {}
  bool value() const { return value_; }
  JSONType type() const override { return JSONType::Boolean; }
  void write(JSONWriter& writer) const override;

 protected:
  ~JSONBooleanValue() override = default;

 private:
  bool value_;
};

class JSONIntegerValue : public JSONBase {
 public:
  explicit JSONIntegerValue(std::int64_t value) : value_(value) {}
  std::int64_t value() const { return value_; }
  JSONType type() const override { return JSONType::Integer; }
  void write(JSONWriter& writer) const override;

 protected:
  ~JSONIntegerValue() override = default;

 private:
  std::int64_t value_;
};

class JSONDoubleValue : public JSONBase {
 public:
  explicit JSONDoubleValue(double value) : value_(value) {}
  double value() const { return value_; }
  JSONType type() const override { return JSONType::Double; }
  void write(JSONWriter& writer) const override;

 protected:
  ~JSONDoubleValue() override = default;

 private:
  double value_;
};

class JSONStringValue : public JSONBase {
 public:
  // Copies the text; null counts as "".
  explicit JSONStringValue(const char* value);
  explicit JSONStringValue(std::string value) : value_(std::move(value)) {}
  const std::string& value() const { return value_; }
  JSONType type() const override { return JSONType::String; }
  void write(JSONWriter& writer) const override;

 protected:
  ~JSONStringValue() override = default;

 private:
  std::string value_;
};

class JSONArrayValue : public JSONBase {
 public:
  JSONArrayValue() = default;
  // Takes a reference to `value`; null appends a JSON null.
  void append(JSONBase* value);
  // Drops every element's reference.
  void clear();
  std::size_t size() const { return elements_.size(); }
  // The element at `index` (borrowed), or null past the end.
  JSONBase* at(std::size_t index) const;
  JSONType type() const override { return JSONType::Array; }
  void write(JSONWriter& writer) const override;

 protected:
  ~JSONArrayValue() override;

 private:
  std::vector<JSONBase*> elements_;  // one reference each
};

// Pairs keep their order; a name may occur more than once, and lookups find
// the first occurrence.
class JSONObjectValue : public JSONBase {
 public:
  JSONObjectValue() = default;
  // Appends a pair, taking a reference to `value`; null stands for a JSON
  // null. A null name counts as "".
  void appendPair(const char* name, JSONBase* value);
  // Removes every pair of that name; false when there was none.
  bool removePairs(const char* name);
  std::size_t countOfPairs() const { return pairs_.size(); }
  const std::string& nameOfPair(std::size_t index) const { return pairs_.at(index).first; }
  JSONBase* valueOfPair(std::size_t index) const { return pairs_.at(index).second; }
  // The value of the first pair of that name (borrowed), or null.
  JSONBase* findValue(const char* name) const;
  JSONType type() const override { return JSONType::Object; }
  void write(JSONWriter& writer) const override;

 protected:
  ~JSONObjectValue() override;

  // Helpers for the typed objects built on this one.
  // Replaces all pairs of that name by one pair holding `value` (referenced).
  void replacePair(const char* name, JSONBase* value);
  void replaceString(const char* name, const char* value);
  void replaceBoolean(const char* name, bool value);
  // The first pair's value when it is of that type, else null.
  const JSONStringValue* findString(const char* name) const;
  const JSONBooleanValue* findBoolean(const char* name) const;
  JSONArrayValue* findArray(const char* name) const;
  JSONObjectValue* findObject(const char* name) const;
  // A string member's text, or "" when absent or not a string.
  const std::string& stringOrEmpty(const char* name) const;

 private:
  std::vector<std::pair<std::string, JSONBase*>> pairs_;  // one reference each
};

#endif  // BRILLIFY_JSON_VALUES_H
