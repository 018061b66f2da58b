#include "speech_synthesizer.h"

#include <espeak-ng/speak_lib.h>
#include <soxr.h>

#include <cctype>
#include <cmath>
#include <mutex>

namespace speech_service {

namespace {

std::mutex g_espeak_mutex;
int g_espeak_rate = 0;  // guarded by g_espeak_mutex; <= 0 until started or when it failed
bool g_espeak_tried = false;

int OnSamples(short* samples, int count, espeak_EVENT* events) {
  auto* out = static_cast<std::vector<std::int16_t>*>(events->user_data);
  if (samples && count > 0 && out) out->insert(out->end(), samples, samples + count);
  return 0;
}

// Needs g_espeak_mutex.
bool StartEspeak() {
  if (!g_espeak_tried) {
    g_espeak_tried = true;
    // DONT_EXIT: a missing voice data folder must not end the process.
    g_espeak_rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
    if (g_espeak_rate > 0) espeak_SetSynthCallback(&OnSamples);
  }
  return g_espeak_rate > 0;
}

// Needs g_espeak_mutex. A named voice espeak-ng knows, else the language's
// voice, else English.
void ChooseVoice(const SpeechRequest& request) {
  if (!request.voice.empty() && espeak_SetVoiceByName(request.voice.c_str()) == EE_OK) return;
  std::string language = request.language;
  for (char& c : language) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!language.empty()) {
    espeak_VOICE selector{};
    selector.languages = language.c_str();
    if (espeak_SetVoiceByProperties(&selector) == EE_OK) return;
  }
  espeak_SetVoiceByName("en");
}

std::vector<std::int16_t> ToOutputRate(const std::vector<std::int16_t>& in, int rate) {
  if (rate == kOutputRate || in.empty()) return in;
  std::vector<std::int16_t> out(
      static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * kOutputRate / rate)) + 16);
  std::size_t done = 0;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  if (soxr_oneshot(rate, kOutputRate, 1, in.data(), in.size(), nullptr, out.data(), out.size(), &done, &io, &quality,
                   &runtime)) {
    return {};
  }
  out.resize(done);
  return out;
}

void PutLE(std::string& bytes, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

bool Synthesize(const SpeechRequest& request, std::vector<std::int16_t>* samples, std::string* voice,
                std::string* error) {
  std::vector<std::int16_t> native;
  int rate = 0;
  {
    std::lock_guard<std::mutex> lock(g_espeak_mutex);
    if (!StartEspeak()) {
      *error = "espeak-ng cannot start (voice data missing?)";
      return false;
    }
    rate = g_espeak_rate;
    ChooseVoice(request);
    const espeak_VOICE* chosen = espeak_GetCurrentVoice();
    *voice = chosen && chosen->name ? chosen->name : "";
    const unsigned flags = espeakCHARS_UTF8 | (request.ssml ? espeakSSML : 0);
    const espeak_ERROR result =
        espeak_Synth(request.text.c_str(), request.text.size() + 1, 0, POS_CHARACTER, 0, flags, nullptr, &native);
    espeak_Synchronize();
    if (result != EE_OK) {
      *error = "espeak-ng failed to synthesize";
      return false;
    }
  }
  *samples = ToOutputRate(native, rate);
  if (samples->empty() && !native.empty()) {
    *error = "resampling the speech failed";
    return false;
  }
  return true;
}

std::vector<std::int16_t> Tone(int hz, long ms) {
  const std::size_t count = static_cast<std::size_t>(ms) * kOutputRate / 1000;
  std::vector<std::int16_t> samples(count);
  const double step = 2.0 * M_PI * hz / kOutputRate;
  for (std::size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<std::int16_t>(std::lround(16384.0 * std::sin(step * static_cast<double>(i))));
  }
  return samples;
}

std::string WaveBytes(const std::vector<std::int16_t>& samples, int rate) {
  const std::uint32_t data_size = static_cast<std::uint32_t>(samples.size() * 2);
  std::string bytes;
  bytes.reserve(44 + data_size);
  bytes += "RIFF";
  PutLE(bytes, 36 + data_size, 4);
  bytes += "WAVEfmt ";
  PutLE(bytes, 16, 4);  // fmt chunk size
  PutLE(bytes, 1, 2);   // PCM
  PutLE(bytes, 1, 2);   // mono
  PutLE(bytes, static_cast<std::uint32_t>(rate), 4);
  PutLE(bytes, static_cast<std::uint32_t>(rate) * 2, 4);  // bytes per second
  PutLE(bytes, 2, 2);                                     // block align
  PutLE(bytes, 16, 2);                                    // bits per sample
  bytes += "data";
  PutLE(bytes, data_size, 4);
  for (std::int16_t sample : samples) PutLE(bytes, static_cast<std::uint16_t>(sample), 2);
  return bytes;
}

}  // namespace speech_service
