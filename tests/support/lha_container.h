// A minimal LHA archive writer and reader, so that our LH5 and LZH streams can be handed to
// independent LHA tools (which read the -lh5- and -lh1- methods) and theirs taken apart for us.
//
// Writes one member with a level-2 header: a 16-bit header length, the method id, sizes, a Unix
// time, the CRC-16 of the original data, then extended headers (header CRC and file name), each
// with the size of the next. Reads members with level 0, 1 or 2 headers. The archive ends with a
// zero byte.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qobz::test {

// CRC-16 as LHA uses it (polynomial 0x8005 reflected, initial value 0).
inline uint16_t LhaCrc16(const uint8_t* data, size_t size, uint16_t crc = 0) {
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}
inline uint16_t LhaCrc16(const std::vector<uint8_t>& data) {
  return LhaCrc16(data.data(), data.size());
}

struct LhaMember {
  std::string method;  // "-lh5-", "-lh1-", "-lh0-", ...
  std::string name;
  uint32_t original_size = 0;
  uint16_t crc = 0;  // CRC-16 of the original data
  std::vector<uint8_t> packed;
  int level = 0;
};

namespace lha_detail {
inline void Put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
}
inline void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
inline uint16_t Get16(const std::vector<uint8_t>& v, size_t at) {
  return static_cast<uint16_t>(v.at(at) | (v.at(at + 1) << 8));
}
inline uint32_t Get32(const std::vector<uint8_t>& v, size_t at) {
  return static_cast<uint32_t>(Get16(v, at)) | (static_cast<uint32_t>(Get16(v, at + 2)) << 16);
}
}  // namespace lha_detail

// One-member archive with a level-2 header. packed is the method's stream for original.
inline std::vector<uint8_t> MakeLhaArchive(const std::string& method, const std::string& name,
                                           const std::vector<uint8_t>& packed,
                                           const std::vector<uint8_t>& original,
                                           uint32_t unix_time = 1100000000u) {
  using namespace lha_detail;
  if (method.size() != 5) throw std::invalid_argument("LHA method ids have five characters");
  std::vector<uint8_t> h(26, 0);
  for (int i = 0; i < 5; ++i) h[2 + i] = static_cast<uint8_t>(method[i]);
  Put32(h, 7, static_cast<uint32_t>(packed.size()));
  Put32(h, 11, static_cast<uint32_t>(original.size()));
  Put32(h, 15, unix_time);
  h[19] = 0x20;
  h[20] = 2;  // header level
  Put16(h, 21, LhaCrc16(original));
  h[23] = 'U';
  // Extended headers: header CRC (type 0), then the file name (type 1), then none.
  Put16(h, 24, 5);
  size_t crc_at = h.size() + 1;
  h.push_back(0x00);
  h.push_back(0);
  h.push_back(0);
  h.push_back(0);
  h.push_back(0);
  Put16(h, h.size() - 2, static_cast<uint16_t>(3 + name.size()));
  h.push_back(0x01);
  h.insert(h.end(), name.begin(), name.end());
  h.push_back(0);
  h.push_back(0);  // no further extended header
  // A header length whose low byte is 0 would read as the end of the archive: pad by one byte.
  if ((h.size() & 0xFF) == 0) h.push_back(0);
  Put16(h, 0, static_cast<uint16_t>(h.size()));
  Put16(h, crc_at, LhaCrc16(h));
  h.insert(h.end(), packed.begin(), packed.end());
  h.push_back(0);  // end of archive
  return h;
}

// Every member of an archive with level 0, 1 or 2 headers. Throws on a malformed archive.
inline std::vector<LhaMember> ReadLhaArchive(const std::vector<uint8_t>& a) {
  using namespace lha_detail;
  std::vector<LhaMember> members;
  size_t pos = 0;
  while (pos < a.size() && a[pos] != 0) {
    if (pos + 22 > a.size()) throw std::runtime_error("LHA header cut short");
    LhaMember m;
    m.level = a.at(pos + 20);
    m.method.assign(a.begin() + static_cast<long>(pos + 2), a.begin() + static_cast<long>(pos + 7));
    uint32_t packed_size = Get32(a, pos + 7);
    m.original_size = Get32(a, pos + 11);
    size_t data_at = 0;
    auto read_extended = [&](size_t at, uint16_t next, bool sizes_in_skip) {
      uint32_t ext_total = 0;
      while (next != 0) {
        uint8_t type = a.at(at);
        if (type == 0x01)
          m.name.assign(a.begin() + static_cast<long>(at + 1),
                        a.begin() + static_cast<long>(at + next - 2));
        ext_total += next;
        at += next;
        next = Get16(a, at - 2);
      }
      if (sizes_in_skip) packed_size -= ext_total;
      return at;
    };
    if (m.level == 0 || m.level == 1) {
      size_t header_size = a.at(pos);
      size_t name_len = a.at(pos + 21);
      m.name.assign(a.begin() + static_cast<long>(pos + 22),
                    a.begin() + static_cast<long>(pos + 22 + name_len));
      m.crc = Get16(a, pos + 22 + name_len);
      data_at = pos + 2 + header_size;
      if (m.level == 1) {
        uint16_t next = Get16(a, data_at - 2);
        data_at = read_extended(data_at, next, true);
      }
    } else if (m.level == 2) {
      size_t header_size = Get16(a, pos);
      m.crc = Get16(a, pos + 21);
      read_extended(pos + 26, Get16(a, pos + 24), false);
      data_at = pos + header_size;
    } else {
      throw std::runtime_error("unsupported LHA header level");
    }
    if (data_at + packed_size > a.size()) throw std::runtime_error("LHA member cut short");
    m.packed.assign(a.begin() + static_cast<long>(data_at),
                    a.begin() + static_cast<long>(data_at + packed_size));
    pos = data_at + packed_size;
    members.push_back(std::move(m));
  }
  return members;
}

}  // namespace qobz::test
