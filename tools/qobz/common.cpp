#include "common.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qobz/headers.h"

namespace qobz::tool {

Args::Args(int argc, char** argv, std::vector<std::string> value_options,
           std::vector<std::string> flag_options) {
  auto known = [](const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
  };
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      operands_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    std::string name = arg, value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    if (known(value_options, name)) {
      if (!has_value) {
        if (i + 1 >= argc) throw UsageError("option " + name + " needs a value");
        value = argv[++i];
      }
      values_.emplace_back(name, value);
    } else if (known(flag_options, name) && !has_value) {
      flags_.push_back(name);
    } else {
      throw UsageError("unknown option " + arg);
    }
  }
}

bool Args::Flag(const std::string& name) const {
  return std::find(flags_.begin(), flags_.end(), name) != flags_.end();
}

bool Args::Has(const std::string& name) const {
  for (const auto& [key, value] : values_)
    if (key == name) return true;
  return false;
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
  std::string result = fallback;
  for (const auto& [key, value] : values_)
    if (key == name) result = value;  // the last one wins
  return result;
}

std::vector<std::string> Args::Values(const std::string& name) const {
  std::vector<std::string> result;
  for (const auto& [key, value] : values_)
    if (key == name) result.push_back(value);
  return result;
}

int64_t Args::Number(const std::string& name, int64_t fallback, int64_t min, int64_t max) const {
  return Has(name) ? ParseNumber(Value(name), name, min, max) : fallback;
}

int64_t ParseNumber(const std::string& text, const std::string& what, int64_t min, int64_t max) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < min || v > max)
    throw UsageError(what + " must be a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not \"" + text + "\"");
  return v;
}

uint8_t ParseMethod(const std::string& name) {
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (uint8_t code = 0; code < 5; ++code)
    if (code != kMethodCustom && upper == kMethodIds[code]) return code;
  throw UsageError("unknown method \"" + name + "\" (use NON, RLE, LZH or LH5)");
}

namespace {
bool g_progress_shown = false;
}

void AttachProgress(TCompress& compress, const std::string* label) {
  if (!isatty(STDERR_FILENO)) return;
  compress.OnShowProgress = [label](int32_t& percent) {
    int p = std::clamp(percent, 0, 100);
    char bar[31];
    int filled = p * 30 / 100;
    for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : ' ';
    bar[30] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%% %-40.40s", bar, p, label ? label->c_str() : "");
    std::fflush(stderr);
    g_progress_shown = true;
  };
}

void ClearProgress() {
  if (!g_progress_shown) return;
  std::fprintf(stderr, "\r%80s\r", "");
  std::fflush(stderr);
  g_progress_shown = false;
}

void PrintError(const std::string& archive, const std::string& entry, const std::string& what) {
  ClearProgress();
  if (entry.empty())
    std::fprintf(stderr, "qobz: %s: %s\n", archive.c_str(), what.c_str());
  else
    std::fprintf(stderr, "qobz: %s: %s: %s\n", archive.c_str(), entry.c_str(), what.c_str());
}

void StdoutStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count <= 0) return;
  if (std::fwrite(buffer, 1, static_cast<size_t>(count), stdout) != static_cast<size_t>(count))
    throw EWriteError(std::string("Stream write error on standard output. ") +
                      std::strerror(errno));
  written_ += count;
}

std::unique_ptr<TMemoryStream> ReadStdin() {
  auto stream = std::make_unique<TMemoryStream>();
  std::vector<uint8_t>& data = stream->Data();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
    data.insert(data.end(), chunk, chunk + n);
    if (data.size() > 2147483647u) throw UsageError("input larger than 2 GiB - 1");
  }
  return stream;
}

std::string StoredName(const std::string& host_path) {
  std::string name = host_path;
  std::replace(name.begin(), name.end(), '/', '\\');
  // Store paths relative, as tar does: drop leading separators and "." segments.
  for (;;) {
    if (name.rfind(".\\", 0) == 0) {
      name.erase(0, 2);
    } else if (!name.empty() && name[0] == '\\') {
      name.erase(0, 1);
    } else {
      break;
    }
  }
  return name;
}

std::string DosDateText(uint32_t stamp) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (stamp >> 25),
                (stamp >> 21) & 15, (stamp >> 16) & 31, (stamp >> 11) & 31, (stamp >> 5) & 63,
                (stamp & 31) * 2);
  return text;
}

std::string AttrText(uint16_t attr) {
  std::string text = "----";
  if (attr & 0x20) text[0] = 'A';
  if (attr & 0x04) text[1] = 'S';
  if (attr & 0x02) text[2] = 'H';
  if (attr & 0x01) text[3] = 'R';
  return text;
}

}  // namespace qobz::tool
