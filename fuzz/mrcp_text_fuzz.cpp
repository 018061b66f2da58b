// libFuzzer target for the MRCPv2 text form. Besides the sanitizers it
// checks the contract between parser and writer: whatever the parser
// accepts, the writer can write; that text reads back whole, with the same
// message length; and writing it again gives the same text. A refusal must
// name a line of the input.
#include <apr_general.h>
#include <apr_pools.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "corvex/mrcp_text.h"

namespace {

std::string Render(const mrcp_message_t* message) {
  const apr_size_t length = mrcp_text_render(message, nullptr, 0);
  if (length == 0) abort();
  std::string text(length + 1, '\0');
  if (mrcp_text_render(message, &text[0], text.size()) != length) abort();
  text.resize(length);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool initialized = apr_initialize() == APR_SUCCESS;
  if (!initialized) abort();
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  const char* text = reinterpret_cast<const char*>(data);
  const std::size_t lines = static_cast<std::size_t>(std::count(text, text + size, '\n')) + 1;
  for (unsigned flags : {0u, static_cast<unsigned>(MRCP_TEXT_BODY_TO_END)}) {
    mrcp_text_error_t error;
    apr_size_t consumed = 0;
    mrcp_message_t* message = mrcp_text_parse(text, size, flags, pool, &consumed, &error);
    if (!message) {
      if (error.reason[0] == '\0' || error.line == 0 || error.line > lines + 1) abort();
      continue;
    }
    if (consumed > size) abort();
    const std::string first = Render(message);
    apr_size_t again_consumed = 0;
    mrcp_message_t* again = mrcp_text_parse(first.data(), first.size(), 0, pool, &again_consumed, &error);
    if (!again || again_consumed != first.size()) abort();
    if (Render(again) != first) abort();
  }
  apr_pool_destroy(pool);
  return 0;
}
