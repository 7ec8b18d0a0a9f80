// The baseline the collector is measured against: the least a server of the
// dump protocol can do. Receive a datagram, write its payload at its offset
// with one positioned write, send the 48-byte reply; init opens a file and
// done closes it. No checks, no log, no time keeping.
//
//   baselineServer DIR PORT [SLOTS]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dumpProtocol.h"

namespace {

struct Slot {
  int fd = -1;
  uint32_t ip = 0;
  int64_t timestamp = 0;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s DIR PORT [SLOTS]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  int port = atoi(argv[2]);
  std::vector<Slot> slots(argc > 3 ? static_cast<size_t>(atoi(argv[3])) : 1024);

  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (sock < 0 || bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    perror("bind");
    return 1;
  }
  uint8_t buf[DUMP_MSG_MAX_DATAGRAM];
  for (;;) {
    struct sockaddr_in from;
    socklen_t fromLen = sizeof from;
    ssize_t len =
        recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from), &fromLen);
    if (len < DUMP_MSG_HEADER_SIZE) continue;
    uint32_t ip = ntohl(from.sin_addr.s_addr);
    uint32_t type = DumpMsg_GetU32(buf + DUMP_MSG_OFF_MSG_TYPE);
    uint32_t id = DumpMsg_GetU32(buf + DUMP_MSG_OFF_DUMP_ID);
    uint32_t status = 0;
    if (type == DUMP_MSG_DATA) {
      if (id < slots.size() && slots[id].fd >= 0) {
        if (pwrite(slots[id].fd, buf + DUMP_MSG_HEADER_SIZE,
                   static_cast<size_t>(len) - DUMP_MSG_HEADER_SIZE,
                   DumpMsg_GetU32(buf + DUMP_MSG_OFF_DATA_OFFSET)) < 0) {
          status = hxk_io_error;
        }
      } else {
        status = hxk_bad_param;
      }
    } else if (type == DUMP_MSG_INIT) {
      int64_t ts = DumpMsg_GetI64(buf + DUMP_MSG_OFF_TIMESTAMP);
      size_t index = slots.size();
      for (size_t i = 0; i < slots.size(); i++) {
        if (slots[i].fd >= 0 && slots[i].ip == ip && slots[i].timestamp == ts) {
          index = i;
          break;
        }
        if (slots[i].fd < 0 && index == slots.size()) index = i;
      }
      if (index == slots.size()) {
        status = hxk_limit_exceeded;
      } else if (slots[index].fd < 0) {
        std::string name = dir + "/" + std::to_string(ip) + "-" + std::to_string(ts);
        slots[index].fd = open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        slots[index].ip = ip;
        slots[index].timestamp = ts;
        status = slots[index].fd < 0 ? hxk_failure : 0;
      }
      DumpMsg_PutU32(buf + DUMP_MSG_OFF_SLOT, static_cast<uint32_t>(index));
    } else if (type == DUMP_MSG_DONE) {
      if (id < slots.size() && slots[id].fd >= 0) {
        close(slots[id].fd);
        slots[id] = Slot();
      }
    }
    DumpMsg_PutU32(buf + DUMP_MSG_OFF_STATUS, status);
    sendto(sock, buf, DUMP_MSG_HEADER_SIZE, 0, reinterpret_cast<struct sockaddr *>(&from), fromLen);
  }
}
