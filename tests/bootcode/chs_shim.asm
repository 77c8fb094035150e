; Floppy boot sector for the CHS boot tests. The firmware under test offers
; the INT 13h extensions; this sector hides them from everything after the
; master boot record, so that the partition's loader has to read by CHS:
;
; 1. takes 1 KB off the top of conventional memory and moves an INT 13h hook
;    there; AH=41h..48h for drive 80h answer "invalid function" (CF set,
;    AH=01h) unless the caller runs in segment 0, where the master boot
;    record does (it relocates to 0:0600). Assembled with -DEVERYONE, they
;    fail for every caller, as on firmware without the extensions;
; 2. reads the first sector of drive 80h to 0:7C00 by CHS and starts it with
;    DL = 80h, as the firmware would have.
;
; The hook counts what it saw in the block at <hook segment>:0000, after the
; signature "CHS ONLY", for the test kernel to report:
;   +8  extended calls passed on (from segment 0)
;   +10 extended calls refused
;   +12 CHS reads (AH=02h) of drive 80h
;
;   SHIM EXTENSIONS HIDDEN BEYOND SEGMENT 0   (or: ... HIDDEN FROM EVERYONE)

bits 16
cpu 386
org 0x0600

RELOC       equ 0x0600
LOAD        equ 0x7C00
MEM_KB      equ 0x0413                  ; BIOS data: conventional memory in KB
DRIVE       equ 0x80

start:
        cli
        xor     ax, ax
        mov     ds, ax
        mov     es, ax
        mov     ss, ax
        mov     sp, LOAD
        sti
        cld
        mov     si, LOAD
        mov     di, RELOC
        mov     cx, 256
        rep movsw
        jmp     0:relocated

relocated:
        mov     si, msg_shim
        call    print

        ; The drive's first sector, read through the firmware's own handler.
        mov     di, 5
.read:
        mov     ax, 0x0201
        mov     bx, LOAD
        mov     cx, 1
        mov     dx, DRIVE
        int     0x13
        jnc     .read_done
        xor     ax, ax
        int     0x13
        dec     di
        jnz     .read
        mov     si, msg_error
        call    print
        jmp     halt
.read_done:

        ; Room for the hook at the top of conventional memory.
        dec     word [MEM_KB]
        mov     ax, [MEM_KB]
        shl     ax, 6
        mov     es, ax
        mov     si, hook_block
        xor     di, di
        mov     cx, hook_end - hook_block
        rep movsb
        mov     eax, [0x13 * 4]
        mov     [es:old_vector - hook_block], eax
        cli
        mov     word [0x13 * 4], hook - hook_block
        mov     [0x13 * 4 + 2], es
        sti

        mov     dl, DRIVE
        jmp     0:LOAD

print:
        lodsb
        test    al, al
        jz      .done
        mov     ah, 0x0E
        xor     bx, bx
        int     0x10
        jmp     print
.done:
        ret

halt:
        hlt
        jmp     halt

%ifdef EVERYONE
msg_shim        db      "SHIM EXTENSIONS HIDDEN FROM EVERYONE", 13, 10, 0
%else
msg_shim        db      "SHIM EXTENSIONS HIDDEN BEYOND SEGMENT 0", 13, 10, 0
%endif
msg_error       db      "SHIM CANNOT READ DRIVE 80", 13, 10, 0

; Copied to <segment>:0000 and run from there; offsets are from hook_block.
hook_block:
        db      "CHS ONLY"
passed          dw      0
refused         dw      0
chs_reads       dw      0
old_vector      dd      0

hook:
        cmp     dl, DRIVE
        jne     .pass
        cmp     ah, 0x02
        jne     .extended
        inc     word [cs:chs_reads - hook_block]
        jmp     .pass
.extended:
        cmp     ah, 0x41
        jb      .pass
        cmp     ah, 0x48
        ja      .pass
        push    bp
        mov     bp, sp
%ifdef EVERYONE
        jmp     .refuse
%else
        cmp     word [bp + 4], 0        ; the caller's CS
        jne     .refuse
%endif
        pop     bp
        inc     word [cs:passed - hook_block]
.pass:
        jmp     far [cs:old_vector - hook_block]
.refuse:
        or      byte [bp + 6], 1        ; CF in the caller's flags
        pop     bp
        inc     word [cs:refused - hook_block]
        mov     ah, 0x01
        iret
hook_end:

        times 510 - ($ - $$) db 0
        dw      0xAA55
