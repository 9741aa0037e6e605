// Reads untrusted bytes through one cursor. A read past the end sets a
// sticky error and yields zeros; callers check ok() once at the end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

class ByteCursor {
 public:
  ByteCursor(const uint8_t* data, size_t size, bool bigEndian = true)
      : data_(data), size_(size), big_(bigEndian) {}

  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  size_t size() const { return size_; }
  size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
  const uint8_t* data() const { return data_; }
  void setBigEndian(bool b) { big_ = b; }

  bool has(size_t n) const { return ok_ && size_ - pos_ >= n; }
  const uint8_t* take(size_t n) {
    if (!has(n)) {
      ok_ = false;
      return nullptr;
    }
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }
  void skip(size_t n) { take(n); }
  void seek(size_t p) {
    if (p > size_) ok_ = false;
    else pos_ = p;
  }
  void fail() { ok_ = false; }

  uint8_t u8() {
    const uint8_t* p = take(1);
    return p ? p[0] : 0;
  }
  uint16_t u16() {
    const uint8_t* p = take(2);
    if (!p) return 0;
    return big_ ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
  }
  uint32_t u32() {
    const uint8_t* p = take(4);
    if (!p) return 0;
    return big_ ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool big_;
  bool ok_ = true;
};

inline uint16_t LoadBe16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t LoadLe16(const uint8_t* p) { return uint16_t(p[1] << 8 | p[0]); }
inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

// An IPv4 address kept as its four wire bytes, in host order.
inline uint32_t NetToHost32(uint32_t v) {
  uint8_t b[4];
  memcpy(b, &v, 4);
  return LoadBe32(b);
}
