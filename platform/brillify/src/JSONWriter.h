// The JSON text writer every value renders itself into (RapidJSON's).
#ifndef BRILLIFY_SRC_JSON_WRITER_H
#define BRILLIFY_SRC_JSON_WRITER_H

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

class JSONWriter : public rapidjson::Writer<rapidjson::StringBuffer> {
 public:
  explicit JSONWriter(rapidjson::StringBuffer& buffer) : rapidjson::Writer<rapidjson::StringBuffer>(buffer) {}
};

#endif  // BRILLIFY_SRC_JSON_WRITER_H
