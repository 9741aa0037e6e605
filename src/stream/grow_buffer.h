// A growable byte buffer that always keeps a NUL after its last byte, so
// its contents can also be read as a string. Room is kept at both ends:
// appending and prepending cost amortised time linear in the bytes added.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

class GrowBuffer {
 public:
  explicit GrowBuffer(size_t step = 256) : step_(step ? step : 256) {}
  ~GrowBuffer() { delete[] store_; }
  GrowBuffer(const GrowBuffer&) = delete;
  GrowBuffer& operator=(const GrowBuffer&) = delete;

  const uint8_t* data() const { return store_ ? store_ + front_ : reinterpret_cast<const uint8_t*>(""); }
  uint8_t* data() { return Reserve(0) ? store_ + front_ : nullptr; }
  const char* c_str() const { return reinterpret_cast<const char*>(data()); }
  size_t length() const { return length_; }
  // Bytes held for the contents and the NUL after them, room at the front included.
  size_t capacity() const { return capacity_; }

  void Set(const void* bytes, size_t n) {
    Clear();
    Append(bytes, n);
  }
  void Append(const void* bytes, size_t n) { WriteAt(length_, bytes, n); }
  void Append(const char* text) { Append(text, strlen(text)); }
  // Copies n bytes to `offset`; a gap before it is filled with zero bytes.
  // False (the buffer unchanged) when the memory cannot be had.
  bool WriteAt(size_t offset, const void* bytes, size_t n) {
    if (offset > kMaxCapacity || n > kMaxCapacity - offset) return false;
    const size_t end = offset + n;
    if (!Reserve(end > length_ ? end : length_)) return false;
    uint8_t* d = store_ + front_;
    if (offset > length_) memset(d + length_, 0, offset - length_);
    if (n) memmove(d + offset, bytes, n);
    if (end > length_) length_ = end;
    d[length_] = 0;
    return true;
  }
  // Puts n zero bytes before the contents. When the room at the front is
  // used up it grows to at least the length of the contents, so a run of
  // prepends copies each byte a bounded number of times.
  bool PrependZeros(size_t n) {
    if (!n) return true;
    if (n > front_) {
      if (n > kMaxCapacity - length_) return false;
      const size_t room = n + (length_ > step_ ? length_ : step_);
      if (room > kMaxCapacity - length_) return false;
      if (!Regrow(room, store_ ? capacity_ - front_ : 1)) return false;  // the room at the back stays
    }
    front_ -= n;
    memset(store_ + front_, 0, n);
    length_ += n;
    return true;
  }
  // Empties the buffer; the memory stays for the next contents.
  void Clear() {
    length_ = 0;
    front_ = 0;
    if (store_) store_[0] = 0;
  }

 private:
  // Room for `needed` bytes and the NUL after the front, in whole steps.
  // The capacity at least doubles, so a block of many segments costs linear
  // time, not quadratic; an allocation failure leaves the buffer as it was.
  bool Reserve(size_t needed) {
    if (store_ && needed < capacity_ - front_) return true;
    if (needed >= kMaxCapacity) return false;
    size_t back = needed + 1;
    const size_t doubled = capacity_ * 2 < kMaxCapacity ? capacity_ * 2 : kMaxCapacity;
    if (back + front_ < doubled) back = doubled - front_;
    return Regrow(front_, back);
  }
  // New storage with `front` bytes of room before the contents and `back`
  // bytes from the contents' start (contents and NUL included).
  bool Regrow(size_t front, size_t back) {
    size_t cap = front + back;
    cap = (cap + step_ - 1) / step_ * step_;
    if (cap > kMaxCapacity) return false;
    uint8_t* fresh = new (std::nothrow) uint8_t[cap];
    if (!fresh) return false;
    if (store_) memcpy(fresh + front, store_ + front_, length_ + 1);
    else fresh[front] = 0;
    delete[] store_;
    store_ = fresh;
    front_ = front;
    capacity_ = cap;
    return true;
  }

  static constexpr size_t kMaxCapacity = ~size_t(0) / 4;
  uint8_t* store_ = nullptr;
  size_t front_ = 0;  // room before the contents
  size_t capacity_ = 0;
  size_t length_ = 0;
  size_t step_;
};
