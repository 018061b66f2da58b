/*
 * Sample-rate flags and stream capabilities.
 *
 * Capabilities and their codec entries live in the pool they were created
 * from; the host reads them when it negotiates a channel's codec.
 */
#include "corvex/mpf.h"
#include "corvex_internal.h"

int mpf_sample_rate_mask_get(apr_uint16_t sampling_rate) {
  switch (sampling_rate) {
    case 8000:
      return MPF_SAMPLE_RATE_8000;
    case 16000:
      return MPF_SAMPLE_RATE_16000;
    case 32000:
      return MPF_SAMPLE_RATE_32000;
    case 48000:
      return MPF_SAMPLE_RATE_48000;
    default:
      return MPF_SAMPLE_RATE_NONE;
  }
}

mpf_stream_capabilities_t *mpf_stream_capabilities_create(mpf_stream_direction_e direction, apr_pool_t *pool) {
  if (!pool) {
    CORVEX_REFUSE("mpf_stream_capabilities_create: null pool");
    return NULL;
  }
  if ((unsigned)direction > STREAM_DIRECTION_DUPLEX) {
    CORVEX_REFUSE("mpf_stream_capabilities_create: unknown direction %d", (int)direction);
    return NULL;
  }
  mpf_stream_capabilities_t *caps = (mpf_stream_capabilities_t *)apr_pcalloc(pool, sizeof(*caps));
  caps->direction = direction;
  caps->codecs.attrib_arr = apr_array_make(pool, 2, sizeof(mpf_codec_attribs_t));
  caps->codecs.allow_named_events = FALSE;
  return caps;
}

mpf_codec_attribs_t *mpf_codec_capabilities_add(mpf_codec_capabilities_t *capabilities, int sample_rates,
                                                const char *codec_name, apr_pool_t *pool) {
  if (!capabilities || !capabilities->attrib_arr || !codec_name || !pool) {
    CORVEX_REFUSE("mpf_codec_capabilities_add: null argument");
    return NULL;
  }
  if (capabilities->attrib_arr->elt_size != (int)sizeof(mpf_codec_attribs_t)) {
    CORVEX_REFUSE("mpf_codec_capabilities_add: array of %d-byte elements is not a codec list",
                  capabilities->attrib_arr->elt_size);
    return NULL;
  }
  mpf_codec_attribs_t *attribs = (mpf_codec_attribs_t *)apr_array_push(capabilities->attrib_arr);
  apt_string_assign(&attribs->name, codec_name, pool);
  attribs->bits_per_sample = 0;
  attribs->sample_rates = sample_rates;
  return attribs;
}
