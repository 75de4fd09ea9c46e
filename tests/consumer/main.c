/* Calls the installed library: port 0 is refused before anything is opened. */
#include <stdio.h>
#include <string.h>
#include <velko/velko.h>

int main(void) {
    const int32_t rc = VELKOZeroPLUCounters(0, 9600, 1);
    printf("%s\n", VELKOResultMessage(rc));
    return rc == VELKO_ERR_PORT && strncmp(VELKOResultMessage(rc), "VELKO_ERR_PORT", 14) == 0 ? 0
                                                                                              : 1;
}
