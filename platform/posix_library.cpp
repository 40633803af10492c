// Shared libraries on POSIX systems. Kept apart from the other platform routines so that a
// program that never loads a library, linked statically, does not pull in the dynamic loader.
#include <dlfcn.h>

#include "platform/platform.h"

namespace qobz::platform {

std::unique_ptr<TSharedLibrary> TSharedLibrary::Load(const std::string& path) {
  void* handle = ::dlopen(NativePath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  return std::unique_ptr<TSharedLibrary>(new TSharedLibrary(handle));
}

TSharedLibrary::~TSharedLibrary() {
  ::dlclose(handle_);
}

void* TSharedLibrary::Symbol(const char* name) const {
  return ::dlsym(handle_, name);
}

}  // namespace qobz::platform
