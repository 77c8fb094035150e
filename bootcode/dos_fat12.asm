; FAT12/FAT16 partition boot sector that starts DOS from IBMBIO.COM
; (BOOTREC 112).
;
; Finds IBMBIO.COM in the root directory, follows its cluster chain and loads
; it with CHS reads to 0070:0000, as far as the room below this sector allows
; (a larger system file loads its own remainder), then starts it the way DOS
; expects: CH media byte, DL boot drive, AX:BX first data sector (counted
; from the start of the drive), and this sector with its parameter block left
; at 0:7C00.

bits 16
cpu 386
org 0x7C00

LOAD_SEG    equ 0x0070
LOAD_END    equ 0x07A0                  ; segment the file must stay below
BUF         equ 0x7E00                  ; directory and FAT sectors
ATTEMPTS    equ 5
FAT16_MIN   equ 4085                    ; fewer clusters than this is FAT12

; Scratch below the sector, addressed from BP = 7C00h.
v_data      equ -0x10                   ; first data sector, dword
v_fat       equ -0x0C                   ; first FAT sector, dword
v_mask      equ -0x08                   ; 0FFFh for 12-bit entries, else 0FFFFh
v_eoc       equ -0x06                   ; first end-of-chain value

%define F(field) bp + ((field) - $$)
%include "chs_address.inc"

        jmp     short start
        nop
oem             db      "+TSb{IHC"
bytes_per_sec   dw      512
sec_per_clus    db      4
reserved_secs   dw      1
fat_count       db      2
root_entries    dw      512
total_secs16    dw      8288
media           db      0xF8
secs_per_fat    dw      7
secs_per_track  dw      32
head_count      dw      4
hidden_secs     dd      32
total_secs32    dd      8288
drive           db      0x80
                db      0
ext_signature   db      0x29
serial          db      0x28, 0x36, 0xF8, 0x12
label           db      "VELTRANEUSB"
fs_type         db      "FAT12   "

; Reached by jumps only; it uses the room up to the code's entry point.
load_error:
        mov     si, msg_error
.print:
        lodsb
        test    al, al
        jz      .wait
        mov     ah, 0x0E
        xor     bx, bx
        int     0x10
        jmp     .print
.wait:
        cbw                             ; AX = 0: wait for a key
        int     0x16
        int     0x19

        times 0x58 - ($ - $$) db 0

start:
        cli
        xor     ax, ax
        mov     ds, ax
        mov     es, ax
        mov     ss, ax
        mov     bp, 0x7C00
        lea     sp, [bp - 0x10]
        sti
        cld
        mov     [F(drive)], dl

        ; First FAT sector = hidden + reserved; the root directory follows
        ; the FATs.
        movzx   eax, word [F(reserved_secs)]
        add     eax, [F(hidden_secs)]
        mov     [bp + v_fat], eax
        movzx   eax, byte [F(fat_count)]
        movzx   ecx, word [F(secs_per_fat)]
        mul     ecx
        add     eax, [bp + v_fat]
        mov     esi, eax

        ; Root directory sectors, rounded up; the data area follows them.
        mov     ax, 32
        mul     word [F(root_entries)]
        div     word [F(bytes_per_sec)]
        neg     dx
        adc     ax, 0
        mov     dx, ax
        add     eax, esi                ; EAX high word is still 0
        mov     [bp + v_data], eax

        ; Fewer than 4085 clusters means 12-bit FAT entries. A volume too
        ; large for the 16-bit sector count is taken as FAT16 (the
        ; subtraction then wraps to a large value).
        movzx   ecx, word [F(total_secs16)]
        add     ecx, [F(hidden_secs)]
        sub     ecx, eax
        movzx   eax, byte [F(sec_per_clus)]
        imul    eax, eax, FAT16_MIN
        cmp     ecx, eax
        sbb     ax, ax
        and     ax, 0xF000
        not     ax
        mov     [bp + v_mask], ax       ; 0FFFh or 0FFFFh
        and     al, 0xF8
        mov     [bp + v_eoc], ax        ; 0FF8h or 0FFF8h

        ; Search the root directory one sector at a time.
        mov     eax, esi
        mov     bx, BUF
.root_sector:
        dec     dx
        js      load_error
        call    read_one
        inc     eax
        mov     di, bx
        mov     cx, [F(bytes_per_sec)]
        shr     cx, 5
.entry:
        cmp     byte [di], 0            ; end of the directory
        je      load_error
        pusha
        mov     si, system_file
        mov     cx, 11
        repe cmpsb
        popa
        je      .found
        add     di, 32
        loop    .entry
        jmp     .root_sector

.found:
        mov     ax, [di + 26]
        push    LOAD_SEG
        pop     es
        mov     si, [F(bytes_per_sec)]
        shr     si, 4                   ; paragraphs per sector
.cluster:
        push    ax
        dec     ax
        dec     ax
        movzx   eax, ax
        movzx   ecx, byte [F(sec_per_clus)]
        mul     ecx
        add     eax, [bp + v_data]
.sector:
        mov     dx, es
        add     dx, si
        cmp     dx, LOAD_END            ; the rest is the file's own business
        ja      start_system
        xor     bx, bx
        call    read_one
        mov     es, dx
        inc     eax
        loop    .sector

        ; Next cluster, from two FAT sectors for a 12-bit entry that
        ; straddles them. CX is 0 here, so CL is the shift of the entry.
        pop     ax
        push    es
        push    ds
        pop     es
        xor     dx, dx
        mov     bx, ax
        test    byte [bp + v_mask + 1], 0xF0
        jnz     .fat16
        shr     bx, 1                   ; 1.5 bytes per 12-bit entry
        setc    cl
        shl     cl, 2                   ; odd: the entry is the high 12 bits
.fat16:
        add     ax, bx
        adc     dx, dx
        div     word [F(bytes_per_sec)]
        mov     di, dx
        movzx   eax, ax
        add     eax, [bp + v_fat]
        mov     bx, BUF
        call    read_one
        inc     eax
        add     bx, [F(bytes_per_sec)]
        call    read_one
        mov     ax, [BUF + di]
        pop     es
        shr     ax, cl
        and     ax, [bp + v_mask]
        cmp     ax, [bp + v_eoc]
        jb      .cluster

start_system:
        mov     ch, [F(media)]
        mov     dl, [F(drive)]
        mov     bx, [bp + v_data]
        mov     ax, [bp + v_data + 2]
        jmp     LOAD_SEG:0

; Reads sector EAX of the drive to ES:BX by cylinder, head and sector;
; keeps every register. A sector that cannot be read ends in load_error.
read_one:
        pushad
        mov     esi, eax
        mov     di, ATTEMPTS
.attempt:
        push    esi
        pop     ax
        pop     dx
        CHS_ADDRESS load_error
        mov     ax, 0x0201
        mov     dl, [F(drive)]
        int     0x13
        jnc     .done
        xor     ax, ax
        int     0x13
        dec     di
        jnz     .attempt
        jmp     load_error
.done:
        popad
        ret

system_file     db      "IBMBIO  COM"
msg_error       db      "Cannot load DOS! Any key to retry", 0

        times 510 - ($ - $$) db 0
        dw      0xAA55
