// Large arrays straight from the system's page allocator: they come zeroed,
// so nothing is written twice, and they go back to the system when freed.
#pragma once
#include <cstddef>
#include <utility>

// nullptr when the memory is not there.
void* AllocatePages(size_t bytes);
void FreePages(void* p, size_t bytes);

// `n` zeroed elements of a type for which all-zero bytes are a valid value.
template <class T>
class PageArray {
 public:
  PageArray() = default;
  explicit PageArray(size_t n) : p_(static_cast<T*>(AllocatePages(n * sizeof(T)))), n_(p_ ? n : 0) {}
  PageArray(PageArray&& o) noexcept : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)) {}
  PageArray& operator=(PageArray&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(n_, o.n_);
    return *this;
  }
  ~PageArray() { FreePages(p_, n_ * sizeof(T)); }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }
  T* data() const { return p_; }
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }

 private:
  T* p_ = nullptr;
  size_t n_ = 0;
};
