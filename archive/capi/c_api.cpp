// The C API (qobz/qobz.h).
#include "qobz/version.h"

extern "C" const char* qobz_version(void) {
  return QOBZ_VERSION_STRING;
}
extern "C" int qobz_version_number(void) {
  return QOBZ_VERSION_NUMBER;
}
