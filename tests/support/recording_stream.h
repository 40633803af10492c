// A memory stream that records every Read and WriteBuffer call, for tests that pin how the byte
// layer talks to its streams: how many calls, of which sizes, and in which order.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "qobz/errors.h"
#include "qobz/stream.h"

namespace qobz::test {

class RecordingStream : public TMemoryStream {
 public:
  RecordingStream() = default;
  explicit RecordingStream(std::vector<uint8_t> data) : TMemoryStream(std::move(data)) {}

  int32_t Read(void* buffer, int32_t count) override {
    if (before_read) before_read(count);
    read_requests.push_back(count);
    int32_t n = TMemoryStream::Read(buffer, count);
    read_results.push_back(n);
    return n;
  }
  void WriteBuffer(const void* buffer, int32_t count) override {
    writes.push_back(count);
    if (fail_writes) throw EWriteError("Stream write error: test stream refuses writes");
    TMemoryStream::WriteBuffer(buffer, count);
  }

  std::vector<int32_t> read_requests;  // the count asked for by each Read call
  std::vector<int32_t> read_results;   // what each Read call delivered
  std::vector<int32_t> writes;         // the count of each WriteBuffer call
  bool fail_writes = false;
  std::function<void(int32_t)> before_read;  // called before each Read with its count
};

}  // namespace qobz::test
