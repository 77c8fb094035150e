; Test kernel for the boot tests, loaded at <segment>:0000. It reports through
; the BIOS teletype (mirrored to the serial port), a line each and under the 80
; columns where the console wraps: its entry registers, whether its image
; arrived whole, the counters of chs_shim.asm under it, the boot sector at
; 0:7C00 up to offset 61, and KERNEL DONE. Assembled with -DPROBE=<name>
; -DPAD=0 it is a partition boot sector that prints the entry line and 16
; bytes at DS:SI.
bits 16
cpu 386
org 0

%ifndef PAD
%define PAD 20000
%endif

entry:
%ifdef PROBE
        jmp     0x07C0:.start
.start:
%endif
        mov     [cs:regs + 4], ax
        mov     [cs:regs + 6], bx
        mov     [cs:regs + 8], cx
        mov     [cs:regs + 10], dx
        mov     [cs:regs + 12], si
        mov     [cs:regs + 14], ds
        mov     [cs:regs], cs
        call    .here
.here:
        pop     ax
        sub     ax, .here - entry
        mov     [cs:regs + 2], ax
        cli
        mov     ax, cs
        mov     ds, ax
        mov     es, ax
        mov     ss, ax
        mov     sp, 0xFFF0
        sti
        cld
        mov     di, reg_names
        mov     bx, regs
        call    fields

%ifdef PROBE
%defstr PROBE_TEXT PROBE
        mov     si, s_probe
        call    print
        les     bx, [regs + 12]
        mov     cx, 16
        call    dump
%else
        ; The filler as it should have been loaded, to its last byte.
        xor     bx, bx
.check:
        mov     al, bl
        add     al, bh
        cmp     al, [filler + bx]
        jne     .damaged
        inc     bx
        cmp     bx, PAD
        jb      .check
        mov     si, s_whole
        call    print
.damaged:

        ; The counters of the CHS shim's INT 13h hook, when it is installed.
        xor     ax, ax
        mov     es, ax
        mov     es, [es:0x13 * 4 + 2]
        cmp     dword [es:4], 'ONLY'
        jne     .no_shim
        mov     di, shim_names
        mov     bx, 8
        call    fields
.no_shim:

        mov     si, s_boot0
        xor     bx, bx
        mov     es, bx
        mov     bx, 0x7C00
.boot:
        call    print
        push    si
        mov     cx, 31
        call    dump
        pop     si
        cmp     bx, 0x7C00 + 62
        jb      .boot
%endif
        mov     si, s_done
        call    print
.halt:
        sti                             ; the BIOS flushes the serial console on its timer
        hlt
        jmp     .halt

; Prints each name from DI followed by the word at ES:BX in hex, up to an
; empty name, then a line end.
fields:
        mov     si, di
        call    print
        mov     di, si
        mov     ax, [es:bx]
        call    print_hex
        add     bx, 2
        cmp     byte [di], 0
        jne     fields
        mov     si, s_crlf
        jmp     print

; Prints CX bytes from ES:BX in hex, then a line end.
dump:
        mov     al, [es:bx]
        inc     bx
        call    print_hex8
        loop    dump
        mov     si, s_crlf
        jmp     print

%include "teletype.inc"

reg_names       db      "KERNEL ENTRY CS=", 0, " IP=", 0, " AX=", 0, " BX=", 0
                db      " CX=", 0, " DX=", 0, " SI=", 0, " DS=", 0, 0
%ifdef PROBE
s_probe         db      "KERNEL PROBE=", PROBE_TEXT, " ENTRY=", 0
%else
shim_names      db      "KERNEL SHIM PASSED=", 0, " REFUSED=", 0, " CHSREADS=", 0, 0
s_whole         db      "KERNEL IMAGE WHOLE", 13, 10, 0
s_boot0         db      "KERNEL BOOT0=", 0, "KERNEL BOOT1=", 0
%endif
s_done          db      "KERNEL DONE", 13, 10, 0
s_crlf          db      13, 10, 0

; Filler that differs from sector to sector, so that the file spans clusters.
filler:
%assign i 0
%rep PAD
        db      (i + (i >> 8)) & 0xFF
%assign i i + 1
%endrep
%ifdef PROBE
        times 510 - ($ - $$) db 0
        dw      0xAA55
%endif
image_end:

; Past the image, so that the check sees the file as it was loaded.
regs    equ     image_end               ; in the order of reg_names
