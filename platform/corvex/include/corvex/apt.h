/*
 * Corvex server: basic plugin-interface types.
 *
 * Booleans, counted strings and name/value pairs, the text cursor with its
 * field and line readers, and the server's directory layout. Everything here
 * is plain C so that plugins written in C or C++ can use it.
 */
#ifndef CORVEX_APT_H
#define CORVEX_APT_H

#include <apr_pools.h>
#include <apr_tables.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int apt_bool_t;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* A counted string. buf is usually zero-terminated but readers must honour length. */
typedef struct apt_str_t {
  char *buf;
  apr_size_t length;
} apt_str_t;

/* A name/value pair, as carried in Vendor-Specific-Parameters. */
typedef struct apt_pair_t {
  apt_str_t name;
  apt_str_t value;
} apt_pair_t;

/* Copies src into dest from the pool; the copy is zero-terminated. */
void apt_string_copy(apt_str_t *dest, const apt_str_t *src, apr_pool_t *pool);
/* Sets dest to a pool copy of the zero-terminated src (empty for null). */
void apt_string_assign(apt_str_t *dest, const char *src, apr_pool_t *pool);

/* Creates an array of apt_pair_t with room for nelts pairs. */
apr_array_header_t *apt_pair_array_create(apr_size_t nelts, apr_pool_t *pool);
/* Appends a pool copy of name=value; returns FALSE for null arguments. */
apt_bool_t apt_pair_array_append(apr_array_header_t *arr, const char *name, const char *value, apr_pool_t *pool);

/*
 * A read cursor over text: pos walks from text.buf to end.
 * The readers never write into the text.
 */
typedef struct apt_text_stream_t {
  apt_str_t text;
  char *pos;
  const char *end;
} apt_text_stream_t;

/* Points the cursor at the start of str. */
void apt_text_stream_init(apt_text_stream_t *stream, char *buf, apr_size_t length);

/*
 * Reads the next field up to separator (or the end). Leading blanks (space,
 * tab) are skipped when skip_spaces is TRUE; trailing blanks are kept. The
 * separator is consumed and not part of the field. Returns FALSE when the
 * cursor was already at the end (field then empty), TRUE otherwise, even for
 * an empty field.
 */
apt_bool_t apt_text_field_read(apt_text_stream_t *stream, char separator, apt_bool_t skip_spaces, apt_str_t *field);

/*
 * Reads the next line, ending at LF or CRLF (the line end is consumed and not
 * part of the line). Returns FALSE when the cursor was already at the end.
 */
apt_bool_t apt_text_line_read(apt_text_stream_t *stream, apt_str_t *line);

/* Returns TRUE when the cursor has reached the end of the text. */
apt_bool_t apt_text_is_eos(const apt_text_stream_t *stream);

/* Directories of the server's layout. */
typedef enum {
  APT_LAYOUT_CONF_DIR = 0,
  APT_LAYOUT_PLUGIN_DIR = 1,
  APT_LAYOUT_LOG_DIR = 2,
  APT_LAYOUT_DATA_DIR = 3,
  APT_LAYOUT_VAR_DIR = 4,
  APT_LAYOUT_DIR_COUNT
} apt_dir_entry_id;

typedef struct apt_dir_layout_t apt_dir_layout_t;

/*
 * Creates the standard layout under root: root/conf, root/plugin, root/log,
 * root/data, root/var. Nothing is created on disk. Returns NULL for a null root.
 */
apt_dir_layout_t *apt_default_dir_layout_create(const char *root, apr_pool_t *pool);
/* Sets one directory of the layout (a pool copy). */
apt_bool_t apt_dir_layout_path_set(apt_dir_layout_t *layout, apr_size_t id, const char *path, apr_pool_t *pool);
/* Returns the directory with the given id, or NULL (unknown id, null layout). */
const char *apt_dir_layout_path_get(const apt_dir_layout_t *layout, apr_size_t id);
/* Returns "<dir>/<file_name>" for the given directory, allocated from pool; NULL on bad input. */
char *apt_dir_layout_filepath_get(const apt_dir_layout_t *layout, apr_size_t id, const char *file_name,
                                  apr_pool_t *pool);
char *apt_confdir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool);
char *apt_vardir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool);
char *apt_datadir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* CORVEX_APT_H */
