// Writes one synthetic capture as a Pakrill packet file and as classic pcap:
// TCP and UDP conversations whose packets interleave like a busy link.
// Usage: bench_gen PACKETS CONVERSATIONS OUT.pkp OUT.pcap
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "packetfile/packet_file.h"

namespace {
void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: bench_gen PACKETS CONVERSATIONS OUT.pkp OUT.pcap\n");
    return 2;
  }
  const long packets = atol(argv[1]), conversations = atol(argv[2]);
  PacketFile pkp;
  pkp.SetName(argv[3]);
  uint8_t local[4] = {10, 0, 0, 1};
  memcpy(&pkp.headerAddress, local, 4);
  if (!pkp.CreateForWriting()) return 1;
  FILE* pcap = fopen(argv[4], "wb");
  if (!pcap) return 1;
  const uint32_t gh[6] = {0xA1B2C3D4, 0x00040002, 0, 0, 262144, 1};
  fwrite(gh, 4, 6, pcap);

  std::mt19937 rng(1);
  const long perConv = packets / conversations;
  const long window = 1000;  // conversations open at once
  uint8_t frame[14 + 1500] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x08, 0x00};
  std::vector<long> sent(size_t(conversations), 0);
  long next = 0, written = 0;
  std::vector<long> open;
  const uint64_t t0 = 1700000000ULL * 1000000;
  while (written < packets) {
    while (long(open.size()) < window && next < conversations) open.push_back(next++);
    if (open.empty()) break;
    size_t k = rng() % open.size();
    const long c = open[k];
    const bool tcp = c % 3 != 0;
    const bool out = rng() & 1;
    const uint32_t remote = 0x0B000000u + uint32_t(c % 50000);  // 11.x.y.z
    const uint16_t lport = uint16_t(1024 + c % 60000), rport = uint16_t(tcp ? 80 + c / 60000 : 53);
    const int payload = 1 + int(rng() % 200);
    uint8_t* ip = frame + 14;
    const int th = tcp ? 20 : 8, total = 20 + th + payload;
    memset(ip, 0, size_t(20 + th));
    ip[0] = 0x45;
    Put16(ip + 2, uint16_t(total));
    ip[8] = 64;
    ip[9] = tcp ? 6 : 17;
    uint8_t r[4] = {uint8_t(remote >> 24), uint8_t(remote >> 16), uint8_t(remote >> 8), uint8_t(remote)};
    memcpy(ip + 12, out ? local : r, 4);
    memcpy(ip + 16, out ? r : local, 4);
    Put16(ip + 20, out ? lport : rport);
    Put16(ip + 22, out ? rport : lport);
    if (tcp) ip[32] = 0x50;
    memset(ip + 20 + th, 'x', size_t(payload));
    const uint64_t us = t0 + uint64_t(written) * 10;
    const FileTime ft = kFileTimeUnixEpoch + us * 10;
    pkp.AppendPacket(ip, uint32_t(total), frame, frame + 6, ft);
    const uint32_t rh[4] = {uint32_t(us / 1000000), uint32_t(us % 1000000), uint32_t(total + 14),
                            uint32_t(total + 14)};
    fwrite(rh, 4, 4, pcap);
    fwrite(frame, 1, size_t(total + 14), pcap);
    written++;
    if (++sent[size_t(c)] >= perConv) {
      open[k] = open.back();
      open.pop_back();
    }
  }
  pkp.CloseWriting();
  fclose(pcap);
  printf("%ld packets over %ld conversations\n", written, next);
  return 0;
}
