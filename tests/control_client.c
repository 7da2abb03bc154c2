/* Another program on the same amplifier, as a user might run beside a recording: it says what the
 * library's control commands and a start give it, on one line. */
#include <stdio.h>

#include "QX470USB.h"

int main(void) {
  const int32_t status = Get_QX470USB_Status();
  const int32_t cal_on = Do_Cal_On();
  if (cal_on == 1) Do_Cal_Off();
  Set_Sample_Rate(0, 100);
  const int32_t start = LV_Start_Acquisition();
  Stop_Acquisition();
  printf("status %d cal_on %d start %d\n", (int)status, (int)cal_on, (int)start);
  return 0;
}
