/* The subset of the FTDI D2XX interface that the QX470USB library calls, declared from the
 * published D2XX programmer's guide: names, argument types and status values as D2XX has them.
 * Every backend of the bridge layer (the simulator, libftdi1) implements exactly these calls. */
#ifndef QX470_FTD2XX_H
#define QX470_FTD2XX_H

#include <stdint.h>

#if defined(_WIN32)
#define FTD2XX_CALL __stdcall
#if defined(FTD2XX_BUILDING)
#define FTD2XX_API __declspec(dllexport)
#else
#define FTD2XX_API __declspec(dllimport)
#endif
#else
#define FTD2XX_CALL
#define FTD2XX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void *FT_HANDLE;
/* On Windows the same types as <windows.h>, so both headers can meet in one file. */
#if defined(_WIN32)
typedef unsigned long DWORD;
typedef unsigned long ULONG;
typedef DWORD FT_STATUS;
#else
typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
#endif
typedef DWORD *LPDWORD;
typedef void *LPVOID;
typedef unsigned char UCHAR;
typedef UCHAR *PUCHAR;

enum {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_INVALID_BAUD_RATE = 7,
  FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
  FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
  FT_FAILED_TO_WRITE_DEVICE = 10,
  FT_EEPROM_READ_FAILED = 11,
  FT_EEPROM_WRITE_FAILED = 12,
  FT_EEPROM_ERASE_FAILED = 13,
  FT_EEPROM_NOT_PRESENT = 14,
  FT_EEPROM_NOT_PROGRAMMED = 15,
  FT_INVALID_ARGS = 16,
  FT_NOT_SUPPORTED = 17,
  FT_OTHER_ERROR = 18
};

#define FT_PURGE_RX 1
#define FT_PURGE_TX 2

/* In a listing's Flags: another process has the device open. */
#define FT_FLAGS_OPENED 1

typedef struct _ft_device_list_info_node {
  ULONG Flags;
  ULONG Type;
  ULONG ID;
  DWORD LocId;
  char SerialNumber[16];
  char Description[64];
  FT_HANDLE ftHandle;
} FT_DEVICE_LIST_INFO_NODE;

FTD2XX_API FT_STATUS FTD2XX_CALL FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *pDest,
                                                      LPDWORD lpdwNumDevs);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_Open(int deviceNumber, FT_HANDLE *pHandle);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout,
                                                ULONG WriteTimeout);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_Purge(FT_HANDLE ftHandle, ULONG Mask);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                                          LPDWORD lpBytesWritten);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                                         LPDWORD lpBytesReturned);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_StopInTask(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_RestartInTask(FT_HANDLE ftHandle);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_EE_UARead(FT_HANDLE ftHandle, PUCHAR pucData, DWORD dwDataLen,
                                              LPDWORD lpdwBytesRead);
FTD2XX_API FT_STATUS FTD2XX_CALL FT_EE_UAWrite(FT_HANDLE ftHandle, PUCHAR pucData, DWORD dwDataLen);
/* The modem status in the low byte and the line status in the next. The line status's overrun
 * error (FT_LINE_OVERRUN_ERROR, shifted by 8) is latched when the device's receive buffer
 * overflows and lost data, until this call reads it. */
#define FT_LINE_OVERRUN_ERROR 0x02
FTD2XX_API FT_STATUS FTD2XX_CALL FT_GetModemStatus(FT_HANDLE ftHandle, ULONG *pModemStatus);

#ifdef __cplusplus
}
#endif

#endif
