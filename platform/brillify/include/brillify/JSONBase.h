// Brillify SDK: the base of every JSON value.
//
// Values are reference-counted. A new value holds one reference, owned by
// whoever created it; release() drops one and deletes the value at zero.
// Containers (objects, arrays) take their own reference to what is put into
// them and drop it when the element is removed or the container goes, so a
// creator releases its reference once it has handed the value over.
// Destructors are protected: a value is only ever deleted by its last
// release(). Values must not contain themselves (no cycles).
//
// Counts are atomic, but a value's contents are not guarded: one thread at a
// time may use it.
#ifndef BRILLIFY_JSON_BASE_H
#define BRILLIFY_JSON_BASE_H

#include <atomic>
#include <string>

// The SDK's JSON text writer (internal).
class JSONWriter;

enum class JSONType { Null, Boolean, Integer, Double, String, Array, Object };

class JSONBase {
 public:
  JSONBase(const JSONBase&) = delete;
  JSONBase& operator=(const JSONBase&) = delete;

  void retain() const;
  // Deletes the value when this was its last reference.
  void release() const;
  int referenceCount() const;

  virtual JSONType type() const = 0;
  // Appends the value's JSON text to the writer.
  virtual void write(JSONWriter& writer) const = 0;

 protected:
  JSONBase() = default;
  virtual ~JSONBase();

 private:
  mutable std::atomic<int> references_{1};
};

// The value as compact JSON text (UTF-8; control characters and quotes
// escaped).
std::string to_string(const JSONBase& value);

#endif  // BRILLIFY_JSON_BASE_H
