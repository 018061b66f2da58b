// Header lines of messages in their text form, for the server's own answers
// and for the session's headers: working on the text form lets every header
// the text form knows be stored, merged and answered without a
// field-by-field copy.
//
// Plain functions without state; any thread may call them.
#ifndef CORVEX_MESSAGE_HEADERS_H
#define CORVEX_MESSAGE_HEADERS_H

#include <string>
#include <vector>

#include "corvex/mrcp_message.h"

namespace corvex {

// "Name: value" lines of the message's headers, without Channel-Identifier
// and Content-Length (the channel's and the body's own); empty when the text
// form cannot carry the message.
std::vector<std::string> HeaderLines(const mrcp_message_t* message);

// The name of a "Name: value" line.
std::string HeaderName(const std::string& line);

// Header names match without regard to case.
bool SameName(const std::string& a, const std::string& b);

// Parses, into pool, the message's text with `lines` ("Name: value") in
// place of its headers of those names (added when it has none), and without
// its headers named in `removed`. Null when the text form cannot carry it.
mrcp_message_t* WithHeaders(const mrcp_message_t* message, const std::vector<std::string>& lines, apr_pool_t* pool,
                            const std::vector<std::string>& removed = {});

// The message in its text form; empty when the text form cannot carry it.
std::string Render(const mrcp_message_t* message);

// "1,2,3": an Active-Request-Id-List.
std::string IdList(const std::vector<mrcp_request_id>& ids);

// The ids of an Active-Request-Id-List ("1,2, 3"); what is no id is skipped.
std::vector<mrcp_request_id> ParseIdList(const apt_str_t& text);

}  // namespace corvex

#endif  // CORVEX_MESSAGE_HEADERS_H
