/*
 * Device-control interface of the 8051 System Controller driver.
 *
 * For applications and the driver alike: C89, C99 and later, C++98 and
 * later, user or kernel mode, no kernel headers needed. Open SC_DEVICE_PATH
 * and send these codes with DeviceIoControl; every code uses the buffered
 * method, so one buffer carries the request record in and the reply record
 * out. Multi-byte fields are little-endian.
 */
#ifndef SCIOCTL_H
#define SCIOCTL_H

#include <stddef.h>

/* Fixed-width types. Compilers without <stdint.h> (C89 and C++98 modes,
   Visual C++ before 2010 and the driver kits built with it) get them from
   the platform's own limits. */
#if (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L) || \
    (defined(__cplusplus) && __cplusplus >= 201103L) || (defined(_MSC_VER) && _MSC_VER >= 1600)
#include <stdint.h>
typedef uint8_t SC_UINT8;
typedef uint32_t SC_UINT32;
#else
#include <limits.h>
typedef unsigned char SC_UINT8;
#if UINT_MAX == 0xFFFFFFFFu
typedef unsigned int SC_UINT32;
#else
typedef unsigned long SC_UINT32;
#endif
#endif

/* A check made when the program is compiled. The fallback, a negative array
   size, is what a C89 or C++98 compiler accepts; the declaration may be
   repeated. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define SC_STATIC_ASSERT(condition, text) static_assert(condition, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define SC_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#else
#define SC_STATIC_ASSERT(condition, text) extern char sc_static_assert_[(condition) ? 1 : -1]
#endif

/* The name user mode opens the device by, for CreateFileA and CreateFileW
   (TEXT(SC_DEVICE_PATH) works too). */
#define SC_DEVICE_PATH "\\\\.\\8051SCDev"
#define SC_DEVICE_PATH_W L"\\\\.\\8051SCDev"

#define SC_DEVICE_TYPE 0x00000022u                                         /* FILE_DEVICE_UNKNOWN */
#define SC_CTL_CODE(function) ((SC_DEVICE_TYPE << 16) | ((function) << 2)) /* buffered, any access */

/* The columns of the request table below. */

/* subject: what a request addresses, and the record it carries. */
#define SC_SUBJECT_DISPLAY 1 /* the hex display: SC_HD_RECORD in and out */
#define SC_SUBJECT_SWITCH 2  /* the Cardlan switch: SC_SWITCH_RECORD in and out */
#define SC_SUBJECT_VERSION 3 /* the firmware version: SC_VERSION_RECORD out */
#define SC_SUBJECT_COMMAND4 4
#define SC_SUBJECT_LED 5   /* the status LED */
#define SC_SUBJECT_TRACE 6 /* the driver's trace level: a signed 32-bit level in */

/* input, output: the exact length the buffer must have, or: */
#define SC_ANY_LEN 0xFFFFFFFFu /* the length is not looked at */

/* path: how the driver serves a request. */
#define SC_QUEUED 1  /* through the device queue, one at a time, in the order sent */
#define SC_AT_ONCE 2 /* in the caller's thread, also while a queued request runs */

/* reply: what comes back in the buffer when the request succeeds. */
#define SC_REPLY_NONE 0     /* nothing; the output length is not looked at */
#define SC_REPLY_RECORD 1   /* the output length must be `output`, and all of it comes back */
#define SC_REPLY_IF_EXACT 2 /* `output` bytes when the output length is exactly that; else none */

/* The requests, one row each:
     X(name, function, subject, input, output, path, reply)
   IOCTL_SC_<name> is the code, SC_CTL_CODE(function). A wrong length
   fails the request with STATUS_INVALID_PARAMETER before the controller is
   contacted. */
#define SC_REQUESTS(X)                                                                                      \
  X(HD_CLEAR_STATUS, 0x801, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)          /* 0x222004 */ \
  X(HD_SET_STATUS, 0x802, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)            /* 0x222008 */ \
  X(HD_SET_REFRESH_RATE, 0x803, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)      /* 0x22200C */ \
  X(HD_GROUP_ADD, 0x804, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)             /* 0x222010 */ \
  X(HD_GROUP_DELETE, 0x805, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)          /* 0x222014 */ \
  X(HD_MESSAGE_ADD, 0x806, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)           /* 0x222018 */ \
  X(HD_MESSAGE_EXCHANGE, 0x807, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)      /* 0x22201C */ \
  X(HD_MESSAGE_DELETE, 0x808, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)        /* 0x222020 */ \
  X(HD_STATUS_QUERY, 0x809, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)          /* 0x222024 */ \
  X(HD_RESET, 0x80A, SC_SUBJECT_DISPLAY, 12, 12, SC_QUEUED, SC_REPLY_RECORD)                 /* 0x222028 */ \
  X(SWITCH_CONNECT, 0x811, SC_SUBJECT_SWITCH, 12, 12, SC_QUEUED, SC_REPLY_RECORD)            /* 0x222044 */ \
  X(SWITCH_DISCONNECT, 0x812, SC_SUBJECT_SWITCH, 12, 12, SC_QUEUED, SC_REPLY_RECORD)         /* 0x222048 */ \
  X(FIRMWARE_VERSION, 0x813, SC_SUBJECT_VERSION, SC_ANY_LEN, 72, SC_QUEUED, SC_REPLY_RECORD) /* 0x22204C */ \
  X(COMMAND4, 0x814, SC_SUBJECT_COMMAND4, SC_ANY_LEN, SC_ANY_LEN, SC_QUEUED, SC_REPLY_NONE)  /* 0x222050 */ \
  X(STATUS_LED_ON, 0x815, SC_SUBJECT_LED, SC_ANY_LEN, SC_ANY_LEN, SC_QUEUED, SC_REPLY_NONE)  /* 0x222054 */ \
  X(STATUS_LED_OFF, 0x816, SC_SUBJECT_LED, SC_ANY_LEN, SC_ANY_LEN, SC_QUEUED, SC_REPLY_NONE) /* 0x222058 */ \
  X(DEBUG_LEVEL, 0x817, SC_SUBJECT_TRACE, 4, 4, SC_AT_ONCE, SC_REPLY_IF_EXACT)               /* 0x22205C */

/* The codes: IOCTL_SC_HD_CLEAR_STATUS and the rest, one per row. */
#define SC_REQUEST_CODE_(name, function, subject, input, output, path, reply) \
  , IOCTL_SC_##name = SC_CTL_CODE(function)
typedef enum _SC_REQUEST_CODE { SC_NO_REQUEST = 0 SC_REQUESTS(SC_REQUEST_CODE_) } SC_REQUEST_CODE;
#undef SC_REQUEST_CODE_

/* The number of rows. */
#define SC_REQUEST_ROW_(name, function, subject, input, output, path, reply) +1
enum { SC_REQUEST_COUNT = 0 SC_REQUESTS(SC_REQUEST_ROW_) };
#undef SC_REQUEST_ROW_

/* Result codes of the hex display, in SC_HD_RECORD.ResultCode. They are
   the display's own answers, not NTSTATUS values; the request itself
   succeeds. */
#define HD_RESULT_OK 0x0000u
#define HD_RESULT_NOT_DONE 0x8A4Eu        /* the command did not reach the display */
#define HD_RESULT_ADD_REFUSED 0x8A4Fu     /* no room for the group or message */
#define HD_RESULT_GROUP_REFUSED 0x8A51u   /* no such group */
#define HD_RESULT_MESSAGE_REFUSED 0x8A54u /* no such message */

/* Where a Cardlan connect takes its switch parameters from. */
#define CS_REGISTRY 0 /* the CardID, SignallingType and TNMappingType values */
#define CS_CURRENT 1  /* the parameters in force */
#define CS_REQUEST 2  /* bytes 1 to 3 of the request record */
/* Any other value: the defaults (70, 3, 3). */

/* States of the Cardlan link, as the driver's trace shows them. The
   display takes requests only in CL_DISCONNECTED and CL_ACTIVE; a connect
   is accepted only in CL_DISCONNECTED, a disconnect in any other state. */
#define CL_NONE 0             /* start-up, before any switch command succeeded */
#define CL_DISCONNECTED 1     /* the last disconnect succeeded */
#define CL_CONNECTING 2       /* a connect succeeded, no slot active yet */
#define CL_ACTIVE_PRIMARY 3   /* the primary slot is active, the secondary not yet */
#define CL_ACTIVE_SECONDARY 4 /* the secondary slot is active, the primary not yet */
#define CL_ACTIVE 5           /* both slots are active */

#pragma pack(push, 1)

typedef struct _SC_HD_RECORD {
  SC_UINT8 GroupID;       /* in: GROUP_DELETE, MESSAGE_ADD; out: GROUP_ADD */
  SC_UINT8 MessageID;     /* in: MESSAGE_EXCHANGE, MESSAGE_DELETE; out: MESSAGE_ADD */
  SC_UINT8 Text[4];       /* in: MESSAGE_ADD, MESSAGE_EXCHANGE */
  SC_UINT8 Value;         /* in: SET_STATUS, SET_REFRESH_RATE */
  SC_UINT8 DisplayStatus; /* out: STATUS_QUERY */
  SC_UINT32 ResultCode;   /* out: every request */
} SC_HD_RECORD;

typedef struct _SC_SWITCH_RECORD {
  SC_UINT8 ConfigSource; /* in (connect only): CS_*; out: as sent */
  SC_UINT8 CardID;       /* in: with CS_REQUEST; out: in force */
  SC_UINT8 SignType;     /* in: with CS_REQUEST; out: in force */
  SC_UINT8 TNMapType;    /* in: with CS_REQUEST; out: in force */
  SC_UINT8 CemuxIpIf;    /* echoed */
  SC_UINT8 Reserved[3];  /* echoed */
  SC_UINT32 ResultCode;  /* out: 0 */
} SC_SWITCH_RECORD;

typedef struct _SC_VERSION_RECORD {
  SC_UINT32 ResultCode; /* 0 */
  SC_UINT8 Length;      /* valid bytes of Version, 0 to 64 */
  SC_UINT8 Version[64]; /* firmware version text, zero filled */
  SC_UINT8 Reserved[3];
} SC_VERSION_RECORD;

#pragma pack(pop)

SC_STATIC_ASSERT(sizeof(SC_UINT8) == 1 && sizeof(SC_UINT32) == 4, "SC_UINT8 and SC_UINT32");
SC_STATIC_ASSERT(sizeof(SC_HD_RECORD) == 12, "SC_HD_RECORD is 12 bytes");
SC_STATIC_ASSERT(sizeof(SC_SWITCH_RECORD) == 12, "SC_SWITCH_RECORD is 12 bytes");
SC_STATIC_ASSERT(sizeof(SC_VERSION_RECORD) == 72, "SC_VERSION_RECORD is 72 bytes");
SC_STATIC_ASSERT(offsetof(SC_HD_RECORD, Value) == 6, "SC_HD_RECORD.Value at 6");
SC_STATIC_ASSERT(offsetof(SC_HD_RECORD, DisplayStatus) == 7, "SC_HD_RECORD.DisplayStatus at 7");
SC_STATIC_ASSERT(offsetof(SC_HD_RECORD, ResultCode) == 8, "SC_HD_RECORD.ResultCode at 8");
SC_STATIC_ASSERT(offsetof(SC_SWITCH_RECORD, CemuxIpIf) == 4, "SC_SWITCH_RECORD.CemuxIpIf at 4");
SC_STATIC_ASSERT(offsetof(SC_SWITCH_RECORD, ResultCode) == 8, "SC_SWITCH_RECORD.ResultCode at 8");
SC_STATIC_ASSERT(offsetof(SC_VERSION_RECORD, Length) == 4, "SC_VERSION_RECORD.Length at 4");
SC_STATIC_ASSERT(offsetof(SC_VERSION_RECORD, Version) == 5, "SC_VERSION_RECORD.Version at 5");
SC_STATIC_ASSERT(offsetof(SC_VERSION_RECORD, Reserved) == 69, "SC_VERSION_RECORD filler at 69");

#endif /* SCIOCTL_H */
