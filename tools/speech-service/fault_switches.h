// The speech service's fault switches: what a request asks the service to do
// wrong, so that one running service can produce every answer a client must
// cope with.
//
// A request selects them through its response voice: "fault:" followed by
// comma-separated items, each a name or name=value, for example
// "fault:tone=1000,ms=500" or "fault:piece=37,piece-ms=0". Any other voice
// name is a voice.
//
//   voice=NAME        speak with this voice (beside other switches)
//   tone=HZ           a sine tone of HZ (1..7999) instead of speech
//   ms=N              the tone's length, 1..60000 ms (default 1000)
//   instant           answer at once with pre-made audio: the tone (440 Hz
//                     unless tone= says otherwise) of ms= length, made once
//                     per frequency and length and kept, whatever the text;
//                     for measuring a client without the service's own work
//   status=N          answer with status N and no results
//   http-status=N     the text answer carries HTTP status N (100..599), its
//                     body as it would be otherwise
//   no-status         answer without a status
//   empty-results     status 0 and an empty result list
//   missing-results   status 0 and no result list
//   missing-bytes     the result has no audio bytes (inline answers)
//   empty-bytes       the result's audio bytes are ""
//   missing-url       the result has no audio URL (URL answers)
//   empty-url         the result's audio URL is ""
//   malformed-json    the answer is cut in the middle of its JSON
//   delay=MS          answer after MS milliseconds
//   no-answer         never answer (until the service stops)
//   fetch-status=N    the audio URL answers with HTTP status N
//   fetch-delay=MS    the audio URL answers after MS milliseconds
//   truncate=BYTES    the audio URL declares the whole length but sends only
//                     BYTES, then closes the connection
//   piece=BYTES       the audio URL sends the body in pieces of BYTES
//                     (default 4096)
//   piece-ms=MS       pause between pieces (default 2)
//
// Faults a real cloud shows:
//   reset             the text answer stops half-way and its connection
//                     closes: the declared length is never reached
//   trickle=MS        the text answer in 32 pieces, MS milliseconds apart
//   redirect          the audio URL answers 302 once, pointing at itself
//   chunked           the audio URL sends the body chunked, with no length
//   extra-chunks      the WAVE has a "LIST" chunk (of odd size) between its
//                     "fmt " and its "data" (inline and by URL)
//   rate=HZ           the WAVE header declares HZ (4000..48000) instead of
//                     16000; the samples are the same
//
// Audio a client must refuse or read with care (inline and by URL; the
// samples stay the same):
//   not-wave          an HTML error page instead of a WAVE
//   format=N          the header declares format N (with extensible: the
//                     sub-format)
//   extensible        the "fmt " chunk is WAVE_FORMAT_EXTENSIBLE
//   channels=N, bits=N  the header declares N channels, N bits a sample
//   data-size=N       the "data" chunk declares N bytes (0 and 4294967295
//                     mean "to the end")
//   trailing-chunk    a chunk of loud bytes follows the "data" chunk
//   base64=HOW        the inline text is damaged: "lines" (broken into
//                     lines of 76 characters, as RFC 2045 allows), "junk"
//                     (a "!" in the middle), "padding" ("==" in the middle)
//                     or "length" (one character over whole groups)
//
// Switches that set a delay or the pieces of a body override the timing
// profile (Options::profile) for that request.
#ifndef SPEECH_SERVICE_FAULT_SWITCHES_H
#define SPEECH_SERVICE_FAULT_SWITCHES_H

#include <string>

namespace speech_service {

struct FetchFaults {
  int status = 200;
  long delay_ms = 0;
  long truncate_bytes = -1;  // -1: the whole body
  long piece_bytes = 4096;
  long piece_ms = 2;
  bool paced = false;  // piece= or piece-ms= given: the profile does not pace this body
  bool redirect = false;
  bool chunked = false;
};

struct FaultSwitches {
  std::string voice;  // the voice to speak with; "" for the request's language
  int tone_hz = 0;    // 0: speech
  long tone_ms = 1000;
  bool instant = false;
  bool status_given = false;
  int status = 0;
  int http_status = 0;  // 0: the status the answer would have
  bool no_status = false;
  bool empty_results = false;
  bool missing_results = false;
  bool missing_bytes = false;
  bool empty_bytes = false;
  bool missing_url = false;
  bool empty_url = false;
  bool malformed_json = false;
  long delay_ms = 0;
  bool delay_given = false;
  bool no_answer = false;
  bool reset = false;
  long trickle_ms = 0;
  bool extra_chunks = false;
  int wave_rate = 16000;  // the rate the WAVE header declares
  int wave_format = 1;
  bool extensible = false;
  int wave_channels = 1;
  int wave_bits = 16;
  long data_size = -1;  // -1: the size of the samples
  bool trailing_chunk = false;
  bool not_wave = false;
  std::string base64;  // how the inline text is damaged; "" for not at all
  // Whether the switches change the WAVE from what the service makes.
  bool ShapesWave() const {
    return extra_chunks || wave_rate != 16000 || wave_format != 1 || extensible || wave_channels != 1 ||
           wave_bits != 16 || data_size >= 0 || trailing_chunk || not_wave;
  }
  FetchFaults fetch;
};

// Reads a response voice. False, with `error` saying why, for an unknown
// switch or a value out of range.
bool ParseFaultSwitches(const std::string& voice, FaultSwitches* switches, std::string* error);

}  // namespace speech_service

#endif  // SPEECH_SERVICE_FAULT_SWITCHES_H
