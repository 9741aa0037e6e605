// Host names learned from the server name a TLS client asks for.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/ip_address.h"
#include "capture/dns.h"

// A ClientHello longer than this (records included) is not read: real ones
// are a few kilobytes even with large key shares.
constexpr size_t kTlsHelloMax = 16384;
// Connections whose ClientHello is still arriving, followed at once.
constexpr int kTlsPendingFlows = 64;

enum class TlsHello { NotHello, NeedMore, NoName, Name };

// Reads the server name of the ClientHello at the start of `data`, the first
// bytes a client sent; NeedMore when they end before the hello does.
// Bytes outside printable ASCII become '?', so a name cannot hide behind
// them; a name is cut to kDnsNameMax.
// On NeedMore, `missing` (when given) is how many bytes must come at least
// before another parse can tell more.
TlsHello ParseClientHelloName(const uint8_t* data, size_t len, char (&name)[kDnsNameMax + 1],
                              size_t* missing = nullptr);

// Follows the first bytes of TCP connections that open with a ClientHello,
// over as many segments as it takes, and teaches the server's address the
// name the client asked for.
class TlsNameLearner {
 public:
  TlsNameLearner();
  ~TlsNameLearner();
  // One IPv4 or IPv6 packet; returns the server address whose name was
  // learned, 0.0.0.0 when none. `late` tells that the hello began in an
  // earlier segment, so its conversation already exists without the name.
  IpAddress Learn(const uint8_t* packet, int32_t length, DnsNameCache& cache, bool* late = nullptr);
  void Clear();

 private:
  struct Flow;
  Flow* NewFlow(uint32_t key, const IpAddress& src, const IpAddress& dst, uint16_t sport, uint16_t dport);
  void EndFlow(Flow* flow);
  std::unique_ptr<Flow[]> flows_;
  // Every TCP segment looks for its flow among the pending ones: it
  // compares these keys (ports and address bytes; 0 = free) first, and
  // nothing while no flow is pending.
  uint32_t keys_[kTlsPendingFlows] = {};
  int pending_ = 0;
  std::unique_ptr<uint8_t[]> buffers_;  // kTlsPendingFlows * kTlsHelloMax, made at the first long hello
  uint32_t clock_ = 0;
};
