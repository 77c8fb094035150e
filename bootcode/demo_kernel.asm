; KERNEL.SYS of the demo boot image.
;
; Started by the FAT16 boot sector at 0060:0000 with the boot drive in BL.
; Tells the user that the machine started from a drive made by Larkin and
; what the BIOS says about that drive, then restarts on a key press.

bits 16
cpu 386
org 0

entry:
        mov     ax, cs
        mov     ds, ax
        cli
        mov     ss, ax
        mov     sp, 0xFFF0
        sti
        cld
        mov     [boot_drive], bl

        mov     si, s_banner
        call    print

        mov     si, s_drive
        call    print
        mov     al, [boot_drive]
        call    print_hex8
        mov     si, s_hex_suffix
        call    print

        ; INT 13h extensions: AH=41h answers with BX=AA55h and the version.
        mov     si, s_lba
        call    print
        mov     ah, 0x41
        mov     bx, 0x55AA
        mov     dl, [boot_drive]
        int     0x13
        jc      .no_lba
        cmp     bx, 0xAA55
        jne     .no_lba
        test    cl, 1
        jz      .no_lba
        mov     si, s_lba_yes
        call    print
        mov     al, ah
        shr     al, 4
        call    print_digit
        mov     al, '.'
        call    putc
        mov     al, ah
        and     al, 0x0F
        call    print_digit
        mov     si, s_close
        call    print
        jmp     .geometry
.no_lba:
        mov     si, s_lba_no
        call    print

.geometry:
        mov     si, s_geometry
        call    print
        mov     ah, 0x08
        mov     dl, [boot_drive]
        xor     di, di
        push    es
        mov     es, di
        int     0x13
        pop     es
        jc      .no_geometry
        ; CL bits 6-7 and CH hold the last cylinder, CL bits 0-5 the
        ; sectors per track, DH the last head.
        push    dx
        push    cx
        mov     al, cl
        shl     ax, 2
        mov     al, ch
        and     ax, 0x03FF
        inc     ax
        call    print_dec
        mov     si, s_cylinders
        call    print
        pop     cx
        pop     dx
        push    cx
        movzx   ax, dh
        inc     ax
        call    print_dec
        mov     si, s_heads
        call    print
        pop     cx
        movzx   ax, cl
        and     al, 0x3F
        call    print_dec
        mov     si, s_sectors
        call    print
        jmp     .finish
.no_geometry:
        mov     si, s_unknown
        call    print

.finish:
        mov     si, s_closing
        call    print
        xor     ax, ax
        int     0x16
        int     0x19

%include "teletype.inc"

print_digit:
        push    ax
        add     al, '0'
        cmp     al, '9'
        jbe     .out
        add     al, 'A' - '9' - 1
.out:
        call    putc
        pop     ax
        ret

; Prints AX in decimal.
print_dec:
        pusha
        mov     bx, 10
        xor     cx, cx
.divide:
        xor     dx, dx
        div     bx
        push    dx
        inc     cx
        test    ax, ax
        jnz     .divide
.digit:
        pop     ax
        add     al, '0'
        call    putc
        loop    .digit
        popa
        ret

boot_drive      db      0

s_banner        db      13, 10
                db      "This computer has started from a USB drive made by Larkin.", 13, 10
                db      13, 10, 0
s_drive         db      "  Boot drive:    ", 0
s_hex_suffix    db      "h", 13, 10, 0
s_lba           db      "  Disk services: ", 0
s_lba_yes       db      "LBA extensions present (version ", 0
s_close         db      ")", 13, 10, 0
s_lba_no        db      "no LBA extensions, CHS only", 13, 10, 0
s_geometry      db      "  Geometry:      ", 0
s_cylinders     db      " cylinders, ", 0
s_heads         db      " heads, ", 0
s_sectors       db      " sectors per track", 13, 10, 0
s_unknown       db      "not reported by the BIOS", 13, 10, 0
s_closing       db      13, 10
                db      "The drive works. Copy your own system files onto it to start", 13, 10
                db      "something more useful than this message.", 13, 10
                db      13, 10
                db      "Press any key to restart.", 13, 10, 0
