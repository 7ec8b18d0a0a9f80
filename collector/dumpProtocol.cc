// Little-endian encoding of the dump protocol header.

#include "dumpProtocol.h"

#include <cstring>

extern "C" {

uint32_t DumpMsg_GetU32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void DumpMsg_PutU32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

int64_t DumpMsg_GetI64(const uint8_t *p) {
  uint64_t v = static_cast<uint64_t>(DumpMsg_GetU32(p)) |
               static_cast<uint64_t>(DumpMsg_GetU32(p + 4)) << 32;
  return static_cast<int64_t>(v);
}

void DumpMsg_PutI64(uint8_t *p, int64_t v) {
  auto u = static_cast<uint64_t>(v);
  DumpMsg_PutU32(p, static_cast<uint32_t>(u));
  DumpMsg_PutU32(p + 4, static_cast<uint32_t>(u >> 32));
}

void DumpMsg_Decode(const uint8_t *buf, DumpMsgHeader *hdr) {
  memcpy(hdr->opaque0, buf, sizeof hdr->opaque0);
  hdr->magic = DumpMsg_GetU32(buf + DUMP_MSG_OFF_MAGIC);
  memcpy(hdr->opaque12, buf + 12, sizeof hdr->opaque12);
  hdr->timestamp = DumpMsg_GetI64(buf + DUMP_MSG_OFF_TIMESTAMP);
  hdr->dumpId = DumpMsg_GetU32(buf + DUMP_MSG_OFF_DUMP_ID);
  hdr->msgType = DumpMsg_GetU32(buf + DUMP_MSG_OFF_MSG_TYPE);
  hdr->dataOffset = DumpMsg_GetU32(buf + DUMP_MSG_OFF_DATA_OFFSET);
  hdr->dataLength = DumpMsg_GetU32(buf + DUMP_MSG_OFF_DATA_LENGTH);
  hdr->status = DumpMsg_GetU32(buf + DUMP_MSG_OFF_STATUS);
  hdr->slot = DumpMsg_GetU32(buf + DUMP_MSG_OFF_SLOT);
}

void DumpMsg_Encode(const DumpMsgHeader *hdr, uint8_t *buf) {
  memcpy(buf, hdr->opaque0, sizeof hdr->opaque0);
  DumpMsg_PutU32(buf + DUMP_MSG_OFF_MAGIC, hdr->magic);
  memcpy(buf + 12, hdr->opaque12, sizeof hdr->opaque12);
  DumpMsg_PutI64(buf + DUMP_MSG_OFF_TIMESTAMP, hdr->timestamp);
  DumpMsg_PutU32(buf + DUMP_MSG_OFF_DUMP_ID, hdr->dumpId);
  DumpMsg_PutU32(buf + DUMP_MSG_OFF_MSG_TYPE, hdr->msgType);
  DumpMsg_PutU32(buf + DUMP_MSG_OFF_DATA_OFFSET, hdr->dataOffset);
  DumpMsg_PutU32(buf + DUMP_MSG_OFF_DATA_LENGTH, hdr->dataLength);
  DumpMsg_PutU32(buf + DUMP_MSG_OFF_STATUS, hdr->status);
  DumpMsg_PutU32(buf + DUMP_MSG_OFF_SLOT, hdr->slot);
}

}  // extern "C"
