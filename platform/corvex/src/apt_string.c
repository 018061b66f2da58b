/*
 * Counted strings and name/value pair arrays.
 *
 * Everything is allocated from the caller's pool and never freed on its own;
 * copies are zero-terminated so they can also be used as C strings.
 */
#include <apr_strings.h>
#include <string.h>

#include "corvex/apt.h"
#include "corvex_internal.h"

void apt_string_copy(apt_str_t *dest, const apt_str_t *src, apr_pool_t *pool) {
  if (!dest || !pool) {
    CORVEX_REFUSE("apt_string_copy: null %s", dest ? "pool" : "destination");
    return;
  }
  if (!src || (!src->buf && src->length > 0)) {
    if (src) CORVEX_REFUSE("apt_string_copy: null buffer with length %lu", (unsigned long)src->length);
    dest->buf = apr_pstrmemdup(pool, "", 0);
    dest->length = 0;
    return;
  }
  dest->buf = apr_pstrmemdup(pool, src->buf ? src->buf : "", src->length);
  dest->length = src->length;
}

void apt_string_assign(apt_str_t *dest, const char *src, apr_pool_t *pool) {
  if (!dest || !pool) {
    CORVEX_REFUSE("apt_string_assign: null %s", dest ? "pool" : "destination");
    return;
  }
  /* An empty string still gets a buffer so callers may print it. */
  const char *text = src ? src : "";
  dest->length = strlen(text);
  dest->buf = apr_pstrmemdup(pool, text, dest->length);
}

apr_array_header_t *apt_pair_array_create(apr_size_t nelts, apr_pool_t *pool) {
  if (!pool) {
    CORVEX_REFUSE("apt_pair_array_create: null pool");
    return NULL;
  }
  /* apr arrays count in int; a larger request is only a capacity hint. */
  int initial = nelts > 1024 ? 1024 : (int)nelts;
  return apr_array_make(pool, initial, sizeof(apt_pair_t));
}

apt_bool_t apt_pair_array_append(apr_array_header_t *arr, const char *name, const char *value, apr_pool_t *pool) {
  if (!arr || !name || !value || !pool) {
    CORVEX_REFUSE("apt_pair_array_append: null argument");
    return FALSE;
  }
  if (arr->elt_size != (int)sizeof(apt_pair_t)) {
    CORVEX_REFUSE("apt_pair_array_append: array of %d-byte elements is not a pair array", arr->elt_size);
    return FALSE;
  }
  apt_pair_t *pair = (apt_pair_t *)apr_array_push(arr);
  apt_string_assign(&pair->name, name, pool);
  apt_string_assign(&pair->value, value, pool);
  return TRUE;
}
