// One entry's packed data through the codec driver, and the size, lock and checksum checks that
// tell damage, a wrong key and a sound entry apart.
#include <cstdint>
#include <string>

#include "codecs/codec_state.h"
#include "qobz/compress.h"
#include "qobz/methods.h"

namespace qobz {

namespace {

// The destination of a built-in method's run: passes on at most `limit` bytes in all. Output
// that would go past the entry's UnpackedSize means the entry is damaged; nothing of it is
// written, so a few packed bytes cannot fill a disk.
class TCappedDest : public TStream {
 public:
  TCappedDest(TStream& inner, int64_t limit) : inner_(inner), left_(limit) {}
  int32_t Read(void* buffer, int32_t count) override { return inner_.Read(buffer, count); }
  void WriteBuffer(const void* buffer, int32_t count) override {
    if (count > left_) throw EBadChecksum();
    inner_.WriteBuffer(buffer, count);
    if (count > 0) left_ -= count;
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
  int64_t Size() override { return inner_.Size(); }

 private:
  TStream& inner_;
  int64_t left_;
};

}  // namespace

void TCompress::ExpandEntry(TStream& Dest, TStream& Source, int32_t PackedSize,
                            int32_t UnpackedSize, uint32_t Checksum, uint8_t Method,
                            const std::string& CompressID, int32_t KeyLock) {
  // An unknown method would leave its packed bytes unread, or read as whatever came next.
  const TMethodInfo* method = FindMethod(Method);
  if (!method) throw EInvalidHeader();
  if (KeyLock > 0 && Key == 0) throw EInvalidKey();
  // Stored data are the file's bytes: any difference between the sizes is damage. Damage in a
  // locked entry is reported as a wrong key throughout, since a wrong key garbles data just so.
  if (method->StoresPlain && PackedSize != UnpackedSize) {
    if (KeyLock > 0) throw EInvalidKey();
    throw EBadChecksum();
  }
  uint32_t computed = 0;
  if (method->ApplicationDefined) {
    if (OnExpand) {
      int32_t checksum = 0;
      OnExpand(Dest, Source, PackedSize, UnpackedSize, CompressID, checksum);
      computed = static_cast<uint32_t>(checksum);
    }
  } else {
    TCappedDest capped(Dest, UnpackedSize > 0 ? UnpackedSize : 0);
    try {
      TCodecOptions options;
      options.Key = Key;
      options.Scrambled = KeyLock == 2;
      options.Progress = &OnShowProgress;
      const TCodecResult run = Run(capped, Source, PackedSize, UnpackedSize, Method, true, options);
      computed = run.Checksum;
      const int32_t made = run.Written;
      // Data that end early are damage whatever their checksum: the entry must come out at its
      // full size, and data read to their end (no size tells their decoder where to stop) must all
      // have arrived.
      // A run the progress handler cancelled is no damage; the caller reports the cancel.
      const TCompThreadSafety& s = CodecState();
      if (!s.FetchCancelled &&
          (made != UnpackedSize || (!method->DecodeNeedsSize && s.InRemaining > 0)))
        throw EBadChecksum();
    } catch (const ELZHBadDecodeTable&) {
      // A wrong key garbles a locked entry's tables: report the key, not the data.
      if (KeyLock > 0) throw EInvalidKey();
      throw;
    } catch (const EBadChecksum&) {
      // A decoder that ran out of packed data; for a locked entry that is the key too.
      if (KeyLock > 0) throw EInvalidKey();
      throw;
    }
  }
  if (computed == Checksum) return;
  if (Checksum == 0 && method->StoresPlain) return;
  if (KeyLock > 0) {
    if (static_cast<uint32_t>(Key) + computed == Checksum) return;
    throw EInvalidKey();
  }
  throw EBadChecksum();
}

}  // namespace qobz
