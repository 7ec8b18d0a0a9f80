// The wire header's byte layout.

#include <gtest/gtest.h>

#include <cstring>

#include "dumpProtocol.h"

namespace {

TEST(DumpProtocol, FieldsSitAtTheirOffsetsLittleEndian) {
  DumpMsgHeader hdr;
  memset(&hdr, 0, sizeof hdr);
  memcpy(hdr.opaque0, "ABCDEFGH", 8);
  hdr.magic = DUMP_MSG_MAGIC;
  memcpy(hdr.opaque12, "WXYZ", 4);
  hdr.timestamp = -2;
  hdr.dumpId = 0x01020304;
  hdr.msgType = 2;
  hdr.dataOffset = 0xFFFFFFF0;
  hdr.dataLength = 1552;
  hdr.status = hxk_bad_param;
  hdr.slot = 7;
  uint8_t buf[DUMP_MSG_HEADER_SIZE];
  DumpMsg_Encode(&hdr, buf);

  const uint8_t expected[DUMP_MSG_HEADER_SIZE] = {
      'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',  0xBF, 0xA1, 0xEC, 0xAD,
      'W',  'X',  'Y',  'Z',  0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0x04, 0x03, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF0, 0xFF, 0xFF, 0xFF,
      0x10, 0x06, 0x00, 0x00, 0x0E, 0x00, 0xAD, 0x0B, 0x07, 0x00, 0x00, 0x00};
  EXPECT_EQ(memcmp(buf, expected, sizeof buf), 0);

  DumpMsgHeader back;
  DumpMsg_Decode(buf, &back);
  EXPECT_EQ(memcmp(&back.opaque0, "ABCDEFGH", 8), 0);
  EXPECT_EQ(memcmp(&back.opaque12, "WXYZ", 4), 0);
  EXPECT_EQ(back.magic, DUMP_MSG_MAGIC);
  EXPECT_EQ(back.timestamp, -2);
  EXPECT_EQ(back.dumpId, 0x01020304u);
  EXPECT_EQ(back.msgType, 2u);
  EXPECT_EQ(back.dataOffset, 0xFFFFFFF0u);
  EXPECT_EQ(back.dataLength, 1552u);
  EXPECT_EQ(back.status, hxk_bad_param);
  EXPECT_EQ(back.slot, 7u);
}

TEST(DumpProtocol, SixtyFourBitTimestampsKeepEveryByte) {
  uint8_t buf[8];
  for (int64_t v : {int64_t{0}, int64_t{1}, INT64_MAX, INT64_MIN, int64_t{0x0102030405060708}}) {
    DumpMsg_PutI64(buf, v);
    EXPECT_EQ(DumpMsg_GetI64(buf), v);
  }
  DumpMsg_PutI64(buf, 0x0102030405060708);
  EXPECT_EQ(buf[0], 0x08);
  EXPECT_EQ(buf[7], 0x01);
}

}  // namespace
