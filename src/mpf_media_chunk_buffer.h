/*
 * Media chunk buffer: a channel's audio on its way from the engine thread to
 * the server's media thread.
 *
 * The engine thread (the one writer) appends audio in pieces of any size and
 * events such as the end-of-stream marker; the media thread (the one reader)
 * takes fixed-size frames once per 10 ms. A frame gets the next bytes of the
 * concatenated audio, is padded with zero bytes when the audio runs out, and
 * has the type of every chunk it passes OR-ed into its type, so an event
 * (which carries no bytes) marks the frame in which reading reaches it. While
 * nothing is queued a frame comes back all zeros with its type untouched.
 *
 * Memory. A channel lives for many SPEAKs, so chunks must not outlive their
 * playing. Each chunk is one malloc'd block, header and bytes together: 32 KiB
 * of audio, or 256 bytes for an event or an empty write. An audio write first
 * fills the room left in the last chunk, as long as nothing but audio was
 * written since, then takes as many blocks as the rest needs; so a SPEAK's
 * audio lies in full blocks but the last, whatever the sizes of its pieces,
 * and the reader walks it in long runs of contiguous memory. The reader never
 * allocates or frees: a chunk it finishes goes onto a "played" list under the
 * mutex it already holds. The writer takes that
 * whole list back in O(1) during its next write or restart and, outside the
 * lock, sorts the blocks into per-capacity spare lists that later writes reuse;
 * the spare lists keep at most 64 KiB (about 2 s of 16 kHz audio), and the
 * writer frees whatever is over. So a buffer holds the blocks of audio not yet
 * played or not yet taken back, plus at most 64 KiB, however much it has ever
 * played; once its owner releases it, only those 64 KiB. Only the record and
 * the mutex come from the pool given to create.
 *
 * Locking. One APR thread mutex (unnested). Writes allocate and copy before
 * locking (into the last chunk's room too, past the size the reader sees) and
 * hold the lock only to commit the sizes and link the new chunks; a frame read
 * holds it for the copy of one frame. The spare lists belong to the writer alone, which
 * is why audio writes, event writes and restarts must all come from one
 * thread (the channel's engine thread); frame reads may come from another.
 */
#ifndef MPF_MEDIA_CHUNK_BUFFER_H
#define MPF_MEDIA_CHUNK_BUFFER_H

#include <apr_pools.h>

#include "corvex/apt.h"
#include "corvex/mpf.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mpf_media_chunk_buffer_t mpf_media_chunk_buffer_t;

/*
 * Returns a new empty buffer whose record and mutex come from pool, or NULL
 * for a null pool or when the mutex cannot be created. The pool must outlive
 * the buffer; call destroy before the pool goes (a pool cleanup frees the
 * chunk memory if the caller forgets).
 */
mpf_media_chunk_buffer_t *mpf_media_chunk_buffer_create(apr_pool_t *pool);

/*
 * Frees every chunk block and destroys the mutex; the record stays in the pool.
 * No other call may overlap it. Afterwards the buffer holds nothing and the
 * other calls do nothing (another destroy included).
 */
void mpf_media_chunk_buffer_destroy(mpf_media_chunk_buffer_t *buffer);

/*
 * Writer thread. Discards everything queued, events included, and the chunk
 * being read; the size becomes 0; the generation goes up by one. Returns
 * TRUE, FALSE for a null or destroyed buffer.
 */
apt_bool_t mpf_media_chunk_buffer_restart(mpf_media_chunk_buffer_t *buffer);

/*
 * Writer thread. As restart, but the generation stays: for the end of a
 * SPEAK, so that an idle buffer holds no more than its spare blocks instead
 * of the audio it played last. Returns TRUE, FALSE for a null or destroyed
 * buffer.
 */
apt_bool_t mpf_media_chunk_buffer_release(mpf_media_chunk_buffer_t *buffer);

/*
 * Writer thread. Returns the generation: the number of restarts so far
 * (0 for NULL). Everything written since the last restart belongs to it.
 */
apr_uint32_t mpf_media_chunk_buffer_generation(mpf_media_chunk_buffer_t *buffer);

/*
 * Writer thread. Queues a copy of size bytes of data as audio (size 0 queues
 * an empty audio chunk, which only sets the audio flag of the frame that
 * passes it). The caller keeps data. Returns TRUE, FALSE for a null or
 * destroyed buffer, null data with a non-zero size, or no memory (then
 * nothing is queued).
 */
apt_bool_t mpf_media_chunk_buffer_audio_write(mpf_media_chunk_buffer_t *buffer, const void *data, apr_size_t size);

/*
 * Writer thread. Queues an event: frame-type flags, e.g. MEDIA_FRAME_TYPE_EVENT
 * for the end of a SPEAK's audio; it takes no bytes and leaves the size alone. Returns TRUE,
 * FALSE for a null or destroyed buffer or no memory.
 */
apt_bool_t mpf_media_chunk_buffer_event_write(mpf_media_chunk_buffer_t *buffer, int event);

/*
 * Reader thread. Fills frame->codec_frame (buffer and size set by the
 * caller, who owns them) and ORs the types of the chunks it passes into
 * frame->type. Never allocates. Returns TRUE, FALSE for null arguments, a
 * frame without a byte buffer or a destroyed buffer (frame untouched).
 */
apt_bool_t mpf_media_chunk_buffer_frame_read(mpf_media_chunk_buffer_t *buffer, mpf_frame_t *frame);

/*
 * Reader thread. As mpf_media_chunk_buffer_frame_read, and sets *generation
 * to the generation the frame was read in, under the same lock: a reader
 * racing a restart learns whether what it read was written before or after
 * it. *generation is left alone when FALSE is returned.
 */
apt_bool_t mpf_media_chunk_buffer_frame_read_generation(mpf_media_chunk_buffer_t *buffer, mpf_frame_t *frame,
                                                        apr_uint32_t *generation);

/*
 * Writer thread. Returns the bytes of the frames that took audio (an empty
 * audio chunk included) since the last restart: whole frames, the silence
 * that completes the last one counted too, as the reader plays them. A
 * release leaves the count as it is, and nothing read after it adds to it.
 * 0 for NULL.
 */
apr_size_t mpf_media_chunk_buffer_played_size(mpf_media_chunk_buffer_t *buffer);

/*
 * Returns the audio bytes written and not yet read (0 for NULL). Takes no
 * lock, so from another thread the value may be one operation old.
 */
apr_size_t mpf_media_chunk__buffer_get_size(mpf_media_chunk_buffer_t *buffer);

/*
 * Writer thread. Returns the bytes of chunk memory the buffer holds from the
 * general allocator: queued, being read, played and kept for reuse. This is
 * what must stay flat over a channel's life (0 for NULL).
 */
apr_size_t mpf_media_chunk_buffer_held_size(const mpf_media_chunk_buffer_t *buffer);

#ifdef __cplusplus
}
#endif

#endif /* MPF_MEDIA_CHUNK_BUFFER_H */
