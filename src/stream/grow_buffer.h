// A growable byte buffer that always keeps a NUL after its last byte, so
// its contents can also be read as a string.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

class GrowBuffer {
 public:
  explicit GrowBuffer(size_t step = 256) : step_(step ? step : 256) {}
  ~GrowBuffer() { delete[] data_; }
  GrowBuffer(const GrowBuffer&) = delete;
  GrowBuffer& operator=(const GrowBuffer&) = delete;

  const uint8_t* data() const { return data_ ? data_ : reinterpret_cast<const uint8_t*>(""); }
  uint8_t* data() { return Reserve(0) ? data_ : nullptr; }
  const char* c_str() const { return reinterpret_cast<const char*>(data()); }
  size_t length() const { return length_; }
  size_t capacity() const { return capacity_; }

  void Set(const void* bytes, size_t n) {
    length_ = 0;
    Append(bytes, n);
  }
  void Append(const void* bytes, size_t n) { WriteAt(length_, bytes, n); }
  void Append(const char* text) { Append(text, strlen(text)); }
  // Copies n bytes to `offset`; a gap before it is filled with zero bytes.
  void WriteAt(size_t offset, const void* bytes, size_t n) {
    const size_t end = offset + n;
    if (!Reserve(end > length_ ? end : length_)) return;
    if (offset > length_) memset(data_ + length_, 0, offset - length_);
    if (n) memmove(data_ + offset, bytes, n);
    if (end > length_) length_ = end;
    data_[length_] = 0;
  }
  void PrependZeros(size_t n) {
    if (!n || !Reserve(length_ + n)) return;
    memmove(data_ + n, data_, length_);
    memset(data_, 0, n);
    length_ += n;
    data_[length_] = 0;
  }
  void Clear() {
    length_ = 0;
    if (data_) data_[0] = 0;
  }

 private:
  // Room for `needed` bytes and the NUL, in whole steps. The capacity at
  // least doubles, so a block of many segments costs linear time, not
  // quadratic; an allocation failure leaves the buffer as it was.
  bool Reserve(size_t needed) {
    if (data_ && needed < capacity_) return true;
    if (needed >= kMaxCapacity) return false;
    size_t cap = capacity_ > needed ? capacity_ : needed + 1;
    if (cap < capacity_ * 2) cap = capacity_ * 2 < kMaxCapacity ? capacity_ * 2 : kMaxCapacity;
    cap = (cap + step_ - 1) / step_ * step_;
    uint8_t* fresh = new (std::nothrow) uint8_t[cap];
    if (!fresh) return false;
    if (data_) memcpy(fresh, data_, length_ + 1);
    else fresh[0] = 0;
    delete[] data_;
    data_ = fresh;
    capacity_ = cap;
    return true;
  }

  static constexpr size_t kMaxCapacity = ~size_t(0) / 4;
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
  size_t step_;
};
