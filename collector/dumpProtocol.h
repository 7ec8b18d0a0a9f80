/*
 * The dump transfer protocol: every datagram in both directions starts with
 * a 48-byte little-endian header. This is the one definition of it, shared
 * by the collector and the companion tools. Fields are decoded and encoded
 * byte by byte, never by casting a buffer.
 */
#ifndef TARNWELL_DUMP_PROTOCOL_H
#define TARNWELL_DUMP_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DUMP_MSG_HEADER_SIZE 48
#define DUMP_MSG_MAGIC 0xADECA1BFu
#define DUMP_MSG_DEFAULT_PORT 6500
/* The collector reads at most this much of a datagram. */
#define DUMP_MSG_MAX_DATAGRAM 1600
#define DUMP_MSG_MAX_PAYLOAD (DUMP_MSG_MAX_DATAGRAM - DUMP_MSG_HEADER_SIZE)

/* Byte offsets of the fields. */
enum {
  DUMP_MSG_OFF_MAGIC = 8,
  DUMP_MSG_OFF_TIMESTAMP = 16,
  DUMP_MSG_OFF_DUMP_ID = 24,
  DUMP_MSG_OFF_MSG_TYPE = 28,
  DUMP_MSG_OFF_DATA_OFFSET = 32,
  DUMP_MSG_OFF_DATA_LENGTH = 36,
  DUMP_MSG_OFF_STATUS = 40,
  DUMP_MSG_OFF_SLOT = 44
};

/* Message types. */
enum {
  DUMP_MSG_INIT = 1,
  DUMP_MSG_DATA = 2,
  DUMP_MSG_DONE = 6,
  DUMP_MSG_STATUS_CHECK = 7
};

/* Reply status codes. */
#define DUMP_STATUS_SUCCESS 0u
#define hxk_failure 0x0BAD0001u
#define hxk_limit_exceeded 0x0BAD0006u
#define hxk_io_error 0x0BAD000Au
#define hxk_bad_param 0x0BAD000Eu
#define hxk_not_supported 0x0BAD0020u

typedef struct DumpMsgHeader {
  uint8_t opaque0[8];  /* returned unchanged */
  uint32_t magic;
  uint8_t opaque12[4]; /* returned unchanged */
  int64_t timestamp;   /* with the sender's address, names the dump; never 0 */
  uint32_t dumpId;     /* slot number assigned by the reply to init */
  uint32_t msgType;
  uint32_t dataOffset; /* data: file offset of the payload */
  uint32_t dataLength; /* data: payload length announced by the sender */
  uint32_t status;     /* reply: status code */
  uint32_t slot;       /* reply to a successful init: the slot to use */
} DumpMsgHeader;

/* Decodes the first DUMP_MSG_HEADER_SIZE bytes of buf. */
void DumpMsg_Decode(const uint8_t *buf, DumpMsgHeader *hdr);
/* Encodes hdr into the first DUMP_MSG_HEADER_SIZE bytes of buf. */
void DumpMsg_Encode(const DumpMsgHeader *hdr, uint8_t *buf);

uint32_t DumpMsg_GetU32(const uint8_t *p);
void DumpMsg_PutU32(uint8_t *p, uint32_t v);
int64_t DumpMsg_GetI64(const uint8_t *p);
void DumpMsg_PutI64(uint8_t *p, int64_t v);

#ifdef __cplusplus
}
#endif

#endif /* TARNWELL_DUMP_PROTOCOL_H */
