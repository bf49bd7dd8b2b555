/*
 * Ostrel — public interface of the recovery engine.
 *
 * A host loads the library, calls `initialize` with its table of callbacks
 * and an empty operation table, and drives everything else through the
 * fifteen operations the engine writes into that table. The engine starts no
 * threads: every callback arrives on the thread that called the operation
 * that caused it.
 *
 * Widths. The 32-bit layout is the reference: there every word of the two
 * tables, the record's name/handle/parent and every node handle are 32 bits,
 * and `tagItemRecord` is exactly 140 bytes. On 64-bit builds those
 * pointer-sized things widen to 64 bits; everything else keeps its width and
 * order (see the offset tables beside `tagItemRecord`).
 *
 * Text. All text exchanged with the host is UTF-16 (`ostrel_char`: wchar_t
 * on Windows, char16_t elsewhere), NUL-terminated.
 *
 * Usable from C and C++. `stop_token` is a C++ interface (three virtual
 * operations); C hosts that need stop tokens must provide objects with that
 * C++ layout, or pass null where a token is optional.
 */
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define OSTREL_CALL __cdecl
#else
#define OSTREL_CALL
#endif

#if defined(_WIN32)
#if defined(OSTREL_BUILDING_ENGINE)
#define OSTREL_EXPORT __declspec(dllexport)
#else
#define OSTREL_EXPORT __declspec(dllimport)
#endif
#else
#define OSTREL_EXPORT __attribute__((visibility("default")))
#endif

#if defined(_WIN32)
typedef wchar_t ostrel_char;
#elif defined(__cplusplus)
typedef char16_t ostrel_char;
#else
#include <uchar.h>
typedef char16_t ostrel_char;
#endif

/* A node handle: the address of a file or folder node object, as found in
 * the `handle` and `parent` fields of an item record. The host hands it back
 * to the node operations. Valid while the session and its last scan's tree
 * live. */
typedef uintptr_t ostrel_handle;

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Event codes (`on_event`; the value is 0.0 unless stated) ---------- */
enum {
    OSTREL_EVENT_SCAN_STARTED = 0,       /* a file-system scan began */
    OSTREL_EVENT_SCAN_FAILED = 1,        /* right after a status 1, 2, 3 or 5 */
    OSTREL_EVENT_DIRECTORY_DONE = 2,     /* metadata tree reported */
    OSTREL_EVENT_DEEP_SCAN_STARTED = 3,  /* signature carving begins */
    OSTREL_EVENT_DEEP_SCAN_PROGRESS = 4, /* value: percent of sectors swept */
    OSTREL_EVENT_DEEP_SCAN_FAILED = 5,   /* right after status 3 or 4 */
    OSTREL_EVENT_DEEP_SCAN_DONE = 6,     /* after the deep scan, unless stopped */
    OSTREL_EVENT_SAVE_STARTED = 8,       /* first thing `save_file` does */
    OSTREL_EVENT_SAVE_DONE = 9,          /* value: 0.0, or the error number */
    OSTREL_EVENT_SAVE_BAD_ARGUMENT = 10, /* null session, engine or node */
    OSTREL_EVENT_SEARCHING_VOLUME = 11   /* first sector unusable; searching */
};

/* ---- Status codes (`on_status`) ---------------------------------------- */
enum {
    OSTREL_STATUS_EMPTY_START_PATH = 1,      /* start path has no component */
    OSTREL_STATUS_START_PATH_NOT_FOUND = 2,  /* start folder not on the volume */
    OSTREL_STATUS_OBJECT_NOT_CREATED = 3,    /* root record, bitmap, deep-scan engine */
    OSTREL_STATUS_DEVICE_SEEK_FAILED = 4,    /* positioning failed in the deep scan */
    OSTREL_STATUS_TABLE_UNREADABLE = 5,      /* FAT/exFAT allocation table */
    OSTREL_STATUS_DESTINATION_EXISTS = 7     /* save target exists (error 17) */
};

/* ---- Item kinds (first argument of `add_item`) ------------------------- */
enum {
    OSTREL_KIND_FOLDER = 0x1,          /* folder attached to the tree */
    OSTREL_KIND_FOLDER_RENAMED = 0x2,  /* folder re-sent with its restored name */
    OSTREL_KIND_FILE = 0x100,          /* file attached to the tree */
    OSTREL_KIND_CARVED_FILE = 0x200,   /* file found by signature */
    OSTREL_KIND_FILE_RENAMED = 0x400   /* file re-sent after its name changed */
};

/* ---- Item groups (second argument of `add_item`) ----------------------- */
enum {
    OSTREL_GROUP_TREE = 0,            /* the ordinary tree */
    OSTREL_GROUP_RECYCLE_BIN = 1,     /* a lost "$RECYCLE.BIN"; NTFS orphans of record 5 */
    OSTREL_GROUP_LOST = 2,            /* lost folders and orphan subtrees */
    OSTREL_GROUP_CARVED_RETYPED = 3,  /* carved files whose extension was refined */
    OSTREL_GROUP_DELETED_PARENT = 4   /* unknown parent of a deleted file */
};

/* ---- File-system type codes (`session_fs_type`) ------------------------ */
enum {
    OSTREL_FS_NONE = 0,
    OSTREL_FS_FAT16 = 2,
    OSTREL_FS_FAT32 = 3,
    OSTREL_FS_NTFS = 4,
    OSTREL_FS_EXFAT = 5,
    OSTREL_FS_RAW = 6
};

/* ---- Item record -------------------------------------------------------
 * Allocated by the host (`alloc_record(140)`; on 64-bit builds the size
 * passed is sizeof(tagItemRecord)), zeroed and filled by the engine, then
 * handed to `add_item`; it belongs to the host from then on, also when
 * `add_item` is called twice with it.
 *
 *   field        i686 offset  64-bit offset
 *   name              0            0    node's name (owned by the node) or null
 *   created           4            8    20 UTF-16 units: "YYYY/MM/DD hh:mm:ss"
 *   accessed         44           48
 *   modified         84           88
 *   attributes      124          128    file-system attribute word
 *   deleted         128          132    0 or 1
 *   handle          132          136    the node's handle
 *   parent          136          144    the parent folder's handle, or 0
 *   size            140          152
 */
typedef struct tagItemRecord {
    const ostrel_char* name;
    ostrel_char created[20];
    ostrel_char accessed[20];
    ostrel_char modified[20];
    uint32_t attributes;
    uint8_t deleted;
    uint8_t reserved[3];
    ostrel_handle handle;
    ostrel_handle parent;
} tagItemRecord;

/* ---- Host callback table (eight pointer-sized words) -------------------
 * Words 1-6 must be non-null for `initialize` to accept the table; word 7 may
 * be null (then a requested deep scan always runs). */
typedef struct host_callbacks {
    void* host_data; /* word 0: the host's own; never read by the engine */
    /* word 1: numbered events with a value */
    void(OSTREL_CALL* on_event)(int32_t code, float value);
    /* word 2: one found item; answer -1 when the item's parent is unknown to
       the host (the engine then reports the parent and sends the item again) */
    int32_t(OSTREL_CALL* add_item)(uint32_t kind, uint32_t group, tagItemRecord* record);
    /* word 3: allocate one item record of `size` bytes */
    tagItemRecord*(OSTREL_CALL* alloc_record)(uint32_t size);
    void* reserved; /* word 4: must be non-null; never called */
    /* word 5: one log line "[tag]\tmessage", valid only during the call */
    void(OSTREL_CALL* log_line)(const ostrel_char* line);
    /* word 6: a numbered cause of failure, sent right before its event */
    void(OSTREL_CALL* on_status)(int32_t code);
    /* word 7: asked once per scan before the deep scan: 1 run it, 2 skip it
       and call the token's on_deep_scan_declined, anything else skip it */
    int32_t(OSTREL_CALL* continue_deep_scan)(void);
} host_callbacks;

/* Opaque session: one volume of a source, created by the open operations and
   owned by the host until `close_session`. */
typedef struct recover_session recover_session;

#ifdef __cplusplus
struct stop_token;
#else
typedef struct stop_token stop_token;
#endif

/* ---- Operation table (sixteen pointer-sized words) ---------------------
 * `initialize` fills words 1-15 and leaves word 0 untouched. Every operation
 * returns its neutral value (null, 0, false, -1) for null arguments. */
typedef struct engine_ops {
    void* host_data; /* word 0: untouched */

    /* 1: open the volume of drive `letter` ("\\.\X:"). Null when it cannot
       be opened (logs "<path> 打开失败") or holds no recognisable volume. */
    recover_session*(OSTREL_CALL* open_drive_letter)(ostrel_char letter, struct stop_token* token);

    /* 2: open "\\.\PhysicalDriveN" and return the next volume at or after
       *position (before `end`; 0 = only the sector at *position). *position
       is advanced past the volume: call again to walk the whole disk. */
    recover_session*(OSTREL_CALL* open_physical_disk)(int32_t disk_number, uint64_t* position,
                                                       uint64_t end, struct stop_token* token);

    /* 3: release the session, its tree and its descriptors. */
    void(OSTREL_CALL* close_session)(recover_session* s);

    /* 4: scan the volume (whole, or from the folder `start_path`, components
       separated by '\\' or '/'), reporting items as they are found; then,
       when `deep_scan` is set and the host agrees, carve free space. `token`
       (required) is polled; `save_token` (optional) is polled by later saves.
       True when a tree was built (also when stopped part-way). */
    uint8_t(OSTREL_CALL* scan_session)(recover_session* s, const ostrel_char* start_path,
                                       uint8_t deep_scan, struct stop_token* token,
                                       struct stop_token* save_token);

    /* 5: save the file `node` to the new file `destination` (never
       overwritten: an existing one gives status 7 and event 9 with 17).
       Events 8, then 9 (0.0 or the error number) or 10 on null arguments,
       on the calling thread. Once the scan has finished, saves of one
       session may run on several threads at once: they read the recovery
       descriptor with positioned reads and change nothing in the tree. */
    uint8_t(OSTREL_CALL* save_file)(recover_session* s, ostrel_handle node,
                                    const ostrel_char* destination);

    /* 6: the file's size in bytes. */
    uint64_t(OSTREL_CALL* node_size)(ostrel_handle node);

    /* 7: OSTREL_FS_* of the session's volume. */
    int32_t(OSTREL_CALL* session_fs_type)(recover_session* s);

    /* 8: like open_physical_disk on three descriptors the caller opened and
       keeps (scan, recovery, preview); the engine duplicates them. */
    recover_session*(OSTREL_CALL* open_descriptors)(int32_t d_scan, int32_t d_recovery,
                                                     int32_t d_preview, uint64_t* position,
                                                     uint64_t end, struct stop_token* token);

    /* 9: the scan descriptor; the recovery and preview descriptors are stored
       through the non-null out-pointers. */
    int32_t(OSTREL_CALL* session_descriptors)(recover_session* s, int32_t* d_recovery,
                                              int32_t* d_preview);

    /* 10: byte offset of the volume on its device. */
    uint64_t(OSTREL_CALL* session_volume_offset)(recover_session* s);

    /* 11: a raw (carving-only) session over `length` bytes from `start`. */
    recover_session*(OSTREL_CALL* open_raw_range)(int32_t d_scan, uint64_t start, uint64_t length);

    /* 12: the node's name, valid while the node lives. */
    const ostrel_char*(OSTREL_CALL* node_name)(ostrel_handle node);

    /* 13: the file's data extents as text, e.g.
       [{"o":8192, "l":4096},{"o":65536, "l":904}] (device byte offsets).
       0: copied with its NUL; n > 0: `buffer_size` is n bytes short and
       nothing was copied; -1: no text. */
    int32_t(OSTREL_CALL* extent_text)(recover_session* s, ostrel_handle node, char* buffer,
                                      uint32_t buffer_size);

    /* 14: the node's full path (recycled items: their former path). Returns
       the characters needed including the NUL; the path is written only when
       that fits in `buffer_chars`. 0 for null arguments. */
    int32_t(OSTREL_CALL* node_path)(recover_session* s, ostrel_handle node, ostrel_char* buffer,
                                    uint32_t buffer_chars);

    /* 15: the session's deep-scan flag. */
    uint8_t(OSTREL_CALL* session_deep_scan_flag)(recover_session* s);
} engine_ops;

/* Binds `host` and fills `ops`. 1: ready. 0: `host` is null. -1: a required
   host slot (1-6) is null; the table stays bound, but the host must not run
   operations. -2: `ops` is null. */
OSTREL_EXPORT int32_t OSTREL_CALL initialize(host_callbacks* host, engine_ops* ops);

/* Forgets the host table: later callbacks fall silent, running work goes on.
   Sessions are closed with `close_session`, before or after. */
OSTREL_EXPORT void OSTREL_CALL shut_down(void);

#ifdef __cplusplus
} /* extern "C" */

/* A host object polled by long work. The engine keeps plain pointers and never
   deletes it; it must outlive its use. Slot order is part of the interface. */
struct stop_token {
    /* non-zero when the host wants the current work to stop */
    virtual uint8_t is_stopped() = 0;
    /* called once by an operation that noticed is_stopped and gave up */
    virtual void on_stopped() = 0;
    /* called when continue_deep_scan answered 2 */
    virtual void on_deep_scan_declined() = 0;

protected:
    ~stop_token() = default;
};
#endif

/* Layout checks: the 32-bit layout is the reference ABI. */
#if defined(__cplusplus)
#define OSTREL_STATIC_ASSERT static_assert
#else
#define OSTREL_STATIC_ASSERT _Static_assert
#endif
#if UINTPTR_MAX == 0xFFFFFFFFu
OSTREL_STATIC_ASSERT(sizeof(tagItemRecord) == 140, "item record is 140 bytes");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, created) == 4, "created at 4");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, accessed) == 44, "accessed at 44");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, modified) == 84, "modified at 84");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, attributes) == 124, "attributes at 124");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, deleted) == 128, "deleted at 128");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, handle) == 132, "handle at 132");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, parent) == 136, "parent at 136");
OSTREL_STATIC_ASSERT(sizeof(host_callbacks) == 8 * 4, "eight words");
OSTREL_STATIC_ASSERT(sizeof(engine_ops) == 16 * 4, "sixteen words");
#else
OSTREL_STATIC_ASSERT(sizeof(tagItemRecord) == 152, "64-bit item record is 152 bytes");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, created) == 8, "created at 8");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, accessed) == 48, "accessed at 48");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, modified) == 88, "modified at 88");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, attributes) == 128, "attributes at 128");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, deleted) == 132, "deleted at 132");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, handle) == 136, "handle at 136");
OSTREL_STATIC_ASSERT(offsetof(tagItemRecord, parent) == 144, "parent at 144");
OSTREL_STATIC_ASSERT(sizeof(host_callbacks) == 8 * sizeof(void*), "eight words");
OSTREL_STATIC_ASSERT(sizeof(engine_ops) == 16 * sizeof(void*), "sixteen words");
#endif

#endif /* OSTREL_OSTREL_H */
