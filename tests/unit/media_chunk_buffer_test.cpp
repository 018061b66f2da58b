// The media chunk buffer: frames cut from the written audio, silence, event
// flags, size accounting, restarts, and memory that stays flat however many
// SPEAKs a channel plays.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <random>
#include <vector>

#include "apr_pool_test.h"
#include "mpf_media_chunk_buffer.h"

namespace {

constexpr int kUntouched = 0x40;  // a type value the buffer never sets

// Byte k of the test audio; never 0, so silence cannot pass for audio.
unsigned char AudioByte(size_t k) { return static_cast<unsigned char>(1 + (k * 7 + k / 251) % 255); }

std::vector<unsigned char> Audio(size_t size, size_t offset = 0) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = AudioByte(offset + i);
  return bytes;
}

class MediaChunkBufferTest : public corvex_test::AprPoolTest {
 protected:
  void SetUp() override {
    AprPoolTest::SetUp();
    buffer_ = mpf_media_chunk_buffer_create(pool_);
    ASSERT_NE(buffer_, nullptr);
  }
  void TearDown() override {
    mpf_media_chunk_buffer_destroy(buffer_);
    AprPoolTest::TearDown();
  }

  void Write(const std::vector<unsigned char>& bytes) {
    ASSERT_TRUE(mpf_media_chunk_buffer_audio_write(buffer_, bytes.data(), bytes.size()));
  }

  // Reads one frame of `size` bytes into bytes_ (prefilled with garbage) and
  // returns its type, which starts as kUntouched.
  int Read(size_t size = 320) {
    bytes_.assign(size, 0xEE);
    mpf_frame_t frame{};
    frame.type = kUntouched;
    frame.codec_frame.buffer = bytes_.data();
    frame.codec_frame.size = size;
    EXPECT_TRUE(mpf_media_chunk_buffer_frame_read(buffer_, &frame));
    return frame.type;
  }

  // Expects bytes_ to be `audio` followed by zeros.
  void ExpectFrame(const std::vector<unsigned char>& audio) {
    ASSERT_LE(audio.size(), bytes_.size());
    std::vector<unsigned char> want(audio);
    want.resize(bytes_.size(), 0);
    EXPECT_EQ(bytes_, want);
  }

  mpf_media_chunk_buffer_t* buffer_ = nullptr;
  std::vector<unsigned char> bytes_;
};

TEST_F(MediaChunkBufferTest, NothingQueuedGivesSilenceWithTypeUntouched) {
  EXPECT_EQ(Read(), kUntouched);
  ExpectFrame({});
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(buffer_), 0u);

  // The same after a restart that dropped a half-read chunk and an event.
  Write(Audio(1000));
  mpf_media_chunk_buffer_event_write(buffer_, MEDIA_FRAME_TYPE_EVENT);
  apr_uint32_t generation = 99;
  mpf_frame_t frame{};
  frame.codec_frame.buffer = bytes_.data();
  frame.codec_frame.size = bytes_.size();
  ASSERT_TRUE(mpf_media_chunk_buffer_frame_read_generation(buffer_, &frame, &generation));
  EXPECT_EQ(generation, 0u);
  ASSERT_TRUE(mpf_media_chunk_buffer_restart(buffer_));
  EXPECT_EQ(mpf_media_chunk_buffer_generation(buffer_), 1u);
  ASSERT_TRUE(mpf_media_chunk_buffer_frame_read_generation(buffer_, &frame, &generation));
  EXPECT_EQ(generation, 1u);
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(buffer_), 0u);
  EXPECT_EQ(Read(), kUntouched);
  ExpectFrame({});
  EXPECT_EQ(Read(), kUntouched);

  // What is written after the restart plays from its own first byte.
  Write(Audio(10, 5000));
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
  ExpectFrame(Audio(10, 5000));
}

TEST_F(MediaChunkBufferTest, FramesCarryTheConcatenatedAudio) {
  // Small pieces, and one large enough to be stored as several chunks;
  // written all at once, then with reads between the writes, so that pieces
  // land in a chunk the reader is reading or has read to its end (at 640).
  const std::vector<size_t> pieces = {1, 3, 500, 136, 160, 0, 70000, 2, 320, 7};
  for (size_t frame_size : {320u, 160u, 0u}) {
    SCOPED_TRACE(frame_size);
    const bool interleaved = frame_size == 0;
    if (interleaved) frame_size = 160;
    std::vector<unsigned char> written;
    std::vector<unsigned char> read;
    for (size_t size : pieces) {
      std::vector<unsigned char> piece = Audio(size, written.size());
      Write(piece);
      written.insert(written.end(), piece.begin(), piece.end());
      while (interleaved && mpf_media_chunk__buffer_get_size(buffer_) >= frame_size && read.size() < written.size()) {
        EXPECT_EQ(Read(frame_size), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
        read.insert(read.end(), bytes_.begin(), bytes_.end());
      }
    }
    while (mpf_media_chunk__buffer_get_size(buffer_) > 0 && read.size() < written.size()) {
      EXPECT_EQ(Read(frame_size), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
      read.insert(read.end(), bytes_.begin(), bytes_.end());
    }
    // The same bytes in order, the last frame padded with silence.
    ASSERT_GE(read.size(), written.size());
    ASSERT_LT(read.size() - written.size(), frame_size);
    written.resize(read.size(), 0);
    EXPECT_EQ(read, written);
    EXPECT_EQ(Read(frame_size), kUntouched);
  }
}

// Played: the frames that took audio count whole, padded ones too.
TEST_F(MediaChunkBufferTest, EventFlagsTheFrameInWhichReadingReachesIt) {
  // Audio short of a frame: the event rides in the same, padded frame.
  Write(Audio(100));
  ASSERT_TRUE(mpf_media_chunk_buffer_event_write(buffer_, MEDIA_FRAME_TYPE_EVENT));
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT);
  ExpectFrame(Audio(100));
  EXPECT_EQ(Read(), kUntouched);
  EXPECT_EQ(mpf_media_chunk_buffer_played_size(buffer_), 320u);

  // Audio ending on the frame boundary: the event comes with the next,
  // silent frame, which carries no audio flag.
  Write(Audio(640));
  mpf_media_chunk_buffer_event_write(buffer_, MEDIA_FRAME_TYPE_EVENT);
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
  ExpectFrame(Audio(320, 320));
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_EVENT);
  ExpectFrame({});
  EXPECT_EQ(Read(), kUntouched);
  EXPECT_EQ(mpf_media_chunk_buffer_played_size(buffer_), 960u);
  ASSERT_TRUE(mpf_media_chunk_buffer_restart(buffer_));
  EXPECT_EQ(mpf_media_chunk_buffer_played_size(buffer_), 0u);

  // An event between two pieces flags the frame that spans them.
  Write(Audio(200));
  mpf_media_chunk_buffer_event_write(buffer_, MEDIA_FRAME_TYPE_EVENT);
  Write(Audio(200, 200));
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO | MEDIA_FRAME_TYPE_EVENT);
  ExpectFrame(Audio(320));
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
  ExpectFrame(Audio(80, 320));
}

TEST_F(MediaChunkBufferTest, EmptyAudioWriteOnlySetsTheAudioFlag) {
  ASSERT_TRUE(mpf_media_chunk_buffer_audio_write(buffer_, nullptr, 0));
  EXPECT_EQ(mpf_media_chunk__buffer_get_size(buffer_), 0u);
  EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
  ExpectFrame({});
  EXPECT_EQ(Read(), kUntouched);
}

TEST_F(MediaChunkBufferTest, SizeCountsAudioNotYetRead) {
  Write(Audio(1000));
  mpf_media_chunk_buffer_event_write(buffer_, MEDIA_FRAME_TYPE_EVENT);
  for (size_t left : {1000u, 680u, 360u, 40u, 0u}) {
    EXPECT_EQ(mpf_media_chunk__buffer_get_size(buffer_), left);
    Read();
  }
}

TEST_F(MediaChunkBufferTest, SmallPiecesShareBlocks) {
  // A second of 16 kHz audio in 10 ms pieces lies in one block, not in a
  // block per piece, and plays as written.
  for (size_t at = 0; at < 32000; at += 320) Write(Audio(320, at));
  EXPECT_LE(mpf_media_chunk_buffer_held_size(buffer_), 33u * 1024);
  for (size_t at = 0; at < 32000; at += 320) {
    EXPECT_EQ(Read(), kUntouched | MEDIA_FRAME_TYPE_AUDIO);
    ExpectFrame(Audio(320, at));
  }
}

// Bytes the process has from malloc, small and mmapped blocks together.
size_t MallocInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

struct SpeakMemory {
  size_t held_peak = 0;      // the buffer's chunk memory at its highest
  size_t held_after = 0;     // ... after the last restart
  size_t malloc_growth = 0;  // process malloc in use after the run, less before the buffer
};

// Plays `speaks` SPEAKs of 3 s of 16 kHz audio through a fresh buffer in its
// own pool, as a channel would: the engine writes pieces of 320..32000 bytes a
// little ahead of the media thread, adds the end-of-stream event, the media
// thread reads until it sees it, and the next SPEAK restarts the buffer.
SpeakMemory PlaySpeaks(int speaks) {
  constexpr size_t kSpeakBytes = 3 * 32000;
  static const std::vector<unsigned char> source = Audio(32000);
  unsigned char frame_bytes[320];
  bool all_played = true;

  SpeakMemory memory;
  const size_t before = MallocInUse();
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  mpf_media_chunk_buffer_t* buffer = mpf_media_chunk_buffer_create(pool);
  auto read = [&]() {
    mpf_frame_t frame{};
    frame.codec_frame.buffer = frame_bytes;
    frame.codec_frame.size = sizeof frame_bytes;
    mpf_media_chunk_buffer_frame_read(buffer, &frame);
    return frame.type;
  };
  for (int speak = 0; speak < speaks; ++speak) {
    // Ten different SPEAKs in turn, so both runs play the same mix and
    // differ only in how often.
    std::mt19937 random(speak % 10);
    std::uniform_int_distribution<size_t> piece_size(320, 32000);
    mpf_media_chunk_buffer_restart(buffer);
    for (size_t written = 0; written < kSpeakBytes;) {
      const size_t size = std::min(piece_size(random), kSpeakBytes - written);
      mpf_media_chunk_buffer_audio_write(buffer, source.data(), size);
      written += size;
      for (int i = 0; i < 20; ++i) read();
      memory.held_peak = std::max(memory.held_peak, mpf_media_chunk_buffer_held_size(buffer));
    }
    mpf_media_chunk_buffer_event_write(buffer, MEDIA_FRAME_TYPE_EVENT);
    int frames = 0;
    while (!(read() & MEDIA_FRAME_TYPE_EVENT) && frames < 1000) ++frames;
    all_played = all_played && frames < 1000;
  }
  mpf_media_chunk_buffer_restart(buffer);
  memory.held_after = mpf_media_chunk_buffer_held_size(buffer);
  const size_t after = MallocInUse();
  memory.malloc_growth = after > before ? after - before : 0;
  mpf_media_chunk_buffer_destroy(buffer);
  apr_pool_destroy(pool);
  EXPECT_TRUE(all_played);
  return memory;
}

TEST_F(MediaChunkBufferTest, MemoryDoesNotGrowWithTheSpeaksPlayed) {
  PlaySpeaks(10);  // warm the process's allocator up
  const SpeakMemory ten = PlaySpeaks(10);
  const SpeakMemory thousand = PlaySpeaks(1000);
  // 1000 SPEAKs wrote 96 MB; keeping any fraction of that per SPEAK would
  // show here. What stays after the last restart is the reserve of spare
  // blocks, the same for both up to one block.
  constexpr size_t kBlock = 33 * 1024;
  EXPECT_LE(thousand.held_after, ten.held_after + kBlock);
  EXPECT_LE(thousand.malloc_growth, ten.malloc_growth + kBlock);
  // A SPEAK's peak depends on which spare sizes the one before left, which
  // the ten-SPEAK run does not see in every order; it can differ by no more
  // than the reserve.
  EXPECT_LE(thousand.held_peak, ten.held_peak + 128u * 1024);
  // A played-out, restarted buffer keeps only a bounded reserve.
  EXPECT_LE(thousand.held_after, 128u * 1024);
}

}  // namespace
