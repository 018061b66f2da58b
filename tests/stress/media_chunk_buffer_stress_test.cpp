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
#include "mpf_media_chunk_buffer.h"

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

class Reader {
 public:
  explicit Reader(mpf_media_chunk_buffer_t* buffer) : buffer_(buffer) {}

  void Run(const std::atomic<bool>& stop) {
    std::mt19937 random(2);
    unsigned char bytes[320];
    while (!stop.load()) {
      // Bursts of frames with short pauses: slow enough that the writer gets
      // ahead and restarts discard queued audio, fast enough to play a lot.
      for (unsigned burst = 1 + random() % 64; burst > 0; --burst) {
        mpf_frame_t frame{};
        frame.codec_frame.buffer = bytes;
        frame.codec_frame.size = random() % 2 ? 320 : 160;
        std::fill(bytes, bytes + sizeof bytes, 0xEE);
        if (!mpf_media_chunk_buffer_frame_read_generation(buffer_, &frame, &reported_)) Fail("read refused");
        Check(frame.type, bytes, frame.codec_frame.size);
        ++frames_;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }

  // Number of the last generation whose end-of-stream the reader has seen.
  std::atomic<uint32_t> last_ended{0};
  std::map<uint32_t, Gen> gens;
  std::vector<std::string> failures;
  uint64_t frames_ = 0;

 private:
  void Fail(const std::string& what) {
    if (failures.size() < 10) failures.push_back(what + " (frame " + std::to_string(frames_) + ")");
  }

  void Check(int type, const unsigned char* bytes, size_t size) {
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
      in_gen_ = true;
      ended_ = false;
      offset_ = 0;
      gen_ = 0;
    } else if (!in_gen_) {
      return Fail("flags before the first generation");
    } else if (ended_) {
      return Fail("frame after the end-of-stream event");
    }
    if (audio > 0 && !(type & MEDIA_FRAME_TYPE_AUDIO)) Fail("audio without the audio flag");
    for (size_t i = 0; i < audio; ++i, ++offset_) {
      if (offset_ < 4) {
        gen_ |= static_cast<uint32_t>(bytes[i] - 1) << (7 * offset_);
        if (offset_ == 3) {
          if (gen_ <= last_gen_) return Fail("generation " + std::to_string(gen_) + " after " +
                                             std::to_string(last_gen_));
          last_gen_ = gen_;
        }
      } else if (bytes[i] != GenByte(gen_, offset_)) {
        return Fail("wrong byte at offset " + std::to_string(offset_) + " of generation " +
                    std::to_string(gen_));
      }
    }
    if (offset_ < 4) {
      if (type & MEDIA_FRAME_TYPE_EVENT) Fail("end-of-stream before a whole header");
      return;
    }
    // The writer restarts once per generation, from 0: the buffer must tell
    // which one a frame came from, however the read raced the restarts.
    if (reported_ != gen_) {
      return Fail("frame of generation " + std::to_string(gen_) + " reported as " + std::to_string(reported_));
    }
    Gen& gen = gens[gen_];
    gen.bytes = offset_;
    if (type & MEDIA_FRAME_TYPE_EVENT) {
      gen.ended = true;
      ended_ = true;
      last_ended.store(gen_);
    }
  }

  mpf_media_chunk_buffer_t* buffer_;
  apr_uint32_t reported_ = 0;  // the generation the last read reported
  bool in_gen_ = false;
  bool ended_ = false;
  uint32_t gen_ = 0;
  uint32_t last_gen_ = 0;
  uint64_t offset_ = 0;
};

class Writer {
 public:
  explicit Writer(mpf_media_chunk_buffer_t* buffer, const Reader& reader)
      : buffer_(buffer), reader_(reader) {}

  void Run(std::chrono::steady_clock::time_point deadline) {
    std::mt19937 random(1);
    std::vector<unsigned char> piece;
    for (uint32_t gen = 1; std::chrono::steady_clock::now() < deadline; ++gen) {
      mpf_media_chunk_buffer_restart(buffer_);
      mpf_media_chunk_buffer_event_write(buffer_, kMarker);
      Gen& written = gens[gen];
      const uint64_t target = 4 + random() % 150000;
      const bool barge_in = random() % 5 == 0;  // restart before the end
      const uint64_t stop_at = barge_in ? random() % target : target;
      while (written.bytes < stop_at) {
        uint64_t size;
        switch (random() % 4) {
          case 0: size = random() % 17; break;  // tiny, or empty
          case 1: size = 32000 + random() % 50000; break;  // split into several chunks
          default: size = 320 + random() % 31681; break;
        }
        size = std::min(size, stop_at - written.bytes);
        piece.resize(size);
        for (uint64_t i = 0; i < size; ++i) piece[i] = GenByte(gen, written.bytes + i);
        mpf_media_chunk_buffer_audio_write(buffer_, piece.data(), size);
        written.bytes += size;
        // Stay a few seconds ahead of the reader, as synthesis does.
        while (mpf_media_chunk__buffer_get_size(buffer_) > 200000 &&
               std::chrono::steady_clock::now() < deadline) {
          std::this_thread::yield();
        }
      }
      if (barge_in) continue;
      mpf_media_chunk_buffer_event_write(buffer_, MEDIA_FRAME_TYPE_EVENT);
      written.ended = true;
      // Mostly let the SPEAK play out; otherwise the next one cuts it short.
      if (random() % 4 != 0) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (reader_.last_ended.load() != gen && std::chrono::steady_clock::now() < give_up) {
          std::this_thread::yield();
        }
      }
    }
    mpf_media_chunk_buffer_restart(buffer_);
    held_after = mpf_media_chunk_buffer_held_size(buffer_);
  }

  std::map<uint32_t, Gen> gens;
  size_t held_after = 0;

 private:
  mpf_media_chunk_buffer_t* buffer_;
  const Reader& reader_;
};

TEST(MediaChunkBufferStress, ReaderSeesEveryGenerationInOrderAcrossRestarts) {
  ASSERT_EQ(apr_initialize(), APR_SUCCESS);
  apr_pool_t* pool = nullptr;
  ASSERT_EQ(apr_pool_create(&pool, nullptr), APR_SUCCESS);
  mpf_media_chunk_buffer_t* buffer = mpf_media_chunk_buffer_create(pool);
  ASSERT_NE(buffer, nullptr);

  Reader reader(buffer);
  Writer writer(buffer, reader);
  std::atomic<bool> stop{false};
  std::thread reading([&] { reader.Run(stop); });
  std::thread writing([&] { writer.Run(std::chrono::steady_clock::now() + kRunTime); });
  writing.join();
  stop.store(true);
  reading.join();

  for (const std::string& failure : reader.failures) ADD_FAILURE() << failure;
  int played_out = 0;
  int cut_short = 0;
  for (const auto& [gen, read] : reader.gens) {
    const auto written = writer.gens.find(gen);
    ASSERT_NE(written, writer.gens.end()) << "generation " << gen << " was never written";
    EXPECT_LE(read.bytes, written->second.bytes) << "generation " << gen;
    if (read.ended) {
      EXPECT_TRUE(written->second.ended) << "generation " << gen;
      EXPECT_EQ(read.bytes, written->second.bytes) << "generation " << gen;
      ++played_out;
    } else if (read.bytes < written->second.bytes) {
      ++cut_short;
    }
  }
  // The run must have exercised both endings, not just one.
  EXPECT_GT(played_out, 10);
  EXPECT_GT(cut_short, 10);
  EXPECT_LE(writer.held_after, 128u * 1024);

  mpf_media_chunk_buffer_destroy(buffer);
  apr_pool_destroy(pool);
  apr_terminate();
}

}  // namespace
