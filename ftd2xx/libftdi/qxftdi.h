/* What the libftdi1 backend offers beyond the D2XX calls. */
#ifndef QX470_QXFTDI_H
#define QX470_QXFTDI_H

#include "ftd2xx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Packets on a stream-channel handle whose status said the bridge's receive buffer overran
 * (data was lost inside the chip before it reached USB); 0 for any other handle. The first
 * overrun on a handle is also reported once on standard error. */
FTD2XX_API unsigned long FTD2XX_CALL qxftdi_stream_overruns(FT_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif
