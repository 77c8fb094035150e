; IBMBIO.COM of the default raw image (VeltraneUSB4MB.dat).
;
; Started by the DOS boot sector at 0070:0000 the way DOS is started:
; CH = media byte, DL = boot drive, AX:BX = first data sector counted from
; the start of the drive, the boot sector left at 0:7C00. Says that the
; machine started from a drive written by the raw image writer, shows what
; the boot sector handed over, then restarts on a key press.

bits 16
cpu 386
org 0

entry:
        mov     [cs:r_ax], ax
        mov     [cs:r_bx], bx
        mov     [cs:r_cx], cx
        mov     [cs:r_dx], dx
        mov     ax, cs
        mov     ds, ax
        cli
        mov     ss, ax
        mov     sp, 0xFFF0
        sti
        cld

        mov     si, s_banner
        call    print

        mov     si, s_media
        call    print
        mov     al, [r_cx + 1]
        call    print_hex8
        mov     si, s_hex_suffix
        call    print

        mov     si, s_drive
        call    print
        mov     al, [r_dx]
        call    print_hex8
        mov     si, s_hex_suffix
        call    print

        mov     si, s_data
        call    print
        mov     ax, [r_ax]
        call    print_hex
        mov     ax, [r_bx]
        call    print_hex
        mov     si, s_hex_suffix
        call    print

        ; The boot sector's parameter block is still at 0:7C00: its media
        ; byte must be the one handed over in CH.
        push    ds
        xor     ax, ax
        mov     ds, ax
        mov     al, [0x7C00 + 21]
        pop     ds
        mov     si, s_protocol_ok
        cmp     al, [r_cx + 1]
        je      .report
        mov     si, s_protocol_bad
.report:
        call    print

        mov     si, s_closing
        call    print
        xor     ax, ax
        int     0x16
        int     0x19

%include "teletype.inc"

r_ax            dw      0
r_bx            dw      0
r_cx            dw      0
r_dx            dw      0

s_banner        db      13, 10
                db      "This computer has started from a USB drive written by Larkin's", 13, 10
                db      "raw image writer, through the DOS boot sector.", 13, 10
                db      13, 10, 0
s_media         db      "  Media byte:        ", 0
s_drive         db      "  Boot drive:        ", 0
s_data          db      "  First data sector: ", 0
s_hex_suffix    db      "h", 13, 10, 0
s_protocol_ok   db      "  IBMBIO.COM was started as DOS expects.", 13, 10, 0
s_protocol_bad  db      "  The media byte does not match the boot sector's.", 13, 10, 0
s_closing       db      13, 10
                db      "Press any key to restart.", 13, 10, 0
