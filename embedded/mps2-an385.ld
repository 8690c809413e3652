/* The MPS2 AN385 board (Cortex-M3) as qemu-system-arm -M mps2-an385 models
 * it: code in the 4 MiB SSRAM at 0, data and stack in the 4 MiB SRAM at
 * 0x20000000. */
MEMORY
{
    CODE (rx) : ORIGIN = 0x00000000, LENGTH = 4M
    DATA (rwx) : ORIGIN = 0x20000000, LENGTH = 4M
}

ENTRY(reset_handler)

SECTIONS
{
    .text :
    {
        KEEP(*(.vectors))
        *(.text*)
        *(.rodata*)
        . = ALIGN(4);
    } > CODE

    .ARM.exidx : { *(.ARM.exidx*) } > CODE

    .data :
    {
        __data_start = .;
        *(.data*)
        . = ALIGN(4);
        __data_end = .;
    } > DATA AT > CODE
    __data_load = LOADADDR(.data);

    .bss (NOLOAD) :
    {
        __bss_start = .;
        *(.bss*)
        *(COMMON)
        . = ALIGN(8);
        __bss_end = .;
    } > DATA

    /* The C library's heap grows up from here (semihosting output buffers);
     * the stack grows down from the top. */
    end = .;
    __end__ = .;
    __stack_top = ORIGIN(DATA) + LENGTH(DATA);
}
