/* ZarnDigitizer: board-level access to a digitizer (open, close, commands,
 * board information, registers, readout).
 *
 * Every call returns 0 (ZARN_DGTZ_Success) or a negative error code below.
 * Handles are small non-negative integers handed out by the open; a handle
 * that is not open answers ZARN_DGTZ_InvalidHandle. The calls are safe to make
 * from several threads: each board keeps its own lock. */
#ifndef ZARN_DIGITIZER_H
#define ZARN_DIGITIZER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes. */
enum {
    ZARN_DGTZ_Success = 0,
    ZARN_DGTZ_CommError = -1, /* nothing answers at that address / link failure */
    ZARN_DGTZ_GenericError = -2,
    ZARN_DGTZ_InvalidParam = -3, /* NULL pointer, unknown mode, unknown probe */
    ZARN_DGTZ_InvalidLinkType = -4,
    ZARN_DGTZ_InvalidHandle = -5,   /* handle not open */
    ZARN_DGTZ_MaxDevicesError = -6, /* too many boards open */
    ZARN_DGTZ_BadBoardType = -7,    /* the board's profile is unusable */
    ZARN_DGTZ_ReadRegisterFailed = -10,
    ZARN_DGTZ_WriteRegisterFailed = -11,
    ZARN_DGTZ_InvalidBuffer = -14, /* buffer not allocated by ZARN_DGTZ_MallocReadoutBuffer */
    ZARN_DGTZ_OutOfMemory = -22,
    ZARN_DGTZ_CalibrationError = -23,
    ZARN_DGTZ_ProfileError = -24, /* the simulated-board profiles file is unreadable or malformed */
    ZARN_DGTZ_AlreadyOpen = -25,  /* the board at that address is already open */
    ZARN_DGTZ_UnsupportedBaseAddress = -34
};

/* Link types of the open. Type 6 passes an address text, the others a
 * pointer to an int link number. */
enum {
    ZARN_DGTZ_LINK_USB = 0,
    ZARN_DGTZ_LINK_OPTICAL = 1,
    ZARN_DGTZ_LINK_USB_BRIDGE = 2,
    ZARN_DGTZ_LINK_PCIE = 3,
    ZARN_DGTZ_LINK_VME_BRIDGE = 4,
    ZARN_DGTZ_LINK_USB_DIRECT = 5,
    ZARN_DGTZ_LINK_NETWORK = 6
};

#define ZARN_DGTZ_MAX_BOARDS      32
#define ZARN_DGTZ_PROBE_NAME_SIZE 32 /* bytes of the text buffer of the probe-name call */

/* Board information: 164 bytes, little-endian, byte for byte the head of the
 * library's board descriptor (layout pinned in ZarnDigitizerLayout.cpp). */
#pragma pack(push, 4)
typedef struct ZARN_DGTZ_BoardInfo_t {
    char ModelName[12];          /*   0 */
    uint32_t Model;              /*  12 model number */
    uint32_t Channels;           /*  16 channel count */
    uint32_t FormFactor;         /*  20 0, 1: 4 LVDS groups; 2, 3: none */
    uint32_t FamilyCode;         /*  24 */
    char BoardFirmwareRel[20];   /*  28 board firmware release text */
    char ChannelFirmwareRel[40]; /*  48 "<DPP code>.<minor revision>" */
    uint32_t SerialNumber;       /*  88 */
    uint8_t Unused1[32];         /*  92 */
    uint32_t InfoWord;           /* 124 the word reported to clients (board revision) */
    uint32_t ADC_NBits;          /* 128 */
    uint32_t Unused2;            /* 132 */
    int32_t CommHandle;          /* 136 ZarnComm link handle of the board */
    uint32_t LinkInfo;           /* 140 */
    uint8_t Reserved[20];        /* 144 zero */
} ZARN_DGTZ_BoardInfo_t;
#pragma pack(pop)

/* Opens the board at an address. linkArg: for ZARN_DGTZ_LINK_NETWORK the
 * address text (const char*), otherwise a pointer to the int link number.
 * Answers ZARN_DGTZ_CommError when no board is at the address and
 * ZARN_DGTZ_AlreadyOpen when it is open already. */
int ZARN_DGTZ_OpenDigitizer2(int linkType, const void* linkArg, int node, uint32_t vmeBase, int* handle);
int ZARN_DGTZ_CloseDigitizer(int handle);

int ZARN_DGTZ_Reset(int handle);         /* registers to their defaults, acquisition stopped, data cleared */
int ZARN_DGTZ_ClearData(int handle);     /* drops buffered and pending data */
int ZARN_DGTZ_SendSWtrigger(int handle); /* one software trigger on every enabled channel */
int ZARN_DGTZ_SWStartAcquisition(int handle);
int ZARN_DGTZ_SWStopAcquisition(int handle);
int ZARN_DGTZ_Calibrate(int handle); /* ADC calibration; data cleared */

int ZARN_DGTZ_GetInfo(int handle, ZARN_DGTZ_BoardInfo_t* info);

int ZARN_DGTZ_WriteRegister(int handle, uint32_t address, uint32_t value);
int ZARN_DGTZ_ReadRegister(int handle, uint32_t address, uint32_t* value);

/* Readout buffer: sized from the board's registers (aggregates per block
 * transfer and the size of one board aggregate). The buffer belongs to this
 * layer until ZARN_DGTZ_FreeReadoutBuffer, which clears *buffer; it stays
 * valid after the board is closed. */
int ZARN_DGTZ_MallocReadoutBuffer(int handle, char** buffer, uint32_t* size);
int ZARN_DGTZ_FreeReadoutBuffer(char** buffer);

/* Reads whole board aggregates into a buffer from ZARN_DGTZ_MallocReadoutBuffer
 * (never more than its size). mode must be 0. *bytes is 0 when no data waits. */
int ZARN_DGTZ_ReadData(int handle, int mode, char* buffer, uint32_t* bytes);

/* Name of a virtual probe code of this layer (text of at most
 * ZARN_DGTZ_PROBE_NAME_SIZE bytes with its terminator). */
int ZARN_DGTZ_GetDPP_VirtualProbeName(int probe, char* name);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_DIGITIZER_H */
