// Writes one synthetic capture as a Pakrill packet file and as classic pcap:
// TCP and UDP conversations whose packets interleave like a busy link, and
// optionally one large TCP download spread evenly through the file: requests
// of 300 bytes answered by 1 MB each, in 1448-byte segments, with some
// segments swapped and some sent twice.
// Usage: bench_gen [-6] [-p MAX] PACKETS CONVERSATIONS OUT.pkp OUT.pcap [LARGE_MB]
// With LARGE_MB, OUT.pkp.large holds the download's records alone. With -6
// the same capture is written in IPv6: the same conversations, ports and
// payloads between 2001:db8::1 and addresses in 2001:db8:1::/64. Payloads
// take 1 to MAX bytes (200 unless told; 1268 gives packets of 700 bytes on
// average, a busy link's mix).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "packetfile/packet_file.h"

namespace {
void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
}  // namespace

int main(int argc, char** argv) {
  const bool v6 = argc > 1 && strcmp(argv[1], "-6") == 0;
  if (v6) {
    argc--;
    argv++;
  }
  int maxPayload = 200;
  if (argc > 2 && strcmp(argv[1], "-p") == 0) {
    maxPayload = atoi(argv[2]);
    argc -= 2;
    argv += 2;
  }
  if ((argc != 5 && argc != 6) || maxPayload < 1 || maxPayload > 1400) {
    fprintf(stderr, "usage: bench_gen [-6] [-p MAX] PACKETS CONVERSATIONS OUT.pkp OUT.pcap [LARGE_MB]\n");
    return 2;
  }
  const long packets = atol(argv[1]), conversations = atol(argv[2]);
  const long largeSegments = argc == 6 ? atol(argv[5]) * (1L << 20) / 1448 : 0;
  PacketFile pkp;
  pkp.SetName(argv[3]);
  uint8_t local[4] = {10, 0, 0, 1};
  memcpy(&pkp.headerAddress, local, 4);
  if (!pkp.CreateForWriting()) return 1;
  FILE* pcap = fopen(argv[4], "wb");
  if (!pcap) return 1;
  PacketFile largeOnly;
  largeOnly.SetName((std::string(argv[3]) + ".large").c_str());
  largeOnly.headerAddress = pkp.headerAddress;
  if (largeSegments && !largeOnly.CreateForWriting()) return 1;
  const uint32_t gh[6] = {0xA1B2C3D4, 0x00040002, 0, 0, 262144, 1};
  fwrite(gh, 4, 6, pcap);

  std::mt19937 rng(1);
  const long perConv = packets / conversations;
  const long window = 1000;  // conversations open at once
  uint8_t frame[14 + 1600] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x08, 0x00};
  if (v6) frame[12] = 0x86, frame[13] = 0xDD;
  const uint8_t local6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const uint64_t t0 = 1700000000ULL * 1000000;
  long frames = 0;
  auto emit = [&](bool tcp, bool out, uint32_t remote, uint16_t lport, uint16_t rport, uint32_t seq,
                  uint8_t fill, int payload, bool large = false) {
    uint8_t* ip = frame + 14;
    const int ih = v6 ? 40 : 20, th = tcp ? 20 : 8, total = ih + th + payload;
    memset(ip, 0, size_t(ih + th));
    uint8_t r[4] = {uint8_t(remote >> 24), uint8_t(remote >> 16), uint8_t(remote >> 8), uint8_t(remote)};
    if (v6) {
      ip[0] = 0x60;
      Put16(ip + 4, uint16_t(th + payload));
      ip[6] = tcp ? 6 : 17;
      ip[7] = 64;
      uint8_t r6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1};
      memcpy(r6 + 12, r, 4);
      memcpy(ip + 8, out ? local6 : r6, 16);
      memcpy(ip + 24, out ? r6 : local6, 16);
    } else {
      ip[0] = 0x45;
      Put16(ip + 2, uint16_t(total));
      ip[8] = 64;
      ip[9] = tcp ? 6 : 17;
      memcpy(ip + 12, out ? local : r, 4);
      memcpy(ip + 16, out ? r : local, 4);
    }
    uint8_t* t = ip + ih;
    Put16(t, out ? lport : rport);
    Put16(t + 2, out ? rport : lport);
    if (tcp) {
      Put16(t + 4, uint16_t(seq >> 16));
      Put16(t + 6, uint16_t(seq));
      t[12] = 0x50;
    }
    memset(t + th, fill, size_t(payload));
    const uint64_t us = t0 + uint64_t(frames++) * 10;
    const FileTime ft = kFileTimeUnixEpoch + us * 10;
    pkp.AppendPacket(ip, uint32_t(total), frame, frame + 6, ft);
    if (large) largeOnly.AppendPacket(ip, uint32_t(total), frame, frame + 6, ft);
    const uint32_t rh[4] = {uint32_t(us / 1000000), uint32_t(us % 1000000), uint32_t(total + 14),
                            uint32_t(total + 14)};
    fwrite(rh, 4, 4, pcap);
    fwrite(frame, 1, size_t(total + 14), pcap);
  };

  // The large download: segment k of a response starts at k * 1448 past the
  // response's first sequence number; every 50th pair is swapped and every
  // 200th segment sent twice.
  const long kSegmentsPerResponse = (1L << 20) / 1448;
  long largeDone = 0, responseSegment = -1;
  uint32_t clientSeq = 1000, serverSeq = 0xFFF00000u;  // the server's numbers wrap
  std::vector<long> order;
  auto emitLarge = [&] {
    if (responseSegment < 0) {
      emit(true, true, 0x0C000001u, 40000, 443, clientSeq, 'q', 300, true);
      clientSeq += 300;
      order.clear();
      for (long k = 0; k < kSegmentsPerResponse; k++) {
        order.push_back(k);
        if (k % 200 == 199) order.push_back(k);
      }
      for (size_t i = 49; i + 1 < order.size(); i += 50) std::swap(order[i], order[i + 1]);
      responseSegment = 0;
    }
    const long k = order[size_t(responseSegment++)];
    emit(true, false, 0x0C000001u, 40000, 443, serverSeq + uint32_t(k) * 1448, uint8_t('A' + k % 26), 1448, true);
    if (responseSegment == long(order.size())) {
      serverSeq += uint32_t(kSegmentsPerResponse) * 1448;
      responseSegment = -1;
    }
    largeDone++;
  };

  std::vector<long> sent(size_t(conversations), 0);
  long next = 0, written = 0;
  std::vector<long> open;
  while (written < packets) {
    while (largeDone < largeSegments && largeDone * packets <= written * largeSegments) emitLarge();
    while (long(open.size()) < window && next < conversations) open.push_back(next++);
    if (open.empty()) break;
    size_t k = rng() % open.size();
    const long c = open[k];
    const bool tcp = c % 3 != 0;
    const bool out = rng() & 1;
    const uint32_t remote = 0x0B000000u + uint32_t(c % 50000);  // 11.x.y.z
    // Ports alone keep every conversation apart, whatever its address.
    const uint16_t lport = uint16_t(1024 + c % 60000), rport = uint16_t((tcp ? 80 : 53) + c / 60000);
    emit(tcp, out, remote, lport, rport, 0, 'x', 1 + int(rng() % unsigned(maxPayload)));
    written++;
    if (++sent[size_t(c)] >= perConv) {
      open[k] = open.back();
      open.pop_back();
    }
  }
  while (largeDone < largeSegments) emitLarge();
  pkp.CloseWriting();
  if (largeSegments) largeOnly.CloseWriting();
  fclose(pcap);
  printf("%ld packets over %ld conversations, %ld packets of one large download\n", written, next,
         frames - written);
  return 0;
}
