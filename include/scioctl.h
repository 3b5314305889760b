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

/* Hex display: SC_HD_RECORD in and out. */
#define IOCTL_SC_HD_CLEAR_STATUS SC_CTL_CODE(0x801)     /* 0x222004 */
#define IOCTL_SC_HD_SET_STATUS SC_CTL_CODE(0x802)       /* 0x222008 */
#define IOCTL_SC_HD_SET_REFRESH_RATE SC_CTL_CODE(0x803) /* 0x22200C */
#define IOCTL_SC_HD_GROUP_ADD SC_CTL_CODE(0x804)        /* 0x222010 */
#define IOCTL_SC_HD_GROUP_DELETE SC_CTL_CODE(0x805)     /* 0x222014 */
#define IOCTL_SC_HD_MESSAGE_ADD SC_CTL_CODE(0x806)      /* 0x222018 */
#define IOCTL_SC_HD_MESSAGE_EXCHANGE SC_CTL_CODE(0x807) /* 0x22201C */
#define IOCTL_SC_HD_MESSAGE_DELETE SC_CTL_CODE(0x808)   /* 0x222020 */
#define IOCTL_SC_HD_STATUS_QUERY SC_CTL_CODE(0x809)     /* 0x222024 */
#define IOCTL_SC_HD_RESET SC_CTL_CODE(0x80A)            /* 0x222028 */

/* Cardlan switch: SC_SWITCH_RECORD in and out. */
#define IOCTL_SC_SWITCH_CONNECT SC_CTL_CODE(0x811)    /* 0x222044 */
#define IOCTL_SC_SWITCH_DISCONNECT SC_CTL_CODE(0x812) /* 0x222048 */

/* Firmware version: SC_VERSION_RECORD out, no input. */
#define IOCTL_SC_FIRMWARE_VERSION SC_CTL_CODE(0x813) /* 0x22204C */

/* No buffers. */
#define IOCTL_SC_COMMAND4 SC_CTL_CODE(0x814)       /* 0x222050 */
#define IOCTL_SC_STATUS_LED_ON SC_CTL_CODE(0x815)  /* 0x222054 */
#define IOCTL_SC_STATUS_LED_OFF SC_CTL_CODE(0x816) /* 0x222058 */

/* Trace level: a signed 32-bit level in (at most 5 is kept); with an
   output length of 4 the previous level comes back. */
#define IOCTL_SC_DEBUG_LEVEL SC_CTL_CODE(0x817) /* 0x22205C */

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
