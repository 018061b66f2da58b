#include "brillify/JSONBase.h"

#include "JSONWriter.h"

JSONBase::~JSONBase() = default;

void JSONBase::retain() const { references_.fetch_add(1, std::memory_order_relaxed); }

void JSONBase::release() const {
  // Acquire-release so that the deleting thread sees every earlier write.
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

int JSONBase::referenceCount() const { return references_.load(std::memory_order_relaxed); }

std::string to_string(const JSONBase& value) {
  rapidjson::StringBuffer buffer;
  JSONWriter writer(buffer);
  value.write(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}
