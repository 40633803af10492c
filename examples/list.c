/* Prints the name of every entry of the archive named by the first argument, one per line. */
#include <qobz/qobz.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 2;
  }
  qobz_reader* reader = qobz_reader_new();
  if (!reader) return 1;
  qobz_entry entry;
  int result = qobz_open_path(reader, argv[1], 0);
  while (result == QOBZ_OK && (result = qobz_next_entry(reader, &entry)) == QOBZ_OK)
    puts(entry.name);
  if (result != QOBZ_DONE) fprintf(stderr, "%s: %s\n", argv[1], qobz_reader_message(reader));
  qobz_reader_free(reader);
  return result == QOBZ_DONE ? 0 : 1;
}
