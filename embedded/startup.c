/* Bare-metal start-up for the Cortex-M3: the vector table, and a reset
 * handler that sets up .data and .bss, opens the semihosting channel, runs
 * main and exits with its status. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern uint32_t __data_start, __data_end, __data_load, __bss_start, __bss_end, __stack_top;
extern void initialise_monitor_handles(void);
int main(void);

void reset_handler(void);
static void fault_handler(void);

/* Initial stack pointer, reset, NMI, hard fault, and the other faults. */
__attribute__((section(".vectors"), used)) static const uintptr_t vectors[] = {
    (uintptr_t)&__stack_top,  (uintptr_t)reset_handler, (uintptr_t)fault_handler,
    (uintptr_t)fault_handler, (uintptr_t)fault_handler, (uintptr_t)fault_handler,
    (uintptr_t)fault_handler,
};

void reset_handler(void) {
    memcpy(&__data_start, &__data_load, (size_t)((char*)&__data_end - (char*)&__data_start));
    memset(&__bss_start, 0, (size_t)((char*)&__bss_end - (char*)&__bss_start));
    initialise_monitor_handles();
    exit(main());
}

/* A fault ends the run as a failure, never as a hang. */
static void fault_handler(void) {
    exit(3);
}
