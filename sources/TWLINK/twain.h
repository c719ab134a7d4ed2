// The few TWAIN definitions the program needs, from the published standard.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define TW_CALLINGSTYLE __stdcall
#else
#define TW_CALLINGSTYLE
#endif

using TW_UINT16 = uint16_t;
using TW_UINT32 = uint32_t;
using TW_INT16 = int16_t;
using TW_MEMREF = void *;
using TW_STR32 = char[34];

#pragma pack(push, 2)
struct TW_VERSION {
    TW_UINT16 MajorNum;
    TW_UINT16 MinorNum;
    TW_UINT16 Language;
    TW_UINT16 Country;
    TW_STR32 Info;
};

struct TW_IDENTITY {
    TW_UINT32 Id;
    TW_VERSION Version;
    TW_UINT16 ProtocolMajor;
    TW_UINT16 ProtocolMinor;
    TW_UINT32 SupportedGroups;
    TW_STR32 Manufacturer;
    TW_STR32 ProductFamily;
    TW_STR32 ProductName;
};

struct TW_STATUS {
    TW_UINT16 ConditionCode;
    TW_UINT16 Reserved;
};

struct TW_EVENT {
    TW_MEMREF pEvent;
    TW_UINT16 TWMessage;
};

struct TW_PENDINGXFERS {
    TW_UINT16 Count;
    TW_UINT32 EOJ;
};

struct TW_MEMORY {
    TW_UINT32 Flags;
    TW_UINT32 Length;
    TW_MEMREF TheMem;
};

struct TW_IMAGEMEMXFER {
    TW_UINT16 Compression;
    TW_UINT32 BytesPerRow;
    TW_UINT32 Columns;
    TW_UINT32 Rows;
    TW_UINT32 XOffset;
    TW_UINT32 YOffset;
    TW_UINT32 BytesWritten;
    TW_MEMORY Memory;
};
#pragma pack(pop)

// The records cross into modules of either architecture: fixed widths, two-byte
// packing, and pointer-sized handles where TWAIN passes addresses.
static_assert(sizeof(TW_UINT32) == 4 && sizeof(TW_UINT16) == 2, "TWAIN integer widths");
static_assert(sizeof(TW_MEMREF) == sizeof(void *), "TW_MEMREF is pointer-sized");
static_assert(alignof(TW_IDENTITY) == 2, "TW_IDENTITY packed to two bytes");
static_assert(sizeof(TW_IDENTITY) == 156, "TW_IDENTITY is 156 bytes");
static_assert(offsetof(TW_IDENTITY, Manufacturer) == 54, "Manufacturer at 54");
static_assert(offsetof(TW_IDENTITY, ProductFamily) == 88, "ProductFamily at 88");
static_assert(offsetof(TW_IDENTITY, ProductName) == 122, "ProductName at 122");
static_assert(offsetof(TW_EVENT, TWMessage) == sizeof(TW_MEMREF), "TWMessage after pEvent");
static_assert(offsetof(TW_IMAGEMEMXFER, BytesWritten) == 22, "BytesWritten at 22");

// The Source Manager's DSM_Entry takes origin and destination; a data source's
// DS_Entry takes only the origin (five arguments, callee pops them).
using DSMENTRYPROC = TW_UINT16(TW_CALLINGSTYLE *)(TW_IDENTITY *origin, TW_IDENTITY *dest,
                                                  TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                                  TW_MEMREF data);
using DSENTRYPROC = TW_UINT16(TW_CALLINGSTYLE *)(TW_IDENTITY *origin, TW_UINT32 dg, TW_UINT16 dat,
                                                 TW_UINT16 msg, TW_MEMREF data);
static_assert(sizeof(DSMENTRYPROC) == sizeof(void *) && sizeof(DSENTRYPROC) == sizeof(void *),
              "entry points are reached through untyped module addresses");

constexpr TW_UINT32 DG_CONTROL = 0x0001;
constexpr TW_UINT32 DG_IMAGE = 0x0002;

constexpr TW_UINT16 DAT_EVENT = 0x0002;
constexpr TW_UINT16 DAT_IDENTITY = 0x0003;
constexpr TW_UINT16 DAT_PARENT = 0x0004;
constexpr TW_UINT16 DAT_PENDINGXFERS = 0x0005;
constexpr TW_UINT16 DAT_SETUPMEMXFER = 0x0006;
constexpr TW_UINT16 DAT_STATUS = 0x0008;
constexpr TW_UINT16 DAT_USERINTERFACE = 0x0009;
constexpr TW_UINT16 DAT_IMAGEMEMXFER = 0x0103;
constexpr TW_UINT16 DAT_IMAGENATIVEXFER = 0x0104;
constexpr TW_UINT16 DAT_IMAGEFILEXFER = 0x0105;

constexpr TW_UINT16 MSG_GET = 0x0001;
constexpr TW_UINT16 MSG_GETDEFAULT = 0x0003;
constexpr TW_UINT16 MSG_GETFIRST = 0x0004;
constexpr TW_UINT16 MSG_GETNEXT = 0x0005;
constexpr TW_UINT16 MSG_SET = 0x0006;
constexpr TW_UINT16 MSG_RESET = 0x0007;
constexpr TW_UINT16 MSG_XFERREADY = 0x0101;
constexpr TW_UINT16 MSG_OPENDSM = 0x0301;
constexpr TW_UINT16 MSG_CLOSEDSM = 0x0302;
constexpr TW_UINT16 MSG_OPENDS = 0x0401;
constexpr TW_UINT16 MSG_CLOSEDS = 0x0402;
constexpr TW_UINT16 MSG_DISABLEDS = 0x0501;
constexpr TW_UINT16 MSG_ENABLEDS = 0x0502;
constexpr TW_UINT16 MSG_PROCESSEVENT = 0x0601;
constexpr TW_UINT16 MSG_ENDXFER = 0x0701;

constexpr TW_UINT16 TWRC_SUCCESS = 0;
constexpr TW_UINT16 TWRC_FAILURE = 1;
constexpr TW_UINT16 TWRC_CHECKSTATUS = 2;
constexpr TW_UINT16 TWRC_CANCEL = 3;
constexpr TW_UINT16 TWRC_DSEVENT = 4;
constexpr TW_UINT16 TWRC_NOTDSEVENT = 5;
constexpr TW_UINT16 TWRC_XFERDONE = 6;
constexpr TW_UINT16 TWRC_ENDOFLIST = 7;

constexpr TW_UINT16 TWCC_BUMMER = 1;
constexpr TW_UINT16 TWON_DONTCARE16 = 0xFFFF;
constexpr TW_UINT32 TWON_DONTCARE32 = 0xFFFFFFFF;
constexpr TW_UINT16 TWLG_USA = 13;
constexpr TW_UINT16 TWCY_USA = 1;

// A TW_STR32 as a C string, read within its 34 bytes even when a source
// filled the field without a terminating NUL.
struct IdentityText {
    char text[sizeof(TW_STR32) + 1];
};
inline IdentityText IdentityString(const TW_STR32 &field) {
    IdentityText out{};
    for (size_t i = 0; i < sizeof(TW_STR32) && field[i] != '\0'; ++i)
        out.text[i] = field[i];
    return out;
}
