// SCSI layouts of the primary command set: the TEST UNIT READY command
// block and fixed-format sense data.
#ifndef DISCSIFT_SPC_H
#define DISCSIFT_SPC_H

typedef struct {
  unsigned char cmd;  // 0x00
  unsigned char reserved1;
  unsigned char reserved2;
  unsigned char reserved3;
  unsigned char reserved4;
  unsigned char control;
} T_test_unit_ready;

typedef struct {
  unsigned char response_code;
  unsigned char segment_no;
  unsigned char flags_sensekey;  // sense key in the low four bits
  unsigned char info0;
  unsigned char info1;
  unsigned char info2;
  unsigned char info3;
  unsigned char add_len;
  unsigned char com_spec_info0;
  unsigned char com_spec_info1;
  unsigned char com_spec_info2;
  unsigned char com_spec_info3;
  unsigned char ASC;   // additional sense code
  unsigned char ASCQ;  // its qualifier
  unsigned char field_rep_ucode;
  unsigned char sen_key_spec15;
  unsigned char sen_key_spec16;
  unsigned char sen_key_spec17;
  unsigned char add_sen_bytes;
} T_sense_data;

static_assert(sizeof(T_test_unit_ready) == 6, "TEST UNIT READY is a 6-byte CDB");
static_assert(sizeof(T_sense_data) == 19, "fixed-format sense data");

#endif
