; Test kernel for the boot tests. Loaded at <segment>:0000 by a boot sector,
; it reports through the BIOS teletype (mirrored to the serial port) how it
; was entered and what it finds in memory, so the test can check both:
;
;   KERNEL ENTRY CS=.... IP=.... AX=.... BX=.... CX=.... DX=....
;   KERNEL ENTRY SI=.... DI=.... BP=.... SP=.... DS=.... ES=.... SS=....
;   KERNEL LBA=YES or NO (INT 13h extensions for the drive in DL at entry)
;   KERNEL SHIM PASSED=.... REFUSED=.... CHSREADS=.... (only under chs_shim.asm)
;   KERNEL IMAGE SIZE=.... SUM1=.... SUM2=.... TAIL=....
;   KERNEL BOOT0=<hex of 0:7C00..0:7C1E>
;   KERNEL BOOT1=<hex of 0:7C1F..0:7C3D>
;   KERNEL DONE
;
; Every line stays below 80 columns, where the serial console would wrap.
;
; SUM1/SUM2 are a Fletcher-style pair over the whole image as loaded; the
; test computes the same pair over the file, so a missing, repeated or
; misplaced sector shows. PAD bytes of filler make the file span clusters.

bits 16
cpu 386
org 0

%ifndef PAD
%define PAD 20000
%endif

entry:
        mov     [cs:r_ax], ax
        mov     [cs:r_bx], bx
        mov     [cs:r_cx], cx
        mov     [cs:r_dx], dx
        mov     [cs:r_si], si
        mov     [cs:r_di], di
        mov     [cs:r_bp], bp
        mov     [cs:r_sp], sp
        mov     [cs:r_ds], ds
        mov     [cs:r_es], es
        mov     [cs:r_ss], ss
        call    .here
.here:
        pop     ax
        sub     ax, .here - entry
        mov     [cs:r_ip], ax

        cli
        mov     ax, cs
        mov     ds, ax
        mov     ss, ax
        mov     sp, 0xFFF0
        sti
        cld

        mov     di, reg_names
        mov     bx, r_cs
        mov     [r_cs], cs
.reg:
        mov     si, di
        call    print
        mov     di, si
        mov     ax, [bx]
        call    print_hex
        add     bx, 2
        cmp     byte [di], 0
        jne     .reg
        mov     si, s_crlf
        call    print

        mov     si, s_lba
        call    print
        mov     ah, 0x41
        mov     bx, 0x55AA
        mov     dl, [r_dx]
        int     0x13
        mov     si, s_no
        jc      .lba_known
        cmp     bx, 0xAA55
        jne     .lba_known
        test    cl, 1
        jz      .lba_known
        mov     si, s_yes
.lba_known:
        call    print

        ; The counters of the CHS shim's INT 13h hook, when it is installed.
        push    ds
        xor     ax, ax
        mov     ds, ax
        mov     ds, [0x13 * 4 + 2]
        cmp     dword [0], 'CHS '
        jne     .no_shim
        cmp     dword [4], 'ONLY'
        jne     .no_shim
        mov     bx, [8]
        mov     cx, [10]
        mov     dx, [12]
        pop     ds
        mov     si, s_passed
        call    print
        mov     ax, bx
        call    print_hex
        mov     si, s_refused
        call    print
        mov     ax, cx
        call    print_hex
        mov     si, s_chs_reads
        call    print
        mov     ax, dx
        call    print_hex
        mov     si, s_crlf
        call    print
        jmp     .shim_done
.no_shim:
        pop     ds
.shim_done:

        ; Checksums over the image.
        xor     si, si
        xor     bx, bx                  ; sum1
        xor     dx, dx                  ; sum2
        mov     cx, image_end
.sum:
        lodsb
        xor     ah, ah
        add     bx, ax
        add     dx, bx
        loop    .sum
        mov     si, s_image
        call    print
        mov     ax, image_end
        call    print_hex
        mov     si, s_sum1
        call    print
        mov     ax, bx
        call    print_hex
        mov     si, s_sum2
        call    print
        mov     ax, dx
        call    print_hex
        mov     si, s_tail
        call    print
        mov     si, image_end - 4
        mov     cx, 4
.tail:
        lodsb
        call    putc
        loop    .tail
        mov     si, s_crlf
        call    print

        ; The boot sector left at 0:7C00, up to the end of its parameters.
        mov     si, s_boot0
        call    print
        mov     si, 0x7C00
        call    dump31
        mov     si, s_boot1
        call    print
        mov     si, 0x7C00 + 31
        call    dump31

        mov     si, s_done
        call    print
.halt:
        sti                             ; the BIOS flushes the serial console on its timer
        hlt
        jmp     .halt

; Prints 31 bytes from 0:SI in hex, then a line end.
dump31:
        push    ds
        xor     ax, ax
        mov     ds, ax
        mov     cx, 31
.byte:
        lodsb
        call    print_hex8
        loop    .byte
        pop     ds
        mov     si, s_crlf
        jmp     print

%include "teletype.inc"


reg_names       db      "KERNEL ENTRY CS=", 0, " IP=", 0, " AX=", 0, " BX=", 0
                db      " CX=", 0, " DX=", 0, 13, 10, "KERNEL ENTRY SI=", 0
                db      " DI=", 0, " BP=", 0, " SP=", 0, " DS=", 0, " ES=", 0
                db      " SS=", 0, 0
s_lba           db      "KERNEL LBA=", 0
s_yes           db      "YES", 13, 10, 0
s_no            db      "NO", 13, 10, 0
s_passed        db      "KERNEL SHIM PASSED=", 0
s_refused       db      " REFUSED=", 0
s_chs_reads     db      " CHSREADS=", 0
s_image         db      "KERNEL IMAGE SIZE=", 0
s_sum1          db      " SUM1=", 0
s_sum2          db      " SUM2=", 0
s_tail          db      " TAIL=", 0
s_boot0         db      "KERNEL BOOT0=", 0
s_boot1         db      "KERNEL BOOT1=", 0
s_done          db      "KERNEL DONE", 13, 10, 0
s_crlf          db      13, 10, 0

; Filler that differs from sector to sector.
%assign i 0
%rep PAD
        db      (i * 7 + (i >> 9) * 31 + 0x5A) & 0xFF
%assign i i + 1
%endrep
        db      "TAIL"
image_end:

; Saved registers, just past the image so that the sums see the file as it
; was loaded. Same order as reg_names.
r_cs    equ     image_end
r_ip    equ     image_end + 2
r_ax    equ     image_end + 4
r_bx    equ     image_end + 6
r_cx    equ     image_end + 8
r_dx    equ     image_end + 10
r_si    equ     image_end + 12
r_di    equ     image_end + 14
r_bp    equ     image_end + 16
r_sp    equ     image_end + 18
r_ds    equ     image_end + 20
r_es    equ     image_end + 22
r_ss    equ     image_end + 24
