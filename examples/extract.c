/* extract ARCHIVE NAME [OUT]: writes the entry stored as NAME to the file OUT, showing its
 * progress on standard error, or to standard output through a write callback. A locked entry
 * needs the key in the QOBZ_KEY variable. */
#include <qobz/qobz.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int to_stdout(void* user, const void* data, size_t size) {
  return fwrite(data, 1, size, (FILE*)user) == size ? 0 : 1;
}

static int show_progress(void* user, int percent) {
  fprintf((FILE*)user, "\r%3d%%%s", percent, percent == 100 ? "\n" : "");
  return 0; /* non-zero would cancel */
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: %s ARCHIVE NAME [OUT]\n", argv[0]);
    return 2;
  }
  qobz_reader* reader = qobz_reader_new();
  if (!reader) return 1;
  const char* key = getenv("QOBZ_KEY");
  if (key) qobz_reader_set_key(reader, (int32_t)strtol(key, NULL, 0));
  qobz_entry entry;
  int result = qobz_open_path(reader, argv[1], 0);
  while (result == QOBZ_OK && (result = qobz_next_entry(reader, &entry)) == QOBZ_OK) {
    if (strcmp(entry.name, argv[2]) != 0) continue;
    if (argc == 4) {
      qobz_reader_set_progress(reader, show_progress, stderr);
      result = qobz_extract_to_file(reader, argv[3]);
    } else {
      result = qobz_extract_to_callback(reader, to_stdout, stdout);
    }
    break;
  }
  if (result == QOBZ_DONE)
    fprintf(stderr, "%s: no entry named %s\n", argv[1], argv[2]);
  else if (result != QOBZ_OK)
    fprintf(stderr, "%s: %s: %s\n", argv[1], argv[2], qobz_reader_message(reader));
  qobz_reader_free(reader);
  return result == QOBZ_OK ? 0 : 1;
}
