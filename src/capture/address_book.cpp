#include "capture/address_book.h"

#include <cstring>
#include <utility>

#include "capture/conversation.h"

namespace {
inline uint32_t HashText(const char* s, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; i++) h = (h ^ uint8_t(s[i])) * 16777619u;
  return h;
}
}  // namespace

void AddressBook::Clear() {
  entries_.assign(1, Entry{0, 0, kNotLooked, 0});
  v6_.clear();
  v6_.shrink_to_fit();
  slots6_.assign(16, 0);
  recent6_[0] = recent6_[1] = 0;
  slots6_.shrink_to_fit();
  entries_.shrink_to_fit();
  slots_.assign(64, Slot{0, 0});
  recent_[0] = recent_[1] = Slot{0, 0};
  slots_.shrink_to_fit();
  pages_.clear();
  pages_.emplace_back(new char[size_t(1) << kPageShift]);
  pages_[0][0] = 0;  // text 0: ""
  pageFill_ = 1;
  textSlots_.assign(64, 0);
  texts_ = 0;
}

uint32_t AddressBook::Find(uint32_t address) const {
  const size_t mask = slots_.size() - 1;
  for (size_t s = HashAddress(address) & mask;; s = (s + 1) & mask)
    if (!slots_[s].id || slots_[s].address == address) return slots_[s].id;
}

uint32_t AddressBook::Intern(uint32_t address) {
  // The capturing side's address opens nearly every conversation.
  if (recent_[0].id && recent_[0].address == address) return recent_[0].id;
  if (recent_[1].id && recent_[1].address == address) {
    std::swap(recent_[0], recent_[1]);
    return recent_[0].id;
  }
  size_t mask = slots_.size() - 1;
  size_t s = HashAddress(address) & mask;
  for (; slots_[s].id; s = (s + 1) & mask) {
    if (slots_[s].address == address) {
      recent_[1] = slots_[s];
      return slots_[s].id;
    }
  }
  const uint32_t id = uint32_t(entries_.size());
  entries_.push_back(Entry{address, 0, kNotLooked, 0});
  if (entries_.size() * 2 > slots_.size()) {
    slots_.assign(slots_.size() * 2, Slot{0, 0});
    mask = slots_.size() - 1;
    for (uint32_t e = 1; e < entries_.size(); e++) {
      if (entries_[e].v6) continue;
      size_t t = HashAddress(entries_[e].address) & mask;
      while (slots_[t].id) t = (t + 1) & mask;
      slots_[t] = Slot{entries_[e].address, e};
    }
  } else {
    slots_[s] = Slot{address, id};
  }
  return id;
}

uint32_t AddressBook::Hash6(const uint8_t* a) {
  uint64_t x, y;
  memcpy(&x, a, 8);
  memcpy(&y, a + 8, 8);
  return uint32_t(HashWords(x, y));
}

uint32_t AddressBook::Find6(const uint8_t* a) const {
  if (recent6_[0] && memcmp(address6(recent6_[0]), a, 16) == 0) return recent6_[0];
  if (recent6_[1] && memcmp(address6(recent6_[1]), a, 16) == 0) {
    std::swap(recent6_[0], recent6_[1]);
    return recent6_[0];
  }
  const uint32_t h = Hash6(a);
  const size_t mask = slots6_.size() - 1;
  for (size_t s = h & mask;; s = (s + 1) & mask) {
    const uint32_t id = slots6_[s];
    if (!id) return 0;
    // Probing past other addresses reads their hashes, not their bytes.
    if (entries_[id].address == h && memcmp(address6(id), a, 16) == 0) {
      recent6_[1] = id;
      return id;
    }
  }
}

uint32_t AddressBook::Intern6(const uint8_t* a) {
  if (const uint32_t id = Find6(a)) return id;
  Bytes16 bytes;
  memcpy(bytes.b, a, 16);
  v6_.push_back(bytes);
  const uint32_t id = uint32_t(entries_.size());
  entries_.push_back(Entry{Hash6(a), 0, kNotLooked, uint32_t(v6_.size())});
  if (v6_.size() * 2 > slots6_.size()) {
    slots6_.assign(slots6_.size() * 2, 0);
    for (uint32_t e = 1; e < id; e++)
      if (entries_[e].v6) Place6(e);
  }
  Place6(id);
  return id;
}

void AddressBook::Place6(uint32_t id) {
  const size_t mask = slots6_.size() - 1;
  size_t s = entries_[id].address & mask;
  while (slots6_[s]) s = (s + 1) & mask;
  slots6_[s] = id;
}

uint32_t AddressBook::InternText(const char* s, size_t n) {
  if (!n) return 0;
  size_t mask = textSlots_.size() - 1;
  size_t slot = HashText(s, n) & mask;
  for (;; slot = (slot + 1) & mask) {
    const uint32_t t = textSlots_[slot];
    if (!t) break;
    const char* have = Text(t);
    if (strncmp(have, s, n) == 0 && have[n] == 0) return t;
  }
  constexpr uint32_t kPage = 1u << kPageShift;
  if (pageFill_ + n + 1 > kPage) {
    pages_.emplace_back(new char[kPage]);
    pageFill_ = 0;
  }
  char* at = pages_.back().get() + pageFill_;
  memcpy(at, s, n);
  at[n] = 0;
  const uint32_t t = uint32_t(pages_.size() - 1) << kPageShift | pageFill_;
  pageFill_ += uint32_t(n + 1);
  if (++texts_ * 2 > textSlots_.size()) {
    std::vector<uint32_t> old(textSlots_.size() * 2, 0);
    old.swap(textSlots_);
    mask = textSlots_.size() - 1;
    for (uint32_t k : old) {
      if (!k) continue;
      const char* text = Text(k);
      size_t u = HashText(text, strlen(text)) & mask;
      while (textSlots_[u]) u = (u + 1) & mask;
      textSlots_[u] = k;
    }
    size_t u = HashText(s, n) & mask;
    while (textSlots_[u]) u = (u + 1) & mask;
    textSlots_[u] = t;
  } else {
    textSlots_[slot] = t;
  }
  return t;
}

void AddressBook::SetName(uint32_t id, const char* name) {
  if (id) entries_[id].name = InternText(name, strnlen(name, kHostNameMax));
}

void AddressBook::SetCountry(uint32_t id, const char* text) {
  if (id) entries_[id].country = InternText(text, strnlen(text, 63));
}
