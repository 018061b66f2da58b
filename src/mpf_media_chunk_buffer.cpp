// Media chunk buffer. The header explains the threads and the memory scheme.
//
// Invariants:
//   - every chunk block is in exactly one place: the queue, current, the
//     played list, a spare list, or a writer's local list between its two
//     steps (prepare outside the lock, link under it);
//   - size == remaining + the sizes of the queued chunks;
//   - current == NULL implies remaining == 0; current with remaining == 0 is
//     the last chunk linked, kept by the reader because it is Appendable;
//   - tail, when set, is the last chunk linked and Appendable, and lies in
//     the queue or is current: the reader retires an exhausted chunk only
//     when another follows it or it is not Appendable, so the writer may fill
//     the room past tail->size without the lock and commit it under the lock;
//   - spare_bytes <= kSpareLimit, and held_bytes counts every block taken
//     from malloc and not yet freed.
#include "mpf_media_chunk_buffer.h"

#include <apr_thread_mutex.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// One chunk: this header followed in the same block by its capacity of bytes.
struct Chunk {
  Chunk *next;
  int type;         // frame-type flags: MEDIA_FRAME_TYPE_AUDIO, or the event value
  apr_size_t size;  // bytes in use; 0 for events and empty audio
  unsigned bucket;  // the capacity is kMinCapacity << bucket
};

// 256 B holds a 10 ms frame at 8 kHz and is what events and empty writes
// take; audio goes into 32 KiB blocks, a second of 16 kHz audio.
constexpr apr_size_t kMinCapacity = 256;
constexpr unsigned kBucketCount = 8;
constexpr apr_size_t kMaxCapacity = kMinCapacity << (kBucketCount - 1);
// What the writer keeps for reuse: about 2 s of 16 kHz audio, enough for the
// start of the next SPEAK without pinning much memory in an idle channel.
constexpr apr_size_t kSpareLimit = 64 * 1024;

// A FIFO of chunks linked through next.
struct ChunkList {
  Chunk *first;
  Chunk *last;
};

}  // namespace

struct mpf_media_chunk_buffer_t {
  ChunkList queue;       // guarded by mutex: written, not yet started by the reader
  Chunk *current;        // guarded by mutex: being read, already off the queue
  apr_size_t remaining;  // guarded by mutex: unread bytes of current
  apr_thread_mutex_t *mutex;
  apr_pool_t *pool;
  // Changed only under mutex; get_size reads it without, hence atomic.
  // Relaxed order is enough: it is a report, not a hand-over of data.
  std::atomic<apr_size_t> size;
  // Writer thread only: the chunk the next audio write fills first, or NULL.
  // Its bytes past its size are the writer's; its size changes under mutex.
  Chunk *tail;
  ChunkList played;         // guarded by mutex: finished by the reader, for the writer to take back
  apr_uint32_t generation;  // guarded by mutex: restarts so far
  apr_size_t played_bytes;  // guarded by mutex: bytes of the frames that took audio in this generation
  // Writer thread only; the reader never touches these.
  Chunk *spare[kBucketCount];  // reusable blocks, one stack per capacity
  apr_size_t spare_bytes;      // block bytes on the spare stacks
  apr_size_t held_bytes;       // block bytes taken from malloc and not freed
};

namespace {

using Buffer = mpf_media_chunk_buffer_t;

unsigned char *ChunkData(Chunk *chunk) { return reinterpret_cast<unsigned char *>(chunk + 1); }

apr_size_t BlockBytes(unsigned bucket) { return sizeof(Chunk) + (kMinCapacity << bucket); }

apr_size_t Capacity(const Chunk *chunk) { return kMinCapacity << chunk->bucket; }

// Whether later audio may go into the room left in chunk when it is the last
// one linked: so a stream of small pieces fills whole blocks instead of
// taking one each, and the reader walks contiguous memory. Writer and reader
// both decide by this (under the mutex, or on values only the writer sets).
bool Appendable(const Chunk *chunk) { return chunk->type == MEDIA_FRAME_TYPE_AUDIO && chunk->size < Capacity(chunk); }

void ListInit(ChunkList *list) { list->first = list->last = nullptr; }

void ListPush(ChunkList *list, Chunk *chunk) {
  chunk->next = nullptr;
  if (list->last) {
    list->last->next = chunk;
  } else {
    list->first = chunk;
  }
  list->last = chunk;
}

// Returns the first chunk, unlinked, or NULL when the list is empty.
Chunk *ListPop(ChunkList *list) {
  Chunk *chunk = list->first;
  if (chunk) {
    list->first = chunk->next;
    if (!list->first) list->last = nullptr;
    chunk->next = nullptr;
  }
  return chunk;
}

// Moves every chunk of from to the end of to, leaving from empty. O(1), so
// it is what the lock sections do instead of walking chunks.
void ListSplice(ChunkList *to, ChunkList *from) {
  if (!from->first) return;
  if (to->last) {
    to->last->next = from->first;
  } else {
    to->first = from->first;
  }
  to->last = from->last;
  ListInit(from);
}

// Writer thread. Returns an empty chunk of the bucket's capacity, a spare one
// when there is one, else a new block; NULL when out of memory. The caller
// owns it until it links it or hands it to RecycleChunks.
Chunk *TakeChunk(Buffer *buffer, unsigned bucket) {
  Chunk *chunk = buffer->spare[bucket];
  if (chunk) {
    buffer->spare[bucket] = chunk->next;
    buffer->spare_bytes -= BlockBytes(bucket);
  } else {
    chunk = static_cast<Chunk *>(std::malloc(BlockBytes(bucket)));
    if (!chunk) return nullptr;
    buffer->held_bytes += BlockBytes(bucket);
    chunk->bucket = bucket;
  }
  chunk->next = nullptr;
  chunk->type = MEDIA_FRAME_TYPE_NONE;
  chunk->size = 0;
  return chunk;
}

// Writer thread, outside the lock. Empties list: each chunk becomes a spare
// while the spares stay within kSpareLimit, the others are freed.
void RecycleChunks(Buffer *buffer, ChunkList *list) {
  while (Chunk *chunk = ListPop(list)) {
    const apr_size_t bytes = BlockBytes(chunk->bucket);
    if (buffer->spare_bytes + bytes <= kSpareLimit) {
      chunk->next = buffer->spare[chunk->bucket];
      buffer->spare[chunk->bucket] = chunk;
      buffer->spare_bytes += bytes;
    } else {
      std::free(chunk);
      buffer->held_bytes -= bytes;
    }
  }
}

// Writer thread. Commits the appended bytes already copied into the room of
// buffer->tail, links the prepared chunks at the end of the queue, adds the
// audio bytes of both to the size and takes back what the reader has played.
void AppendChunks(Buffer *buffer, apr_size_t appended, ChunkList *fresh, apr_size_t bytes) {
  ChunkList played;
  ListInit(&played);
  Chunk *last = fresh->last;
  apr_thread_mutex_lock(buffer->mutex);
  if (appended > 0) {
    buffer->tail->size += appended;
    if (buffer->tail == buffer->current) buffer->remaining += appended;
  }
  ListSplice(&buffer->queue, fresh);
  buffer->size.store(buffer->size.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
  ListSplice(&played, &buffer->played);
  apr_thread_mutex_unlock(buffer->mutex);
  if (last) buffer->tail = last;
  if (buffer->tail && !Appendable(buffer->tail)) buffer->tail = nullptr;
  RecycleChunks(buffer, &played);
}

void FreeList(Buffer *buffer, Chunk *chunk) {
  while (chunk) {
    Chunk *next = chunk->next;
    buffer->held_bytes -= BlockBytes(chunk->bucket);
    std::free(chunk);
    chunk = next;
  }
}

// Frees every block the buffer holds. Idempotent; runs from destroy or, if
// the owner never called it, as a cleanup of the pool.
apr_status_t FreeChunks(void *data) {
  Buffer *buffer = static_cast<Buffer *>(data);
  FreeList(buffer, buffer->queue.first);
  ListInit(&buffer->queue);
  FreeList(buffer, buffer->current);
  buffer->current = nullptr;
  buffer->remaining = 0;
  buffer->tail = nullptr;
  FreeList(buffer, buffer->played.first);
  ListInit(&buffer->played);
  for (Chunk *&spare : buffer->spare) {
    FreeList(buffer, spare);
    spare = nullptr;
  }
  buffer->spare_bytes = 0;
  buffer->size.store(0, std::memory_order_relaxed);
  return APR_SUCCESS;
}

}  // namespace

mpf_media_chunk_buffer_t *mpf_media_chunk_buffer_create(apr_pool_t *pool) {
  if (!pool) return nullptr;
  void *memory = apr_palloc(pool, sizeof(Buffer));
  if (!memory) return nullptr;
  Buffer *buffer = new (memory) Buffer();  // value-initialised: empty lists, zero counts
  buffer->pool = pool;
  if (apr_thread_mutex_create(&buffer->mutex, APR_THREAD_MUTEX_UNNESTED, pool) != APR_SUCCESS) {
    return nullptr;
  }
  apr_pool_cleanup_register(pool, buffer, FreeChunks, apr_pool_cleanup_null);
  return buffer;
}

void mpf_media_chunk_buffer_destroy(mpf_media_chunk_buffer_t *buffer) {
  if (!buffer) return;
  apr_pool_cleanup_run(buffer->pool, buffer, FreeChunks);
  if (buffer->mutex) {
    apr_thread_mutex_destroy(buffer->mutex);
    buffer->mutex = nullptr;
  }
}

namespace {

// Writer thread. Empties the buffer into the spare lists (within their
// limit), moving the generation on when asked.
apt_bool_t Drain(Buffer *buffer, bool next_generation) {
  if (!buffer || !buffer->mutex) return FALSE;
  ChunkList dropped;
  ListInit(&dropped);
  apr_thread_mutex_lock(buffer->mutex);
  if (buffer->current) ListPush(&dropped, buffer->current);
  buffer->current = nullptr;
  buffer->remaining = 0;
  ListSplice(&dropped, &buffer->queue);
  ListSplice(&dropped, &buffer->played);
  buffer->size.store(0, std::memory_order_relaxed);
  buffer->tail = nullptr;
  if (next_generation) {
    ++buffer->generation;
    buffer->played_bytes = 0;
  }
  apr_thread_mutex_unlock(buffer->mutex);
  RecycleChunks(buffer, &dropped);
  return TRUE;
}

}  // namespace

apt_bool_t mpf_media_chunk_buffer_restart(mpf_media_chunk_buffer_t *buffer) { return Drain(buffer, true); }

apt_bool_t mpf_media_chunk_buffer_release(mpf_media_chunk_buffer_t *buffer) { return Drain(buffer, false); }

apr_uint32_t mpf_media_chunk_buffer_generation(mpf_media_chunk_buffer_t *buffer) {
  if (!buffer || !buffer->mutex) return 0;
  // Only the writer changes it, and this is the writer: no lock needed.
  return buffer->generation;
}

apt_bool_t mpf_media_chunk_buffer_audio_write(mpf_media_chunk_buffer_t *buffer, const void *data, apr_size_t size) {
  if (!buffer || !buffer->mutex || (!data && size > 0)) return FALSE;
  ChunkList fresh;
  ListInit(&fresh);
  const unsigned char *from = static_cast<const unsigned char *>(data);
  apr_size_t left = size;
  // First the room of the last chunk: past its size, which the reader does
  // not read beyond, so no lock is needed until the bytes are committed.
  apr_size_t appended = 0;
  if (Chunk *tail = buffer->tail) {
    const apr_size_t room = Capacity(tail) - tail->size;
    appended = left < room ? left : room;
    if (appended > 0) std::memcpy(ChunkData(tail) + tail->size, from, appended);
    from += appended;
    left -= appended;
  }
  // The rest in new chunks; an empty write still queues one (empty) audio
  // chunk, to flag its frame.
  if (left > 0 || size == 0) {
    do {
      const apr_size_t piece = left < kMaxCapacity ? left : kMaxCapacity;
      Chunk *chunk = TakeChunk(buffer, piece > 0 ? kBucketCount - 1 : 0);
      if (!chunk) {
        // Nothing is committed: the bytes copied into the tail's room stay
        // past its size, unread.
        RecycleChunks(buffer, &fresh);
        return FALSE;
      }
      chunk->type = MEDIA_FRAME_TYPE_AUDIO;
      chunk->size = piece;
      if (piece > 0) {
        std::memcpy(ChunkData(chunk), from, piece);
        from += piece;
      }
      ListPush(&fresh, chunk);
      left -= piece;
    } while (left > 0);
  }
  AppendChunks(buffer, appended, &fresh, size);
  return TRUE;
}

apt_bool_t mpf_media_chunk_buffer_event_write(mpf_media_chunk_buffer_t *buffer, int event) {
  if (!buffer || !buffer->mutex) return FALSE;
  Chunk *chunk = TakeChunk(buffer, 0);
  if (!chunk) return FALSE;
  chunk->type = event;
  ChunkList fresh;
  ListInit(&fresh);
  ListPush(&fresh, chunk);
  AppendChunks(buffer, 0, &fresh, 0);
  return TRUE;
}

apt_bool_t mpf_media_chunk_buffer_frame_read(mpf_media_chunk_buffer_t *buffer, mpf_frame_t *frame) {
  apr_uint32_t generation = 0;
  return mpf_media_chunk_buffer_frame_read_generation(buffer, frame, &generation);
}

apt_bool_t mpf_media_chunk_buffer_frame_read_generation(mpf_media_chunk_buffer_t *buffer, mpf_frame_t *frame,
                                                        apr_uint32_t *generation) {
  if (!buffer || !frame || !generation || !buffer->mutex || !frame->codec_frame.buffer) return FALSE;
  unsigned char *dest = static_cast<unsigned char *>(frame->codec_frame.buffer);
  const apr_size_t frame_size = frame->codec_frame.size;
  apr_size_t wanted = frame_size;

  apr_thread_mutex_lock(buffer->mutex);
  *generation = buffer->generation;
  Chunk *chunk = buffer->current;
  if (chunk && buffer->remaining == 0) {
    // Read to its end and kept for the writer to append to. Once newer
    // chunks follow it, nothing more can come into it.
    if (buffer->queue.first) ListPush(&buffer->played, chunk);
    chunk = nullptr;
  }
  if (!chunk) {
    chunk = ListPop(&buffer->queue);
    if (!chunk) {
      // Nothing queued: silence, and the type stays as the caller set it.
      apr_thread_mutex_unlock(buffer->mutex);
      std::memset(dest, 0, frame_size);
      return TRUE;
    }
    buffer->remaining = chunk->size;
  }
  apr_size_t size = buffer->size.load(std::memory_order_relaxed);
  int types = 0;
  for (;;) {
    // Every chunk the frame reaches marks it, so a data-less event chunk
    // flags the frame in which reading passes it.
    types |= chunk->type;
    const unsigned char *from = ChunkData(chunk) + (chunk->size - buffer->remaining);
    unsigned char *to = dest + (frame_size - wanted);
    if (wanted < buffer->remaining) {
      std::memcpy(to, from, wanted);
      buffer->remaining -= wanted;
      size -= wanted;
      wanted = 0;
      break;
    }
    std::memcpy(to, from, buffer->remaining);
    size -= buffer->remaining;
    wanted -= buffer->remaining;
    buffer->remaining = 0;
    // The last chunk stays current while the writer may still fill it.
    if (!buffer->queue.first && Appendable(chunk)) break;
    ListPush(&buffer->played, chunk);  // the writer reuses or frees it, never this thread
    chunk = nullptr;
    if (wanted == 0) break;
    chunk = ListPop(&buffer->queue);
    if (!chunk) break;
    buffer->remaining = chunk->size;
  }
  buffer->current = chunk;
  buffer->size.store(size, std::memory_order_relaxed);
  // A frame that took audio plays whole, the silence that completes it too.
  if (types & MEDIA_FRAME_TYPE_AUDIO) buffer->played_bytes += frame_size;
  apr_thread_mutex_unlock(buffer->mutex);
  frame->type |= types;

  // The audio ran out: pad with silence. The frame is the caller's, so this
  // needs no lock.
  if (wanted > 0) std::memset(dest + (frame_size - wanted), 0, wanted);
  return TRUE;
}

apr_size_t mpf_media_chunk_buffer_played_size(mpf_media_chunk_buffer_t *buffer) {
  if (!buffer || !buffer->mutex) return 0;
  apr_thread_mutex_lock(buffer->mutex);
  const apr_size_t played = buffer->played_bytes;
  apr_thread_mutex_unlock(buffer->mutex);
  return played;
}

apr_size_t mpf_media_chunk__buffer_get_size(mpf_media_chunk_buffer_t *buffer) {
  return buffer ? buffer->size.load(std::memory_order_relaxed) : 0;
}

apr_size_t mpf_media_chunk_buffer_held_size(const mpf_media_chunk_buffer_t *buffer) {
  return buffer ? buffer->held_bytes : 0;
}
