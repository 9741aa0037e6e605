#include "packetfile/packet_file.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/byte_cursor.h"

namespace {
const char kMagic200[8] = {'P', 'K', 'R', 'L', 'F', '2', '0', '0'};
const char kMagic100[8] = {'P', 'K', 'R', 'L', 'F', '1', '0', '0'};
constexpr size_t kReadBufferSize = 128 << 10;  // stays in the L2 cache
FileTime Saturated(FileTime t) { return t < kMaxFileTime ? t : kMaxFileTime; }
}  // namespace

PacketFile::~PacketFile() { ResetFile(false); }

void PacketFile::SetName(const char* path) { snprintf(name_, sizeof name_, "%.259s", path); }

void PacketFile::ResetFile(bool temporary) {
  FlushBatch();
  writer_.Close();
  CloseReading();
  if (name_[0] && temporary_) GetPlatform().RemoveFile(name_);
  name_[0] = 0;
  temporary_ = temporary;
}

bool PacketFile::CreateForWriting() {
  FlushBatch();  // the writing thread is done with the file before
  writeError_.clear();
  if (temporary_) {
    if (!GetPlatform().CreateTempFile("pkr", name_, sizeof name_)) {
      writeError_ = RawFile::LastErrorText();
      return false;
    }
  }
  if (!name_[0] || !writer_.OpenWrite(name_)) {
    writeError_ = name_[0] ? RawFile::LastErrorText() : "no file name";
    return false;
  }
  if (!writeBuf_) writeBuf_.reset(new uint8_t[kRecordOverhead + kMaxPacketLength]);
  uint8_t h[kFileHeaderSize + 16 * kMaxHeaderIPv6];
  size_t payload = 4;
  memcpy(h + 10, &headerAddress, 4);
  for (const IpAddress& a : headerAddresses6) {
    if (!a.is6()) continue;
    if (payload == 4 + 16 * kMaxHeaderIPv6) break;
    memcpy(h + 10 + payload, a.bytes, 16);
    payload += 16;
  }
  memcpy(h, kMagic200, 8);
  StoreLe16(h + 8, uint16_t(payload));
  writeOffset_ = 10 + payload;
  if (writer_.Write(h, writeOffset_)) return true;
  writeError_ = RawFile::LastErrorText();
  return false;
}

bool PacketFile::AppendPacket(const uint8_t* packet, uint32_t length, const uint8_t* dstMac,
                              const uint8_t* srcMac, FileTime time) {
  // Stored as every read gives it back, so that what is accounted as it
  // is stored matches a rebuild from the file.
  lastPacketTime = Saturated(time ? time : GetPlatform().LocalFileTimeNow());
  if (length == 0 || length > kMaxPacketLength) return false;
  if (!writer_.IsOpen() || !writeError_.empty()) return false;
  if (batched_ && (!filling_ || asyncFailed_) && !NextBatch()) return false;
  uint8_t* r = batched_ ? filling_->data.get() + filling_->length : writeBuf_.get();
  StoreLe16(r, 24);
  StoreLe32(r + 2, length);
  StoreLe32(r + 6, uint32_t(lastPacketTime));
  StoreLe32(r + 10, uint32_t(lastPacketTime >> 32));
  if (srcMac) memcpy(r + 14, srcMac, 6);
  else memset(r + 14, 0, 6);
  if (dstMac) memcpy(r + 20, dstMac, 6);
  else memset(r + 20, 0, 6);
  memcpy(r + kRecordOverhead, packet, length);
  if (batched_) {
    filling_->length += kRecordOverhead + length;
    if (filling_->length >= kBatchSize) {
      writes_->Send();
      filling_ = nullptr;
    }
  } else if (!writer_.Write(r, kRecordOverhead + length)) {
    // A part of the record may be in the file; nothing may follow it.
    writeError_ = RawFile::LastErrorText();
    return false;
  }
  lastAppend_ = writeOffset_;
  writeOffset_ += kRecordOverhead + length;
  return true;
}

void PacketFile::SetBatchedWrites(bool on) {
  if (!on) FlushBatch();
  batched_ = on;
}

// The batch to fill next; false once a write failed (writeError_ then says
// why) or no memory is left for a batch.
bool PacketFile::NextBatch() {
  if (asyncFailed_) {
    FlushBatch();
    return false;
  }
  if (!writes_) {
    writes_.reset(new BatchPipe<WriteBatch, kWritesWaiting>);
    writes_->StartTaker(&WriteTake, this, kWriterStack);
  }
  WriteBatch& b = writes_->Free();
  if (!b.data) b.data.reset(new (std::nothrow) uint8_t[kBatchSize + kRecordOverhead + kMaxPacketLength]);
  if (!b.data) {
    FlushBatch();
    if (writeError_.empty()) writeError_ = "out of memory";
    return false;
  }
  b.length = 0;
  filling_ = &b;
  return true;
}

void PacketFile::WriteTake(void* file, WriteBatch& b) {
  PacketFile& f = *static_cast<PacketFile*>(file);
  if (f.asyncFailed_ || f.writer_.Write(b.data.get(), b.length)) return;
  f.asyncError_ = RawFile::LastErrorText();  // this thread's reason
  f.asyncFailed_ = true;
}

// Writes what is gathered and waits for the writing thread.
bool PacketFile::FlushBatch(bool quietly) {
  if (writes_) {
    if (filling_ && filling_->length) writes_->Send();
    writes_->Finish(quietly);
    writes_.reset();
    filling_ = nullptr;
    if (asyncFailed_ && writeError_.empty()) writeError_ = asyncError_;
    asyncFailed_ = false;
  }
  return writeError_.empty();
}

void PacketFile::Discard() {
  FlushBatch(true);
  batched_ = false;
  ResetFile(true);
}

void PacketFile::CloseWriting() {
  FlushBatch();
  // A close may report an earlier write's failure only now (a network share).
  const bool wasOpen = writer_.IsOpen();
  if (!writer_.Close() && wasOpen && writeError_.empty()) writeError_ = RawFile::LastErrorText();
}

bool PacketFile::OpenForReading() {
  CloseReading();
  damage_ = nullptr;
  if (!name_[0] || !reader_.OpenRead(name_)) return false;
  if (!readBuf_) readBuf_.reset(new uint8_t[kReadBufferSize]);
  uint8_t magic[8];
  size_t got = 0;
  if (!Fill(magic, 8, &got) || got != 8 ||
      (memcmp(magic, kMagic100, 8) != 0 && memcmp(magic, kMagic200, 8) != 0)) {
    CloseReading();
    return false;
  }
  uint8_t lenBytes[2];
  headerAddresses6.clear();
  if (!Fill(lenBytes, 2, &got) || got != 2) {
    damage_ = "truncated file header";
  } else if (const uint16_t len = LoadLe16(lenBytes); len >= 1 && len <= 255) {
    uint8_t payload[256] = {};
    if (!Fill(payload, len, &got) || got != len) damage_ = "truncated file header";
    memcpy(&headerAddress, payload, 4);
    // Whole addresses only: a cut one at the end is not an address.
    for (size_t at = 4; !damage_ && at + 16 <= len; at += 16) headerAddresses6.push_back(IpAddress::V6(payload + at));
  }
  recordOffset_ = fileOffset_;
  return reader_.IsOpen();
}

bool PacketFile::Fill(void* dst, size_t n, size_t* got) {
  uint8_t* out = static_cast<uint8_t*>(dst);
  *got = 0;
  while (*got < n) {
    if (readPos_ == readLen_) {
      long r = reader_.Read(readBuf_.get(), kReadBufferSize);
      if (r < 0) return false;
      if (r == 0) return true;
      readPos_ = 0;
      readLen_ = size_t(r);
    }
    size_t k = readLen_ - readPos_;
    if (k > n - *got) k = n - *got;
    memcpy(out + *got, readBuf_.get() + readPos_, k);
    readPos_ += k;
    fileOffset_ += k;
    *got += k;
  }
  return true;
}

bool PacketFile::ReadNextPacket(uint8_t* buffer, PacketHeader& header) {
  const uint8_t* p = NextPacket(buffer, header);
  if (!p) return false;
  if (p != buffer) {
    memcpy(buffer, p, header.length);
    buffer[header.length] = 0;
  }
  return true;
}

const uint8_t* PacketFile::NextPacket(uint8_t* buffer, PacketHeader& header) {
  if (!reader_.IsOpen() || damage_) return nullptr;
  recordOffset_ = fileOffset_;
  // Fast path: a standard record that lies wholly in the read buffer.
  const size_t avail = readLen_ - readPos_;
  if (avail >= kRecordOverhead) {
    const uint8_t* r = readBuf_.get() + readPos_;
    const uint32_t n = LoadLe32(r + 2);
    if (LoadLe16(r) == 24 && n != 0 && n <= kMaxPacketLength && avail - kRecordOverhead >= n) {
      header.length = n;
      header.time = Saturated(FileTime(LoadLe32(r + 6)) | FileTime(LoadLe32(r + 10)) << 32);
      memcpy(header.srcMac, r + 14, 6);
      memcpy(header.dstMac, r + 20, 6);
      readPos_ += kRecordOverhead + n;
      fileOffset_ += kRecordOverhead + n;
      return r + kRecordOverhead;
    }
  }
  return ReadRecordSlowly(buffer, header) ? buffer : nullptr;
}

// A record across the end of the read buffer, or one with a longer header.
bool PacketFile::ReadRecordSlowly(uint8_t* buffer, PacketHeader& header) {
  uint8_t lenBytes[2];
  size_t got = 0;
  if (!Fill(lenBytes, 2, &got)) {
    damage_ = "read error";
    return false;
  }
  if (got == 0) return false;  // clean end of file
  if (got != 2) {
    damage_ = "truncated record header";
    return false;
  }
  uint16_t h = LoadLe16(lenBytes);
  if (h == 0 || h > 255) {
    damage_ = "invalid record header length";
    return false;
  }
  uint8_t area[256] = {};
  if (!Fill(area, h, &got) || got != h) {
    damage_ = "truncated record header";
    return false;
  }
  PacketHeader ph;
  ph.length = LoadLe32(area);
  ph.time = Saturated(FileTime(LoadLe32(area + 4)) | FileTime(LoadLe32(area + 8)) << 32);
  memcpy(ph.srcMac, area + 12, 6);
  memcpy(ph.dstMac, area + 18, 6);
  if (ph.length == 0 || ph.length > kMaxPacketLength) {
    damage_ = "invalid packet length";
    return false;
  }
  if (!Fill(buffer, ph.length, &got) || got != ph.length) {
    damage_ = "truncated packet";
    return false;
  }
  buffer[ph.length] = 0;
  header = ph;
  return true;
}

bool PacketFile::ReadPacketAt(uint64_t offset, uint8_t* buffer, PacketHeader& header) {
  if (!reader_.IsOpen()) return false;
  const uint64_t bufferStart = fileOffset_ - readPos_;
  if (offset >= bufferStart && offset < bufferStart + readLen_) {
    readPos_ = size_t(offset - bufferStart);
    fileOffset_ = offset;
  } else {
    if (!reader_.Seek(offset)) return false;
    readPos_ = readLen_ = 0;
    fileOffset_ = offset;
  }
  damage_ = nullptr;
  return ReadNextPacket(buffer, header);
}

void PacketFile::CloseReading() {
  reader_.Close();
  readPos_ = readLen_ = 0;
  fileOffset_ = 0;
}
