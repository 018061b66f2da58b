/*
 * Corvex server: media types.
 *
 * Frames, codec descriptors, stream capabilities and the audio stream a
 * plugin hands to the server. The server's media thread calls the stream's
 * read_frame once per 10 ms frame.
 */
#ifndef CORVEX_MPF_H
#define CORVEX_MPF_H

#include "corvex/apt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frame-type flags; a frame may carry several. */
typedef enum {
  MEDIA_FRAME_TYPE_NONE = 0x0,
  MEDIA_FRAME_TYPE_AUDIO = 0x1,
  MEDIA_FRAME_TYPE_VIDEO = 0x2,
  MEDIA_FRAME_TYPE_EVENT = 0x4
} mpf_frame_type_e;

typedef struct mpf_codec_frame_t {
  void *buffer;    /* owned by the server */
  apr_size_t size; /* bytes in buffer */
} mpf_codec_frame_t;

typedef struct mpf_frame_t {
  int type; /* mpf_frame_type_e flags */
  int marker;
  mpf_codec_frame_t codec_frame;
} mpf_frame_t;

/* Sample-rate flags used in capabilities. */
typedef enum {
  MPF_SAMPLE_RATE_NONE = 0x00,
  MPF_SAMPLE_RATE_8000 = 0x01,
  MPF_SAMPLE_RATE_16000 = 0x02,
  MPF_SAMPLE_RATE_32000 = 0x04,
  MPF_SAMPLE_RATE_48000 = 0x08
} mpf_sample_rate_e;

/* Returns the flag of a rate in Hz, MPF_SAMPLE_RATE_NONE for others. */
int mpf_sample_rate_mask_get(apr_uint16_t sampling_rate);

/* One codec a stream supports: name, bits per sample (0 = codec default), rate flags. */
typedef struct mpf_codec_attribs_t {
  apt_str_t name;
  apr_byte_t bits_per_sample;
  int sample_rates;
} mpf_codec_attribs_t;

typedef struct mpf_codec_capabilities_t {
  apr_array_header_t *attrib_arr; /* of mpf_codec_attribs_t */
  int allow_named_events;
} mpf_codec_capabilities_t;

/* The codec negotiated for a stream. */
typedef struct mpf_codec_descriptor_t {
  apr_byte_t payload_type;
  apt_str_t name;
  apr_uint16_t sampling_rate;
  apr_byte_t channel_count;
} mpf_codec_descriptor_t;

typedef enum {
  STREAM_DIRECTION_NONE = 0x0,
  STREAM_DIRECTION_SEND = 0x1,    /* the stream is a sink */
  STREAM_DIRECTION_RECEIVE = 0x2, /* the stream is a source: the server reads frames */
  STREAM_DIRECTION_DUPLEX = 0x3
} mpf_stream_direction_e;

typedef struct mpf_stream_capabilities_t {
  mpf_stream_direction_e direction;
  mpf_codec_capabilities_t codecs;
} mpf_stream_capabilities_t;

/* Creates empty capabilities for the direction, from the pool. */
mpf_stream_capabilities_t *mpf_stream_capabilities_create(mpf_stream_direction_e direction, apr_pool_t *pool);
/*
 * Appends one codec entry (name copied from the pool, bits per sample 0).
 * Returns the entry, or NULL for null arguments.
 */
mpf_codec_attribs_t *mpf_codec_capabilities_add(mpf_codec_capabilities_t *capabilities, int sample_rates,
                                                const char *codec_name, apr_pool_t *pool);

typedef struct mpf_audio_stream_t mpf_audio_stream_t;
typedef struct mpf_termination_t mpf_termination_t;

/*
 * Entries of an audio stream, in order. A source stream sets read_frame;
 * entries left NULL are not called.
 */
typedef struct mpf_audio_stream_vtable_t {
  apt_bool_t (*destroy)(mpf_audio_stream_t *stream);
  apt_bool_t (*open_rx)(mpf_audio_stream_t *stream, void *codec);
  apt_bool_t (*close_rx)(mpf_audio_stream_t *stream);
  apt_bool_t (*read_frame)(mpf_audio_stream_t *stream, mpf_frame_t *frame);
  apt_bool_t (*open_tx)(mpf_audio_stream_t *stream, void *codec);
  apt_bool_t (*close_tx)(mpf_audio_stream_t *stream);
  apt_bool_t (*write_frame)(mpf_audio_stream_t *stream, const mpf_frame_t *frame);
  void (*trace)(mpf_audio_stream_t *stream, mpf_stream_direction_e direction, apt_text_stream_t *output);
} mpf_audio_stream_vtable_t;

struct mpf_audio_stream_t {
  void *obj; /* the plugin's stream object */
  const mpf_audio_stream_vtable_t *vtable;
  mpf_termination_t *termination;
  mpf_stream_capabilities_t *capabilities;
  mpf_stream_direction_e direction;
  mpf_codec_descriptor_t *rx_descriptor; /* set by the server once negotiated */
  mpf_codec_descriptor_t *tx_descriptor;
};

struct mpf_termination_t {
  apr_pool_t *pool;
  mpf_audio_stream_t *audio_stream;
};

#ifdef __cplusplus
}
#endif

#endif /* CORVEX_MPF_H */
