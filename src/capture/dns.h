// Host names learned from DNS answers seen on the wire.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint16_t kFamilyIPv4 = 0x0800;
constexpr uint16_t kFamilyIPv6 = 0x86DD;
// A name longer than this is cut (the cache field holds 128 bytes).
constexpr size_t kDnsNameMax = 127;

// A byte of a name learned from the network as kept: no host name holds a
// control byte or a quote, nor begins with a sign, and in an export a
// spreadsheet would take the quote for a field running over the rows after
// it and the sign for a formula. Each such byte is shown as '?'.
inline char HostNameByte(uint8_t b, bool first) {
  const bool sign = b == '=' || b == '+' || b == '-' || b == '@';
  return b < 0x20 || b == 0x7F || b == '"' || (first && sign) ? '?' : char(b);
}
// The longest name on the wire, its length bytes counted; longer is damage.
constexpr size_t kDnsMaxWireName = 255;
// Names kept at the most (about 40 MB); answers past them teach nothing.
constexpr size_t kMaxDnsNames = size_t(1) << 18;
// Compression pointers followed per name before the message counts as damaged.
constexpr int kDnsMaxJumps = 32;
// Only packets below this length are examined.
constexpr int32_t kDnsMaxPacket = 8192;

struct DnsAddressRecord {
  uint16_t family;  // kFamilyIPv4 or kFamilyIPv6
  uint8_t address[16];
  char name[kDnsNameMax + 1];
};


// Collects the A and AAAA records of one message (the first `max`);
// returns their count, or -1 when the message is damaged.
int ParseDnsAddressRecords(const uint8_t* msg, size_t len, DnsAddressRecord* out, int max);

class DnsNameCache {
 public:
  struct Entry {
    char name[128];
    uint16_t family;
    uint8_t address[16];
  };

  // Index of the entry of an IPv4 address (network order), -1 when absent.
  int FindIPv4(uint32_t address) const;
  int FindIPv6(const uint8_t* address) const;
  const char* Name(int index) const;
  // Appends unless the address is already known (the first name wins).
  void Add(uint16_t family, const uint8_t* address, const char* name);
  size_t size() const { return entries_.size(); }
  void Clear();

 private:
  int Find(uint16_t family, const uint8_t* address) const;
  void Rehash(size_t slots);
  std::vector<Entry> entries_;
  std::vector<int32_t> slots_;  // open addressing: entry index or -1
};

// The process-wide cache.
DnsNameCache& GlobalDnsNameCache();

// Where the TCP or UDP header of an IPv6 packet lies, past its extension
// headers, as offsets into the packet: the transport header at `header`,
// its payload from `payload` up to `end` (link padding left out).
struct IPv6Transport {
  uint8_t protocol;
  int32_t header, payload, end;
};
// False for other protocols, fragments after the first, and chains that
// are too long or run past the captured bytes.
bool FindIPv6Transport(const uint8_t* packet, int32_t length, IPv6Transport* out);

// Learns the A and AAAA answers carried by an IPv4 or IPv6 TCP or UDP packet
// to or from port 53. Returns the number of names added.
int LearnDnsAnswers(const uint8_t* packet, int32_t length, DnsNameCache& cache);
