/* QX470USB: acquisition library for the QX-470-USB four-channel 16-bit amplifier.
 *
 * The library owns the one amplifier of the process. Every call runs on the caller's thread;
 * the library's own acquisition thread fills a ring of 64 blocks of 32768 bytes, from which the
 * readout calls answer. Every argument and result is a 32-bit integer (or, for the run readers, a
 * caller-owned array of them). Failures are reported by result only. */
#ifndef QX470USB_H
#define QX470USB_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QX470USB_BUILDING)
#define QX470_API __declspec(dllexport)
#elif defined(QX470USB_STATIC)
#define QX470_API
#else
#define QX470_API __declspec(dllimport)
#endif
#if defined(_WIN64)
#define QX470_CALL
#else
#define QX470_CALL __stdcall
#endif
#else
#define QX470_API __attribute__((visibility("default")))
#define QX470_CALL
#endif

#ifdef __cplusplus
#define QX470_NOEXCEPT noexcept
extern "C" {
#else
#define QX470_NOEXCEPT
#endif

/* Acquisition (1 started / 0 not; Stop returns the bridge status of closing the stream). */
QX470_API int32_t QX470_CALL Start_Acquisition(int32_t window) QX470_NOEXCEPT; /* 1 */
QX470_API int32_t QX470_CALL Stop_Acquisition(void) QX470_NOEXCEPT;            /* 2 */
QX470_API uint32_t QX470_CALL Get_Blocks_Transferred(void) QX470_NOEXCEPT;     /* 3 */
QX470_API int32_t QX470_CALL LV_Start_Acquisition(void) QX470_NOEXCEPT;        /* 10 */
QX470_API int32_t QX470_CALL Restart_Acquisition(void) QX470_NOEXCEPT;         /* 17 */
QX470_API int32_t QX470_CALL Pause_Acquisition(void) QX470_NOEXCEPT;           /* 18 */

/* Readout: a sample value 0..65535, or -1 nothing transferred yet, -2 channel off,
 * -3 not yet available, -4 no longer in the ring. */
QX470_API int32_t QX470_CALL Get_DataPoint(int32_t channel, uint32_t sample) QX470_NOEXCEPT; /* 4 */
QX470_API int32_t QX470_CALL Get_Data_Samples(int32_t *values, int32_t channel, uint32_t first,
                                              int32_t count) QX470_NOEXCEPT; /* 11 */
/* Trigger types: 0 rising through level, 1 falling through, 2 at or above, 3 at or below. */
QX470_API int32_t QX470_CALL Get_Trigger(int32_t *values, int32_t channel, uint32_t first,
                                         int32_t count, int32_t type,
                                         int32_t level) QX470_NOEXCEPT;             /* 12 */
QX470_API int32_t QX470_CALL Get_Current_DataPoint(int32_t channel) QX470_NOEXCEPT; /* 16 */

/* Rates in kS/s: 100, 50, 20, 10, 5, 2, 1; 0 or below turns the channel off. The setters' results
 * are always 0. */
QX470_API int32_t QX470_CALL Set_Sample_Rate(int32_t channel, int32_t rate) QX470_NOEXCEPT; /* 5 */
QX470_API int32_t QX470_CALL Get_Sample_Rate(int32_t channel) QX470_NOEXCEPT;               /* 6 */
QX470_API int32_t QX470_CALL Get_Sample_Modulus(int32_t channel) QX470_NOEXCEPT;            /* 13 */
QX470_API int32_t QX470_CALL Set_Sample_Boundary(int32_t steps) QX470_NOEXCEPT;             /* 14 */

/* Device control (1 done / 0 failed). Status: 101 ready, -5 no device, -8 not powered. */
QX470_API int32_t QX470_CALL Do_Autozero(void) QX470_NOEXCEPT;                   /* 7 */
QX470_API int32_t QX470_CALL Do_Cal_On(void) QX470_NOEXCEPT;                     /* 8 */
QX470_API int32_t QX470_CALL Do_Cal_Off(void) QX470_NOEXCEPT;                    /* 9 */
QX470_API int32_t QX470_CALL Get_QX470USB_Status(void) QX470_NOEXCEPT;           /* 15 */
QX470_API int32_t QX470_CALL Set_Calibration_Data(int32_t value) QX470_NOEXCEPT; /* 19 */
QX470_API int32_t QX470_CALL Get_Calibration_Data(void) QX470_NOEXCEPT;          /* 20 */

#ifdef __cplusplus
}
#endif

#endif
