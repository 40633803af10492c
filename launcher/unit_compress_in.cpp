// UnitCompressIn: the holders and the unpacking of the appended archive.
#include "launcher/unit_compress_in.h"

#include "qobz/stream.h"

namespace qobz::launcher {

namespace {

// Every holder ever made, released when the library is unloaded.
std::vector<std::unique_ptr<TCompressDataModule>>& Holders() {
  static std::vector<std::unique_ptr<TCompressDataModule>> holders;
  return holders;
}

}  // namespace

TCompressDataModule* CompressDataModule = nullptr;

TCompressDataModule::TCompressDataModule() {
  // Unpack into an existing folder only, pass over a file that cannot be created (the launcher
  // then finds it missing from the files written), refuse locked entries, and never ask for free
  // space.
  Compress.MakeDirectories = false;
  Compress.ExceptionOnFileError = false;
  Compress.Key = 0;
  Compress.CheckSpaceBeforeExpand = false;
}

size_t CompressDataModuleCount() {
  return Holders().size();
}

std::string FolderOf(const std::string& path) {
  size_t cut = path.find_last_of("\\:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool UnpackAppendedArchive(const std::string& ModulePath, int64_t offset, TStringList* Written) {
  Holders().push_back(std::make_unique<TCompressDataModule>());
  CompressDataModule = Holders().back().get();
  TCompress& compress = CompressDataModule->Compress;

  std::unique_ptr<TFileStream> stream;
  try {
    stream = TFileStream::OpenRead(ModulePath);
  } catch (...) {
    return false;
  }
  stream->Seek(offset, SeekOrigin::Begin);
  compress.SetTargetPath(FolderOf(ModulePath));
  compress.ExpandStreamToFiles(*stream, nullptr, Written);
  return true;
}

}  // namespace qobz::launcher
