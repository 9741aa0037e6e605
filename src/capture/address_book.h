// What belongs to an address rather than to a conversation: its host name
// and its country. Each address has one entry however many conversations
// it takes part in, and equal texts are stored once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/hash.h"
#include "base/ip_address.h"

class AddressBook {
 public:
  AddressBook() { Clear(); }

  // The entry of `address` (network order), made when it is new. Entries
  // are numbered from 1 in the order their addresses were first seen.
  uint32_t Intern(uint32_t address);
  // 0 when the address has no entry.
  uint32_t Find(uint32_t address) const;
  // Where Intern looks first, for the caller to prefetch: a helper whose
  // only effect is a prefetch is dropped by the compiler.
  const void* HomeOf(uint32_t address) const { return &slots_[HashAddress(address) & (slots_.size() - 1)]; }
  // An IPv6 lookup reads a slot, then its entry, then the address bytes:
  // a group of lookups fetches each step for all of them before the next.
  size_t Home6(const uint8_t* address) const { return Hash6(address) & (slots6_.size() - 1); }
  void PrefetchSlot6(size_t home) const { __builtin_prefetch(&slots6_[home]); }
  void PrefetchEntry6(size_t home) const {
    if (const uint32_t id = slots6_[home]) __builtin_prefetch(&entries_[id]);
  }
  void PrefetchBytes6(size_t home) const {
    if (const uint32_t id = slots6_[home])
      if (entries_[id].v6) __builtin_prefetch(&v6_[entries_[id].v6 - 1]);
  }
  // IPv6 addresses have entries of their own, numbered with the others.
  uint32_t Intern6(const uint8_t* address);
  uint32_t Find6(const uint8_t* address) const;
  size_t size() const { return entries_.size() - 1; }
  bool is6(uint32_t id) const { return entries_[id].v6 != 0; }
  // The IPv4 address (network order) of an entry; 0 for IPv6 entries.
  uint32_t address(uint32_t id) const { return entries_[id].v6 ? 0 : entries_[id].address; }
  const uint8_t* address6(uint32_t id) const { return v6_[entries_[id].v6 - 1].b; }
  IpAddress Address(uint32_t id) const {
    return entries_[id].v6 ? IpAddress::V6(address6(id)) : IpAddress::V4(entries_[id].address);
  }

  // "" for entry 0 and for entries without the text.
  const char* Name(uint32_t id) const { return Text(entries_[id].name); }
  const char* Country(uint32_t id) const {
    const uint32_t t = entries_[id].country;
    return Text(t == kNotLooked ? 0 : t);
  }
  bool CountryLooked(uint32_t id) const { return entries_[id].country != kNotLooked; }
  // Whether any entry has a name or a country: rows of millions of
  // conversations need not look them up one by one when none has.
  bool HasTexts() const { return texts_ != 0; }
  // Cut to the host name limit of the list.
  void SetName(uint32_t id, const char* name);
  void SetCountry(uint32_t id, const char* text);
  void Clear();

 private:
  static uint32_t HashAddress(uint32_t a) { return uint32_t(HashWords(a, 0)); }
  static constexpr uint32_t kNotLooked = ~uint32_t(0);
  static constexpr uint32_t kPageShift = 16;
  struct Entry {
    uint32_t address;  // IPv6 entries: the hash of their address
    uint32_t name;     // text ids; 0 = ""
    uint32_t country;  // kNotLooked until a lookup gave its text
    uint32_t v6;       // 1 + index in v6_; 0 for IPv4
  };
  struct Bytes16 {
    uint8_t b[16];
  };
  static uint32_t Hash6(const uint8_t* a);
  void Place6(uint32_t id);
  std::vector<Bytes16> v6_;
  std::vector<uint32_t> slots6_;  // entry ids; 0 = empty
  // The entries the last lookups found, the latest first: the capturing
  // side's address is in nearly every packet.
  mutable uint32_t recent6_[2] = {};
  // Pages never move, so a text handed out stays valid until Clear.
  const char* Text(uint32_t t) const {
    return pages_[t >> kPageShift].get() + (t & ((1u << kPageShift) - 1));
  }
  uint32_t InternText(const char* s, size_t n);

  std::vector<Entry> entries_;  // entry 0 stands for none
  // Address and entry number side by side: a lookup reads one slot.
  struct Slot {
    uint32_t address, id;  // id 0 = empty
  };
  std::vector<Slot> slots_;
  Slot recent_[2] = {};  // the entries Intern found last, the latest first
  std::vector<std::unique_ptr<char[]>> pages_;
  uint32_t pageFill_ = 0;
  std::vector<uint32_t> textSlots_;  // text ids; 0 = empty
  size_t texts_ = 0;
};
