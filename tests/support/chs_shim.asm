; Floppy boot sector for the CHS boot tests. It moves an INT 13h hook to the
; top of conventional memory that answers AH=41h..48h for drive 80h with
; "invalid function" (CF set, AH=01h) unless the caller runs in segment 0, as
; the relocated master boot record does. Then it reads drive 80h's first
; sector by CHS and starts it with DL = 80h. After the signature "CHS ONLY"
; the hook counts the extended calls passed on, those refused, and the CHS
; reads (AH=02h) of drive 80h, for the test kernel to print.
bits 16
cpu 386
org 0x0600

        cli
        xor     ax, ax
        mov     ds, ax
        mov     es, ax
        mov     ss, ax
        mov     sp, 0x7C00
        sti
        cld
        mov     si, 0x7C00
        mov     di, 0x0600
        mov     cx, 256
        rep movsw
        jmp     0:relocated
relocated:
        mov     ax, 0x0201
        mov     bx, 0x7C00
        mov     cx, 1
        mov     dx, 0x80
        int     0x13
        jc      $                               ; nothing to start
        dec     word [0x0413]                   ; conventional memory in KB
        mov     ax, [0x0413]
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
        mov     dl, 0x80
        jmp     0:0x7C00

; Copied to <segment>:0000 and run from there; offsets are from hook_block.
hook_block:
        db      "CHS ONLY"
passed          dw      0
refused         dw      0
chs_reads       dw      0
old_vector      dd      0
hook:
        cmp     dl, 0x80
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
        cmp     word [bp + 4], 0                ; the caller's CS
        jne     .refuse
        pop     bp
        inc     word [cs:passed - hook_block]
.pass:
        jmp     far [cs:old_vector - hook_block]
.refuse:
        or      byte [bp + 6], 1                ; CF in the caller's flags
        pop     bp
        inc     word [cs:refused - hook_block]
        mov     ah, 0x01
        iret
hook_end:

        times 510 - ($ - $$) db 0
        dw      0xAA55
