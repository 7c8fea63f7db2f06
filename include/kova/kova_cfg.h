/**
 * @file
 * INI configuration files: the format, a process-wide store of parsed files, direct reads and
 * rewrites of one item, safe edits through a temporary file, and the bay configuration reader.
 *
 * Format as read (one line at a time, lines of at most 4,194,369 characters, CRs dropped):
 *  - "[name]" (at most 65 characters, the name trimmed, only letters, digits and '_', so at most
 *    63 characters; "[]" is the empty name) starts a section; a blank before '[' makes it no
 *    header. Items before the first header belong to section "NULL". A section may repeat.
 *  - A line starting with ';' or '=' is ignored; so is a line without '='.
 *  - "key = value": split at the first '=', both sides trimmed of blanks. The key has only
 *    letters, digits and '_' and at most 63 characters; the value at most 4,194,303 characters
 *    and is taken whole (no inline comments). A repeated key keeps the last value.
 *  Names compare case-sensitively.
 * Format as written: "[section]\n" then "key=value\n" lines, nothing else.
 *
 * Store locking: g_stCfgRwlock guards the list of files, each file node's `lock` its sections
 * and items; the global lock is always taken before a node's. The functions without _ex take
 * the global lock and, inside it, the lock of every node they look into; the _ex functions take
 * the node's lock under the global one and then release the global lock. Every value is read and
 * swapped under its node's lock, so the two styles exclude each other.
 */
#ifndef KOVA_KOVA_CFG_H
#define KOVA_KOVA_CFG_H

#include "kova_list.h"
#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_CFG_NAME_SIZE 64           /**< section and item names, NUL included */
#define KOVA_CFG_FILE_NAME_SIZE 256     /**< file paths, NUL included */
#define KOVA_CFG_LINE_SIZE 0x400042     /**< the line buffer of the parser */
#define KOVA_CFG_VALUE_MAX 0x3FFFFF     /**< characters of a value */
#define KOVA_CFG_RECORD_VALUE_SIZE 832  /**< value field of kova_cfg_item_s */
#define KOVA_CFG_ERR_BUFFER (-10000)    /**< the output buffer is too small */

/** One item of a parsed section. */
typedef struct kova_cfg_item_node_s {
    kova_list_head_s list;  /**< link in its section's item list */
    char name[KOVA_CFG_NAME_SIZE];  /**< the item's name */
    char *value;  /**< a heap string of exactly its length + 1 */
} kova_cfg_item_node_s;

/** One section of a parsed file. */
typedef struct kova_cfg_section_node_s {
    kova_list_head_s list;  /**< link in its file's section list */
    kova_list_head_s items; /**< its items in file order */
    char name[KOVA_CFG_NAME_SIZE];  /**< the section's name, without brackets */
} kova_cfg_section_node_s;

/** A parsed file held by the INI store. */
typedef struct kova_cfg_file_node_s {
    kova_list_head_s list;      /**< link in the store's file list, newest first */
    kova_list_head_s sections;  /**< in order of first appearance */
    char name[KOVA_CFG_FILE_NAME_SIZE]; /**< the file's path */
    int64_t lock;               /**< a kova_rwlock word guarding sections and items */
    uint32_t refcount;          /**< kova_cfg_init calls not yet matched by kova_cfg_destroy_ex */
} kova_cfg_file_node_s;

/** The output of kova_cfg_getItemFromFile. */
typedef struct kova_cfg_item_s {
    char name[KOVA_CFG_NAME_SIZE];           /**< the item's name */
    char value[KOVA_CFG_RECORD_VALUE_SIZE];  /**< its value, at most 831 characters and a NUL */
} kova_cfg_item_s;

/** An edit of a file; members the edit does not need are null. */
typedef struct kova_cfg_edit_req_s {
    const char *path; /**< the file to edit */
    const char *section; /**< the section name */
    const char *item; /**< the item name */
    const char *value; /**< the new value */
} kova_cfg_edit_req_s;

/** An edit applied to a parsed file node: 0 or -1. */
typedef int (*kova_cfg_edit_fn)(kova_cfg_file_node_s *node, const char *section, const char *item,
                                const char *value);

/** Guards the store's list of files (a kova_rwlock word). */
KOVA_API extern int64_t g_stCfgRwlock;

/** Loads (or reloads, replacing its content and raising its count) a file into the store.
 * 0; -1 when the path is null or the file cannot be read. */
KOVA_API int kova_cfg_init(const char *path);
/** The same as kova_cfg_init: loads or reloads a file into the store; 0 or -1. */
KOVA_API int kova_cfg_init_ex(const char *path);
/** Drops every file, whatever its count. Returns 0. */
KOVA_API int kova_cfg_destroy(void);
/** Lowers the file's count and drops it at 0. 0; -1 for a null path (with files loaded). */
KOVA_API int kova_cfg_destroy_ex(const char *path);
/** Copies the value of the item from the newest loaded file that has it. 0; KOVA_CFG_ERR_BUFFER
 * when `size` is below the value's length + 1; -1 when not found or an argument is missing. */
KOVA_API int kova_cfg_getItemValue(const char *section, const char *item, char *buf, uint32_t size);
/** As kova_cfg_getItemValue within the loaded file of exactly this path. */
KOVA_API int kova_cfg_getItemValue_ex(const char *path, const char *section, const char *item, char *buf,
                                      uint32_t size);
/** Replace an existing item's value in the store (never in the file, never creating an item).
 * 0; -1 when the item is not loaded or an argument is missing. */
KOVA_API int kova_cfg_setItemValue(const char *section, const char *item, const char *value);
/** As kova_cfg_setItemValue within the loaded file of exactly this path: 0; -1 when the file is
 * not loaded, the item is not in it or an argument is missing. */
KOVA_API int kova_cfg_setItemValue_ex(const char *path, const char *section, const char *item,
                                      const char *value);
/** Reads the first such item in file order straight from the file (value at most 831
 * characters). 0 when found; -1 otherwise. */
KOVA_API int kova_cfg_getItemFromFile(const char *path, const char *section, const char *item,
                                      kova_cfg_item_s *record);
/**
 * Rewrites the file in place (created with mode 0600 if absent) with the item set to `value`,
 * under an exclusive flock: the item is replaced where it stands, or added as the last line of
 * its section, or with its section at the end. The file is regenerated from its items (comments
 * and blank lines go, items before the first header come under "[NULL]"). Space for the new text
 * is reserved before the old text is overwritten, so a full disk leaves the file as it was.
 * 0; -1 on failure; 22 when the new text cannot be formatted.
 */
KOVA_API int kova_cfg_write_item_to_file(const char *path, const char *section, const char *item,
                                         const char *value);

/**
 * Safe edit that adds an item (kova_cfg_add_item_func): parse the whole file, change the parsed
 * copy, write it to PATH.temp (the target's mode, owner and group), fsync, rename over the
 * target, all under an exclusive flock on the target; a store copy of the same path is replaced
 * by the edited one. The target must exist. 0, or -1 with the target untouched.
 */
KOVA_API int kova_cfg_file_addItem(const char *path, const char *section, const char *item, const char *value);
/** Safe edit, as kova_cfg_file_addItem, that deletes an item (kova_cfg_del_item_func): 0, or -1
 * with the target untouched. */
KOVA_API int kova_cfg_file_delItem(const char *path, const char *section, const char *item);
/** Safe edit, as kova_cfg_file_addItem, that deletes a section and its items
 * (kova_cfg_del_section_func): 0, or -1 with the target untouched. */
KOVA_API int kova_cfg_file_delSection(const char *path, const char *section);
/** Safe edit, as kova_cfg_file_addItem, that replaces an existing item's value
 * (kova_cfg_set_item_func): 0, or -1 with the target untouched. */
KOVA_API int kova_cfg_file_setItemValue(const char *path, const char *section, const char *item,
                                        const char *value);

/** Node edit under the node's write lock: adds an item, creating a missing section at the end.
 * 0, or -1 for an existing item, a missing argument or an allocation failure. */
KOVA_API int kova_cfg_add_item_func(kova_cfg_file_node_s *node, const char *section, const char *item,
                                    const char *value);
/** Node edit under the node's write lock: deletes an item and drops a section it leaves empty.
 * 0, or -1 (logged) when the section or item does not exist or an argument is null. */
KOVA_API int kova_cfg_del_item_func(kova_cfg_file_node_s *node, const char *section, const char *item);
/** Node edit under the node's write lock: replaces an existing item's value with a copy of
 * `value`. 0, or -1 when the item does not exist, an argument is null or the copy fails. */
KOVA_API int kova_cfg_set_item_func(kova_cfg_file_node_s *node, const char *section, const char *item,
                                    const char *value);
/** Node edit under the node's write lock: deletes a section with its items. 0, or -1 (logged) when
 * it does not exist or an argument is null. */
KOVA_API int kova_cfg_del_section_func(kova_cfg_file_node_s *node, const char *section);
/** A new unlinked item node (linked to itself); null on failure. Free with the node's file. */
KOVA_API kova_cfg_item_node_s *kova_cfg_new_item_node_ex(const char *item, const char *value);

/** Creates PATH.temp with the mode, owner and group of the file open on `fd` (a leftover is
 * removed first). Its descriptor and, in *temp_name, its heap name (free with kova_freesub);
 * -1 and a null name on failure. */
KOVA_API int kova_cfg_create_tmpfile(const char *path, int fd, char **temp_name);
/** Replaces the content of `fd` with the node's text. 0 or -1. */
KOVA_API int kova_cfg_writeFnodeTofile(int fd, kova_cfg_file_node_s *node);
/** Puts `node` in the place (and count) of the store's node of the same file name, which is
 * freed. 0; -1 when the store holds no such file (the node is then the caller's). */
KOVA_API int kova_cfg_updateFileNode(kova_cfg_file_node_s *node);
/** The whole edit sequence on the target open on `fd` (the caller closes it). 0 or -1. */
KOVA_API int kova_cfg_file_writeOperate(int fd, const kova_cfg_edit_req_s *request, kova_cfg_edit_fn edit);
/** Copies `src` into `dst` up to the first non-printable character or `length` characters.
 * 0; -1 when dst_size is not larger than `length` or a pointer is null. */
KOVA_API int kova_remove_noneprint_characters(const char *src, int32_t length, char *dst, int32_t dst_size);
/** Prints the file as this family writes it ("[s]" and "k=v" lines). 0; -1 when it cannot be
 * read or `print` is null. */
KOVA_API int kova_cfg_file_dump(const char *path, kova_print_fn print);

/**
 * Asks the platform script for the bay configuration item `key` and puts its one-line answer
 * (without the line feed, cut to size - 1 characters) into `buf`. The script answers through
 * /tmp/bay_cfg_segment_\<pid\>.conf: concurrent calls within one process share that file, so
 * callers serialise them. 0; -22 for a null argument or a key with a shell metacharacter; -1 for
 * an empty key or when no value can be obtained.
 */
KOVA_API int kova_get_bay_config_keyvalue(const char *key, char *buf, uint32_t size);
/** 0 when both pointers are set and the key is non-empty and harmless; else -22 or -1. */
KOVA_API int get_bay_config_keyvalue_param_check(const char *key, const char *buf);

KOVA_EXTERN_C_END

#endif
