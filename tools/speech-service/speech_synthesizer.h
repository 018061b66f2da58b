// Speech and test tones as 16-bit mono samples at 16000 Hz, the rate the
// service answers in.
//
// Speech comes from espeak-ng, whose state is process-wide: synthesis is
// serialized by a process-wide lock, so any thread may call these.
#ifndef SPEECH_SERVICE_SPEECH_SYNTHESIZER_H
#define SPEECH_SERVICE_SPEECH_SYNTHESIZER_H

#include <cstdint>
#include <string>
#include <vector>

namespace speech_service {

constexpr int kOutputRate = 16000;

struct SpeechRequest {
  std::string text;
  bool ssml = false;
  std::string language;  // "en-US" style; "" for English
  std::string voice;     // an espeak-ng voice name; "" or unknown: by language
};

// Speaks the request; `voice` gets the name of the espeak-ng voice that
// spoke. False, with `error` set, when espeak-ng cannot be started or fails.
// The same request need not give the same samples twice: espeak-ng varies
// its output slightly from run to run.
bool Synthesize(const SpeechRequest& request, std::vector<std::int16_t>* samples, std::string* voice,
                std::string* error);

// A sine of `hz` at half full scale (-6 dBFS), `ms` long.
std::vector<std::int16_t> Tone(int hz, long ms);

// The samples as a WAVE file: the 44-byte header (PCM, mono, 16 bit,
// `rate`) and the samples in little-endian order.
std::string WaveBytes(const std::vector<std::int16_t>& samples, int rate);

}  // namespace speech_service

#endif  // SPEECH_SERVICE_SPEECH_SYNTHESIZER_H
