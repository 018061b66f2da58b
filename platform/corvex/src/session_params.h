// SessionParams: the session parameters of one synthesizer channel as the
// server keeps them for its client (RFC 6787 section 6.1): which headers a
// SET-PARAMS may set and the values each may take, what is stored once the
// request succeeded, what a later SPEAK inherits and what GET-PARAMS
// answers.
//
// The parameters: the synthesizer's Kill-On-Barge-In, Voice-Gender,
// Voice-Age, Voice-Variant, Voice-Name, Prosody-Volume, Prosody-Rate,
// Speech-Language, Fetch-Hint and Audio-Fetch-Hint, each with a default that
// GET-PARAMS answers until it is set; and the generic Logging-Tag,
// Cache-Control, Fetch-Timeout and Vendor-Specific-Parameters, answered only
// once set. Vendor-Specific-Parameters is kept name by name: a later
// SET-PARAMS adds or replaces single names. A SET-PARAMS passed to the
// plugin holds for the requests received after it, as the plugin takes
// requests in order, and is dropped when it fails: only a SET-PARAMS that
// succeeded stays.
//
// Owned by its HostChannel, which calls it under the host's mutex. The
// Judge functions keep no state; any thread may call them.
#ifndef CORVEX_SESSION_PARAMS_H
#define CORVEX_SESSION_PARAMS_H

#include <string>
#include <utility>
#include <vector>

#include "corvex/mrcp_message.h"

namespace corvex {

class SessionParams {
 public:
  using Pair = std::pair<std::string, std::string>;  // a vendor parameter: name, value ("" for a name alone)

  // A SET-PARAMS or GET-PARAMS as the server judges it before the plugin
  // has it.
  struct Verdict {
    // 200, or 403 for a header the synthesizer resource does not define (or
    // a parameter it does not keep), or 404 for a value outside its grammar.
    mrcp_status_code_e status = MRCP_STATUS_CODE_SUCCESS;
    std::vector<std::string> offending;  // 403, 404: the headers at fault, "Name: value"
    // 200: SET-PARAMS's values ("Name: value") or GET-PARAMS's names.
    std::vector<std::string> lines;
    std::vector<Pair> vendor;  // 200: SET-PARAMS's vendor parameters, or the names GET-PARAMS asks for
  };

  static Verdict JudgeSet(const mrcp_message_t* request);
  static Verdict JudgeGet(const mrcp_message_t* request);

  // A SET-PARAMS (its JudgeSet verdict) went to the plugin.
  void Propose(mrcp_request_id id, const Verdict& set);
  // Its final answer came: its values stay when it succeeded, else they go.
  void Settle(mrcp_request_id id, bool success);
  // Header lines for a SPEAK: the session's values of the parameters it
  // does not carry, and Vendor-Specific-Parameters with the session's names
  // it does not carry added to its own.
  std::vector<std::string> ForSpeak(const mrcp_message_t* speak) const;
  // The header lines that answer a GET-PARAMS (its JudgeGet verdict): each
  // parameter asked for with its value or default (one never set and
  // without a default is left out); asked for nothing, every parameter.
  std::vector<std::string> Answer(const Verdict& get) const;

 private:
  struct Values {
    std::vector<std::string> lines;  // "Name: value", one per parameter, Vendor-Specific-Parameters apart
    std::vector<Pair> vendor;        // in the order first set
    void Apply(const Verdict& set);
    // The value of a parameter, else its default; empty when neither.
    std::string Value(const std::string& name) const;
  };
  // What holds now: the settled values with the proposed ones over them.
  Values Current() const;

  Values settled_;
  std::vector<std::pair<mrcp_request_id, Verdict>> proposed_;  // in the order received
};

}  // namespace corvex

#endif  // CORVEX_SESSION_PARAMS_H
