/*
 * The server's directory layout: one path per apt_dir_entry_id.
 *
 * The layout and its paths live in the pool it was created from. Nothing
 * here touches the disk; the host creates directories when it wants them.
 */
#include <apr_strings.h>
#include <string.h>

#include "corvex/apt.h"
#include "corvex_internal.h"

struct apt_dir_layout_t {
  const char *paths[APT_LAYOUT_DIR_COUNT]; /* NULL: not set */
};

static const char *const kDefaultDirNames[APT_LAYOUT_DIR_COUNT] = {"conf", "plugin", "log", "data", "var"};

/* dir + "/" + name, without doubling a slash the directory already ends with. */
static char *join_path(const char *dir, const char *name, apr_pool_t *pool) {
  size_t len = strlen(dir);
  const char *sep = (len > 0 && dir[len - 1] == '/') ? "" : "/";
  return apr_pstrcat(pool, dir, sep, name, NULL);
}

apt_dir_layout_t *apt_default_dir_layout_create(const char *root, apr_pool_t *pool) {
  if (!root || !pool) {
    CORVEX_REFUSE("apt_default_dir_layout_create: null %s", root ? "pool" : "root");
    return NULL;
  }
  apt_dir_layout_t *layout = (apt_dir_layout_t *)apr_pcalloc(pool, sizeof(*layout));
  for (int i = 0; i < APT_LAYOUT_DIR_COUNT; i++) {
    layout->paths[i] = join_path(root, kDefaultDirNames[i], pool);
  }
  return layout;
}

apt_bool_t apt_dir_layout_path_set(apt_dir_layout_t *layout, apr_size_t id, const char *path, apr_pool_t *pool) {
  if (!layout || !path || !pool) {
    CORVEX_REFUSE("apt_dir_layout_path_set: null argument");
    return FALSE;
  }
  if (id >= APT_LAYOUT_DIR_COUNT) {
    CORVEX_REFUSE("apt_dir_layout_path_set: unknown directory id %lu", (unsigned long)id);
    return FALSE;
  }
  layout->paths[id] = apr_pstrdup(pool, path);
  return TRUE;
}

const char *apt_dir_layout_path_get(const apt_dir_layout_t *layout, apr_size_t id) {
  if (!layout) {
    CORVEX_REFUSE("apt_dir_layout_path_get: null layout");
    return NULL;
  }
  if (id >= APT_LAYOUT_DIR_COUNT) {
    CORVEX_REFUSE("apt_dir_layout_path_get: unknown directory id %lu", (unsigned long)id);
    return NULL;
  }
  return layout->paths[id];
}

char *apt_dir_layout_filepath_get(const apt_dir_layout_t *layout, apr_size_t id, const char *file_name,
                                  apr_pool_t *pool) {
  if (!file_name || !pool) {
    CORVEX_REFUSE("apt_dir_layout_filepath_get: null %s", file_name ? "pool" : "file name");
    return NULL;
  }
  const char *dir = apt_dir_layout_path_get(layout, id);
  if (!dir) return NULL;
  return join_path(dir, file_name, pool);
}

char *apt_confdir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool) {
  return apt_dir_layout_filepath_get(layout, APT_LAYOUT_CONF_DIR, file_name, pool);
}

char *apt_vardir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool) {
  return apt_dir_layout_filepath_get(layout, APT_LAYOUT_VAR_DIR, file_name, pool);
}

char *apt_datadir_filepath_get(const apt_dir_layout_t *layout, const char *file_name, apr_pool_t *pool) {
  return apt_dir_layout_filepath_get(layout, APT_LAYOUT_DATA_DIR, file_name, pool);
}
