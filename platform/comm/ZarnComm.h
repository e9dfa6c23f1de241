/* ZarnComm: register, block-read and interrupt access to a board over its link.
 *
 * A board opened through ZarnDigitizer reports its link handle in the board
 * information (ZARN_DGTZ_BoardInfo_t.CommHandle); a device driven at register
 * level (the device without connection parameters) opens its link with
 * ZarnComm_OpenLink. Every call returns 0 (ZARN_COMM_Success) or a negative
 * code below; a handle that is not open answers ZARN_COMM_InvalidHandle. */
#ifndef ZARN_COMM_H
#define ZARN_COMM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZARN_COMM_Success = 0,
    ZARN_COMM_BusError = -1,  /* access refused by the board */
    ZARN_COMM_CommError = -2, /* link failure / nothing answers at that address */
    ZARN_COMM_GenericError = -3,
    ZARN_COMM_InvalidParam = -4, /* NULL pointer, bad count, unknown query code */
    ZARN_COMM_InvalidLinkType = -5,
    ZARN_COMM_InvalidHandle = -6,
    ZARN_COMM_Timeout = -7, /* ZarnComm_IRQWait: no interrupt within the time */
    ZARN_COMM_AlreadyOpen = -8,
    ZARN_COMM_ProfileError = -9, /* the simulated-board profiles file is unreadable or malformed */
    ZARN_COMM_NoMoreData = -13   /* block reads: the transfer ended (the call may still carry words) */
};

/* Query codes of ZarnComm_GetInfo. */
enum {
    ZARN_COMM_INFO_LINK_TYPE = 0,
    ZARN_COMM_INFO_LINK_NUMBER = 1,
    ZARN_COMM_INFO_NODE = 2,
    ZARN_COMM_INFO_BASE_ADDRESS = 3,
    ZARN_COMM_INFO_FIRMWARE = 4, /* link interface firmware word */
    ZARN_COMM_INFO_LINK = 5      /* link information word */
};

int ZarnComm_Read32(int32_t handle, uint32_t address, uint32_t* value);
int ZarnComm_Write32(int32_t handle, uint32_t address, uint32_t value);

/* Reads count registers in one transaction: data[i] and errors[i] (0 or a
 * code above) for addresses[i]. Answers 0 when the transaction ran, even when
 * some error words are not 0. */
int ZarnComm_MultiRead32(int32_t handle, const uint32_t* addresses, uint32_t count, uint32_t* data, int32_t* errors);

/* Block reads of the board's data: whole board aggregates only, at most
 * maxWords 32-bit words into destination, *wordsRead the words delivered.
 * 0: words delivered and more may follow; ZARN_COMM_NoMoreData: the transfer
 * ended (with or without words). Never 0 with no words. address must be 0.
 * ZarnComm_MBLTRead serves ZarnDigitizer boards, ZarnComm_BLTRead the device
 * opened with ZarnComm_OpenLink; both work on either. */
int ZarnComm_MBLTRead(int32_t handle, uint32_t address, void* destination, uint32_t maxWords, uint32_t* wordsRead);
int ZarnComm_BLTRead(int32_t handle, uint32_t address, void* destination, uint32_t maxWords, uint32_t* wordsRead);

/* Waits up to milliseconds for the board's interrupt (data ready):
 * 0 when it came, ZARN_COMM_Timeout otherwise. */
int ZarnComm_IRQWait(int32_t handle, uint32_t milliseconds);

/* Opens and closes a register-level link. linkArg points to the int link
 * number. The device without connection parameters answers at link type 0,
 * link 0, node 0, base 0; another address answers ZARN_COMM_CommError. */
int ZarnComm_OpenLink(int linkType, const void* linkArg, int node, uint32_t base, int32_t* handle);
int ZarnComm_CloseLink(int32_t handle);

/* Information about a link (query codes above). */
int ZarnComm_GetInfo(int32_t handle, int32_t code, int32_t* value);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_COMM_H */
