/* Compiles the user-mode header as C: its layout checks run here too. */
#include "kelvo/ioctl.h"

int kelvo_ioctl_header_check(void);
int kelvo_ioctl_header_check(void) {
    kelvo_kelvo_getSetupLevel_out out = {0, 0};
    return (int)out.setupLevel + KELVO_IOCTL_CODE_COUNT;
}
