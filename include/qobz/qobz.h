/* The qobz library for C (C11 and later, also usable from C++).
 *
 * Reading: make a reader, open an archive from a file, from memory or from a read callback, then
 * step through its entries with qobz_next_entry(). After each entry, either extract it (to a
 * file, to memory or to a write callback), test it, or simply ask for the next one.
 *
 *   qobz_reader* r = qobz_reader_new();
 *   qobz_entry e;
 *   if (qobz_open_path(r, "backup.qbz") == QOBZ_OK)
 *     while (qobz_next_entry(r, &e) == QOBZ_OK) puts(e.name);
 *   qobz_reader_free(r);
 *
 * Writing: make a writer, create an archive (file or memory) with a method and, optionally, a key
 * and a lock, add entries, then finish it.
 *
 * Every call answers QOBZ_OK (0) or a negative QOBZ_ERROR_... code, and nothing is thrown. The
 * handle keeps the message of its last failure, the component's own text where the component
 * raised it (for example "Bad checksum during expansion -- data may be invalid"). A handle may be
 * used by one thread at a time; different handles are independent.
 *
 * Names are stored with backslashes between folder names. Paths given to the calls are the host
 * system's paths.
 */
#ifndef QOBZ_QOBZ_H
#define QOBZ_QOBZ_H

#include <stddef.h>
#include <stdint.h>

#include "qobz/version.h"

#if defined(_WIN32) && defined(QOBZ_SHARED)
#ifdef QOBZ_BUILDING_LIBRARY
#define QOBZ_API __declspec(dllexport)
#else
#define QOBZ_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QOBZ_API __attribute__((visibility("default")))
#else
#define QOBZ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
enum {
  QOBZ_OK = 0,
  QOBZ_DONE = 1,                 /* qobz_next_entry: the archive has no further entry */
  QOBZ_ERROR_ARGUMENT = -1,      /* a null pointer, a value out of range, a buffer too small */
  QOBZ_ERROR_STATE = -2,         /* a call out of order (say, extracting before an entry) */
  QOBZ_ERROR_MEMORY = -3,        /* out of memory */
  QOBZ_ERROR_OPEN = -4,          /* a file could not be opened */
  QOBZ_ERROR_CREATE = -5,        /* a file could not be created */
  QOBZ_ERROR_READ = -6,          /* reading failed, or a read callback answered an error */
  QOBZ_ERROR_WRITE = -7,         /* writing failed, or a write callback answered an error */
  QOBZ_ERROR_HEADER = -8,        /* not an archive, or a damaged or cut header */
  QOBZ_ERROR_ARCHIVE_TYPE = -9,  /* an archive type other than multi-file */
  QOBZ_ERROR_METHOD = -10,       /* a compression method this library does not know */
  QOBZ_ERROR_CHECKSUM = -11,     /* the entry's data are damaged */
  QOBZ_ERROR_KEY = -12,          /* the entry is locked and the key is missing or wrong */
  QOBZ_ERROR_DECODE_TABLE = -13, /* damaged compressed data (a bad code table) */
  QOBZ_ERROR_OTHER = -14,        /* any other failure; the message says which */
  QOBZ_ERROR_CANCELLED = -15     /* the progress callback asked to stop */
};

/* Compression methods: the code stored in each entry. */
enum {
  QOBZ_METHOD_STORED = 0, /* "NON" */
  QOBZ_METHOD_RLE = 1,    /* "RLE" */
  QOBZ_METHOD_LZH = 2,    /* "LZH" */
  QOBZ_METHOD_CUSTOM = 3, /* "CUS": an application's own method; this API cannot expand it */
  QOBZ_METHOD_LH5 = 4     /* "LH5" */
};

/* The library's version as "MAJOR.MINOR.PATCH", and as QOBZ_VERSION_NUMBER. Compare with the
 * macros of qobz/version.h to detect a header and library mismatch. */
QOBZ_API const char* qobz_version(void);
QOBZ_API int qobz_version_number(void);
/* A short fixed text for a result code ("bad checksum", ...); never NULL. */
QOBZ_API const char* qobz_result_text(int result);
/* The method's three-letter identifier ("LH5"), or NULL for an unknown code. */
QOBZ_API const char* qobz_method_name(int method);

/* Callbacks. A read callback fills up to size bytes and answers how many it gave, 0 at the end
 * of the data, or a negative number on an error. A write callback takes all size bytes and
 * answers 0, or non-zero to stop with QOBZ_ERROR_WRITE. */
typedef ptrdiff_t (*qobz_read_fn)(void* user, void* buffer, size_t size);
typedef int (*qobz_write_fn)(void* user, const void* data, size_t size);
/* A progress callback hears, while an entry's data are tested, extracted or added, how far they
 * are in percent of that entry: 0 first, 100 last, rising values between. It answers 0 to go on;
 * any other answer stops the call with QOBZ_ERROR_CANCELLED, which keeps nothing of the entry
 * (see each call for what that means there). */
typedef int (*qobz_progress_fn)(void* user, int percent);

/* ---- Reading ---- */

typedef struct qobz_reader qobz_reader;

/* One entry, as its header holds it. name stays valid until the next qobz_next_entry() or
 * qobz_reader_free(). */
typedef struct qobz_entry {
  const char* name;    /* stored name, backslashes between folder names */
  int64_t size;        /* unpacked bytes */
  int64_t packed_size; /* packed bytes in the archive */
  int method;          /* QOBZ_METHOD_..., or a code above 4 that no method has (see below) */
  uint32_t dos_date;   /* MS-DOS stamp in local time: date high 16 bits, time low 16 bits */
  uint32_t attributes; /* FAT attribute bits: 0x01 read-only, 0x02 hidden, 0x20 archive... */
  uint32_t checksum;   /* as stored: the byte sum of the data (plus the key when locked) */
  int32_t lock;        /* 0 open, 1 locked, 2 locked and scrambled with the key */
} qobz_entry;

/* A reader with no archive; NULL only when memory runs out. */
QOBZ_API qobz_reader* qobz_reader_new(void);
/* Closes its archive and frees it. NULL is allowed. */
QOBZ_API void qobz_reader_free(qobz_reader* reader);
/* The message of the reader's last failure, "" when the last call succeeded. */
QOBZ_API const char* qobz_reader_message(const qobz_reader* reader);
/* The key for locked entries (0: none, the default). Takes effect for the next extraction. */
QOBZ_API int qobz_reader_set_key(qobz_reader* reader, int32_t key);
/* The progress callback for the tests and extractions from now on, in this archive and the next
 * ones; NULL for none (the default). After a cancel the walk goes on with qobz_next_entry(). */
QOBZ_API int qobz_reader_set_progress(qobz_reader* reader, qobz_progress_fn progress, void* user);

/* Each open reads the archive header and closes what the reader had open before.
 * qobz_open_path: the archive starts `offset` bytes into the file (0 for a plain archive).
 * qobz_open_memory: the bytes are not copied and must stay until the reader is freed.
 * qobz_open_callbacks: the data are read once, front to back; nothing is ever read twice. */
QOBZ_API int qobz_open_path(qobz_reader* reader, const char* path, int64_t offset);
QOBZ_API int qobz_open_memory(qobz_reader* reader, const void* data, size_t size);
QOBZ_API int qobz_open_callbacks(qobz_reader* reader, qobz_read_fn read, void* user);

/* The archive's method identifier ("LH5", "" for an archive without entries) and its total of
 * unpacked sizes, from the archive header. */
QOBZ_API const char* qobz_archive_method(const qobz_reader* reader);
QOBZ_API int64_t qobz_archive_total_size(const qobz_reader* reader);

/* Moves to the next entry and describes it: QOBZ_OK, QOBZ_DONE after the last one, or an
 * error. The entry's data not extracted or tested are skipped. */
QOBZ_API int qobz_next_entry(qobz_reader* reader, qobz_entry* entry);

/* What can be done once with the current entry (a second call answers QOBZ_ERROR_STATE).
 * Each checks the lock and the checksum. An entry of the custom method or of an unknown method
 * code answers QOBZ_ERROR_METHOD, with a message naming it, before anything is read or made; it
 * stays current, and qobz_next_entry() goes on past it.
 * qobz_test_entry: expands the data to nowhere.
 * qobz_extract_to_file: the file is written under a temporary name in the same folder and
 *   renamed to path only when complete and sound, replacing a file there; it then gets the
 *   entry's date and attributes. On any failure nothing is left at either name.
 * qobz_extract_to_memory: needs capacity >= entry.size; *written (may be NULL) gets the bytes
 *   written.
 * qobz_extract_to_callback: the data in pieces of at most 8192 bytes; on a failure the callback
 *   may already have had part of them. */
QOBZ_API int qobz_test_entry(qobz_reader* reader);
QOBZ_API int qobz_extract_to_file(qobz_reader* reader, const char* path);
QOBZ_API int qobz_extract_to_memory(qobz_reader* reader, void* buffer, size_t capacity,
                                    size_t* written);
QOBZ_API int qobz_extract_to_callback(qobz_reader* reader, qobz_write_fn write, void* user);

/* ---- Writing ---- */

typedef struct qobz_writer qobz_writer;

/* A writer with no archive; NULL only when memory runs out. Freeing a writer whose archive was
 * not finished discards that archive (a file is not left behind). */
QOBZ_API qobz_writer* qobz_writer_new(void);
QOBZ_API void qobz_writer_free(qobz_writer* writer);
QOBZ_API const char* qobz_writer_message(const qobz_writer* writer);

/* Starts an archive whose entries are all packed with `method` (STORED, RLE, LZH or LH5; an
 * entry that the method cannot make smaller is stored). lock 0 leaves entries open and needs
 * key 0; lock 1 (locked) and 2 (locked and scrambled) need a non-zero key.
 * qobz_create_path: written under a temporary name beside path, renamed to path by
 *   qobz_writer_finish().
 * qobz_create_memory: in memory; qobz_writer_data() gives the bytes after qobz_writer_finish(). */
QOBZ_API int qobz_create_path(qobz_writer* writer, const char* path, int method, int32_t key,
                              int lock);
QOBZ_API int qobz_create_memory(qobz_writer* writer, int method, int32_t key, int lock);
/* best non-zero: LH5 entries added from now on, in this archive and the next ones, are packed with
 * a slower encoder that makes smaller streams of the same format (every LHA tool reads them). */
QOBZ_API int qobz_writer_set_best(qobz_writer* writer, int best);
/* The progress callback for the entries added from now on, in this archive and the next ones;
 * NULL for none (the default). A cancel stops the entry part way: that archive can then only be
 * discarded (freed, or replaced by the next qobz_create_path or qobz_create_memory). */
QOBZ_API int qobz_writer_set_progress(qobz_writer* writer, qobz_progress_fn progress, void* user);

/* Adds an entry under stored_name (backslashes or slashes between folder names; slashes are
 * stored as backslashes): the file at path with its date and attributes, or size bytes from
 * memory with the given MS-DOS date and attributes. */
QOBZ_API int qobz_add_file(qobz_writer* writer, const char* path, const char* stored_name);
QOBZ_API int qobz_add_memory(qobz_writer* writer, const char* stored_name, const void* data,
                             size_t size, uint32_t dos_date, uint32_t attributes);
/* Completes the archive (and renames the file into place). */
QOBZ_API int qobz_writer_finish(qobz_writer* writer);
/* The finished in-memory archive; valid until the writer is freed or starts another one. */
QOBZ_API int qobz_writer_data(const qobz_writer* writer, const void** data, size_t* size);

#ifdef __cplusplus
}
#endif

#endif
