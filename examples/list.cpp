// Prints the name of every entry of the archive named by the first argument, one per line.
#include <qobz/archive_reader.h>
#include <qobz/compress.h>
#include <qobz/errors.h>
#include <qobz/stream.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 2;
  }
  try {
    auto file = qobz::TFileStream::OpenRead(argv[1]);
    qobz::TCompress compress;
    qobz::TArchiveReader reader(compress, *file);
    while (reader.Next()) std::puts(reader.Name().c_str());
  } catch (const qobz::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
    return 1;
  }
  return 0;
}
