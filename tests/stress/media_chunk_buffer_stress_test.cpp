// One engine-like writer and one media-like reader hammer a media chunk
// buffer for a few seconds: random piece sizes, empty writes, events and
// restarts at any moment. The reader checks every byte it gets.
//
// Each SPEAK ("generation") starts, after its restart, with a marker event
// (kMarker, a value the channel never uses). Byte k of generation g is
// GenByte(g, k): bytes 0..3 spell g, the rest are a hash of (g, k). No byte
// is 0, so in each frame the audio is the non-zero prefix and the padding is
// the rest. That lets the reader check, without talking to the writer, that
// it sees each generation's bytes in order from byte 0, never a byte of an
// older generation after a newer one, silence only when nothing is queued,
// and the end-of-stream event only after the last byte.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mpf_media_chunk_buffer.h"

namespace {

constexpr int kMarker = 0x100;
constexpr auto kRunTime = std::chrono::seconds(3);

unsigned char GenByte(uint32_t gen, uint64_t k) {
  if (k < 4) return static_cast<unsigned char>(1 + ((gen >> (7 * k)) & 0x7F));
  uint64_t h = (k + 0x9E3779B97F4A7C15ull * (gen + 1)) * 0xBF58476D1CE4E5B9ull;
  h ^= h >> 31;
  return static_cast<unsigned char>(1 + h % 255);
}

// One generation as written or as read.
struct Gen {
  uint64_t bytes = 0;
  bool ended = false;  // the end-of-stream event followed the last byte
};

// The reader's view of the frames it gets; Check notes what is wrong.
struct ReadState {
  void Check(int type, const unsigned char* bytes, size_t size, apr_uint32_t reported) {
    size_t audio = 0;
    while (audio < size && bytes[audio] != 0) ++audio;
    for (size_t i = audio; i < size; ++i) {
      if (bytes[i] != 0) return Fail("audio after silence in one frame");
    }
    if (type == 0) {
      if (audio > 0) Fail("audio in a frame without flags");
      return;
    }
    if (type & kMarker) {
      in_gen = true, ended = false, offset = 0, gen = 0;
    } else if (!in_gen) {
      return Fail("flags before the first generation");
    } else if (ended) {
      return Fail("frame after the end-of-stream event");
    }
    if (audio > 0 && !(type & MEDIA_FRAME_TYPE_AUDIO)) Fail("audio without the audio flag");
    for (size_t i = 0; i < audio; ++i, ++offset) {
      if (offset < 4) {
        gen |= static_cast<uint32_t>(bytes[i] - 1) << (7 * offset);
        if (offset == 3 && gen <= last_gen)
          return Fail("generation " + std::to_string(gen) + " after " + std::to_string(last_gen));
        if (offset == 3) last_gen = gen;
      } else if (bytes[i] != GenByte(gen, offset)) {
        return Fail("wrong byte at offset " + std::to_string(offset) + " of generation " + std::to_string(gen));
      }
    }
    if (offset < 4) {
      if (type & MEDIA_FRAME_TYPE_EVENT) Fail("end-of-stream before a whole header");
      return;
    }
    // The writer restarts once per generation, from 0: the buffer must tell
    // which one a frame came from, however the read raced the restarts.
    if (reported != gen) return Fail("generation " + std::to_string(gen) + " reported as " + std::to_string(reported));
    gens[gen].bytes = offset;
    if (type & MEDIA_FRAME_TYPE_EVENT) {
      gens[gen].ended = ended = true;
      last_ended.store(gen);
    }
  }
  void Fail(const std::string& what) {
    if (failures.size() < 10) failures.push_back(what + " (frame " + std::to_string(frames) + ")");
  }

  std::atomic<uint32_t> last_ended{0};  // the last generation whose end-of-stream was read
  std::map<uint32_t, Gen> gens;
  std::vector<std::string> failures;
  uint64_t frames = 0, offset = 0;
  bool in_gen = false, ended = false;
  uint32_t gen = 0, last_gen = 0;
};

TEST(MediaChunkBufferStress, ReaderSeesEveryGenerationInOrderAcrossRestarts) {
  ASSERT_EQ(apr_initialize(), APR_SUCCESS);
  apr_pool_t* pool = nullptr;
  ASSERT_EQ(apr_pool_create(&pool, nullptr), APR_SUCCESS);
  mpf_media_chunk_buffer_t* buffer = mpf_media_chunk_buffer_create(pool);
  ASSERT_NE(buffer, nullptr);

  ReadState read;
  std::atomic<bool> stop{false};
  std::thread reading([&] {
    std::mt19937 random(2);
    unsigned char bytes[320];
    apr_uint32_t reported = 0;
    while (!stop.load()) {
      // Bursts of frames with short pauses: slow enough that the writer gets
      // ahead and restarts discard queued audio, fast enough to play a lot.
      for (unsigned burst = 1 + random() % 64; burst > 0; --burst, ++read.frames) {
        mpf_frame_t frame{};
        frame.codec_frame.buffer = bytes;
        frame.codec_frame.size = random() % 2 ? 320 : 160;
        std::fill(bytes, bytes + sizeof bytes, 0xEE);
        if (!mpf_media_chunk_buffer_frame_read_generation(buffer, &frame, &reported)) read.Fail("read refused");
        read.Check(frame.type, bytes, frame.codec_frame.size, reported);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });

  std::map<uint32_t, Gen> written;
  std::mt19937 random(1);
  std::vector<unsigned char> piece;
  const auto deadline = std::chrono::steady_clock::now() + kRunTime;
  for (uint32_t gen = 1; std::chrono::steady_clock::now() < deadline; ++gen) {
    mpf_media_chunk_buffer_restart(buffer);
    mpf_media_chunk_buffer_event_write(buffer, kMarker);
    Gen& w = written[gen];
    const uint64_t target = 4 + random() % 150000;
    const bool barge_in = random() % 5 == 0;  // restart before the end
    const uint64_t stop_at = barge_in ? random() % target : target;
    while (w.bytes < stop_at) {
      uint64_t size;
      switch (random() % 4) {
        case 0:
          size = random() % 17;
          break;  // tiny, or empty
        case 1:
          size = 32000 + random() % 50000;
          break;  // split into several chunks
        default:
          size = 320 + random() % 31681;
          break;
      }
      size = std::min(size, stop_at - w.bytes);
      piece.resize(size);
      for (uint64_t i = 0; i < size; ++i) piece[i] = GenByte(gen, w.bytes + i);
      mpf_media_chunk_buffer_audio_write(buffer, piece.data(), size);
      w.bytes += size;
      // Stay a few seconds ahead of the reader, as synthesis does.
      while (mpf_media_chunk__buffer_get_size(buffer) > 200000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
    }
    if (barge_in) continue;
    mpf_media_chunk_buffer_event_write(buffer, MEDIA_FRAME_TYPE_EVENT);
    w.ended = true;
    // Mostly let the SPEAK play out; otherwise the next one cuts it short.
    const bool wait = random() % 4 != 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (wait && read.last_ended.load() != gen && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
  }
  mpf_media_chunk_buffer_restart(buffer);
  EXPECT_LE(mpf_media_chunk_buffer_held_size(buffer), 128u * 1024);
  stop.store(true);
  reading.join();

  for (const std::string& failure : read.failures) ADD_FAILURE() << failure;
  int played_out = 0, cut_short = 0;
  for (const auto& [gen, r] : read.gens) {
    ASSERT_EQ(written.count(gen), 1u) << "generation " << gen << " was never written";
    EXPECT_LE(r.bytes, written[gen].bytes) << "generation " << gen;
    if (r.ended) {
      EXPECT_TRUE(written[gen].ended) << "generation " << gen;
      EXPECT_EQ(r.bytes, written[gen].bytes) << "generation " << gen;
      ++played_out;
    } else if (r.bytes < written[gen].bytes) {
      ++cut_short;
    }
  }
  // The run must have exercised both endings, not just one.
  EXPECT_GT(played_out, 10);
  EXPECT_GT(cut_short, 10);

  mpf_media_chunk_buffer_destroy(buffer);
  apr_pool_destroy(pool);
  apr_terminate();
}

}  // namespace
