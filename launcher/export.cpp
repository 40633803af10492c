// The library's one export.
#include <cstdint>

#include "launcher/launch.h"
#include "launcher/unit_compress_in.h"

#if defined(_WIN32)
// The .def file names the export: the plain name, without stdcall's "@20".
#define QOBZ_EXPORT
#define QOBZ_WINAPI __stdcall
#else
#define QOBZ_EXPORT __attribute__((visibility("default")))
#define QOBZ_WINAPI
#endif

// Runs the companion program with the given settings and answers its result: a value below 100
// that the companion posted, or 2 when the run could not be prepared. Null pointers count as
// empty strings. Blocks the calling thread until the companion posts its result.
extern "C" QOBZ_EXPORT int32_t QOBZ_WINAPI MakeBackupCD(const char* Volume, const char* Title,
                                                        const char* ColorForm,
                                                        const char* ColorText,
                                                        const char* FolderPath) {
  qobz::launcher::TLaunchSettings settings;
  settings.Volume = Volume;
  settings.Title = Title;
  settings.ColorForm = ColorForm;
  settings.ColorText = ColorText;
  settings.FolderPath = FolderPath;
  qobz::launcher::TSystemLaunchPlatform system(qobz::launcher::ArchiveOffset);
  return qobz::launcher::RunLaunchSequence(system, settings);
}
