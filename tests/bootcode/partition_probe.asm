; A partition boot sector for the master boot record tests: reports the drive
; in DL, DS:SI and the 16 bytes at DS:SI (the partition entry it was started
; with), then halts:
;
;   PROBE <NAME> DL=.. DS=.... SI=.... ENTRY=<32 hex digits>
;   PROBE DONE
;
; NAME tells the tests which copy was started: assemble with -DNAME=PRIMARY,
; -DNAME=BACKUP or -DNAME=SECOND.

bits 16
cpu 386
org 0x7C00

%ifndef NAME
%define NAME PRIMARY
%endif
%defstr NAME_TEXT NAME

        cli
        xor     ax, ax
        mov     es, ax
        mov     ss, ax
        mov     sp, 0x7C00
        sti
        cld
        mov     [es:v_dx], dx
        mov     [es:v_ds], ds
        mov     [es:v_si], si
        push    es
        pop     ds

        mov     si, s_probe
        call    print
        mov     si, s_dl
        call    print
        mov     al, [v_dx]
        call    print_hex8
        mov     si, s_ds
        call    print
        mov     ax, [v_ds]
        call    print_hex
        mov     si, s_si
        call    print
        mov     ax, [v_si]
        call    print_hex
        mov     si, s_entry
        call    print
        lds     si, [v_si]              ; v_si, then v_ds
        mov     cx, 16
.entry:
        lodsb
        call    print_hex8
        loop    .entry
        push    es
        pop     ds
        mov     si, s_done
        call    print
.halt:
        sti                             ; the BIOS flushes the serial console on its timer
        hlt
        jmp     .halt

%include "teletype.inc"


v_si    dw      0
v_ds    dw      0
v_dx    dw      0

s_probe db      "PROBE ", NAME_TEXT, 0
s_dl    db      " DL=", 0
s_ds    db      " DS=", 0
s_si    db      " SI=", 0
s_entry db      " ENTRY=", 0
s_done  db      13, 10, "PROBE DONE", 13, 10, 0

        times 510 - ($ - $$) db 0
        dw      0xAA55
