; FAT16 partition boot sector for the FreeDOS kernel (BOOTREC 109).
;
; Moves itself to 1FE0:7C00, reads the root directory to the load segment,
; finds KERNEL.SYS, collects its cluster chain into a list, loads the
; clusters to the load segment and jumps to <load segment>:0000 with the boot
; drive in BL (and DL). The loader variables at offsets 62..77 are filled in
; by whoever writes this sector to a volume; they count sectors from the start
; of the drive, so no hidden-sector arithmetic is needed here.

bits 16
cpu 386
org 0x7C00

RELOC_SEG   equ 0x1FE0
FAT_BUF     equ 0x0000                  ; one FAT sector, RELOC_SEG:0000
CLUSTERS    equ 0x7E00                  ; cluster list, RELOC_SEG:7E00 upwards
ATTEMPTS    equ 5

; Scratch below the sector, addressed from BP = 7C00h in the relocated copy.
v_fat_sec   equ -0x04                   ; FAT sector now in FAT_BUF
v_use_lba   equ -0x02                   ; bit 0 set when the extensions are present

%define F(field) bp + ((field) - $$)
%include "chs_address.inc"

        jmp     short start
        nop
oem             db      "FreeDOS "
bytes_per_sec   dw      512
sec_per_clus    db      4
reserved_secs   dw      1
fat_count       db      2
root_entries    dw      512
total_secs16    dw      0
media           db      0xF8
secs_per_fat    dw      245
secs_per_track  dw      32
head_count      dw      8
hidden_secs     dd      32
total_secs32    dd      250592
drive           db      0xFF
                db      0
ext_signature   db      0x29
serial          db      0x28, 0xB1, 0x11, 0xDE
label           db      "NO NAME    "
fs_type         db      "FAT16   "
load_seg        dw      0x0060
root_secs       dw      32
fat_start       dd      33
root_start      dd      523
data_start      dd      555

start:
        cli
        cld
        xor     ax, ax
        mov     ds, ax
        mov     ax, RELOC_SEG
        mov     es, ax
        mov     ss, ax
        mov     bp, 0x7C00
        lea     sp, [bp - 0x10]
        mov     si, bp
        mov     di, bp
        mov     cx, 256
        rep movsw
        sti
        push    es
        push    word moved
        retf

moved:
        push    es
        pop     ds
        cmp     byte [F(drive)], 0xFF
        jne     .drive_known
        mov     [F(drive)], dl
.drive_known:
        mov     si, msg_freedos
        call    print

        or      word [bp + v_fat_sec], -1
        mov     byte [bp + v_use_lba], 0
        mov     ah, 0x41
        mov     bx, 0x55AA
        mov     dl, [F(drive)]
        int     0x13
        jc      .chs_only
        cmp     bx, 0xAA55
        jne     .chs_only
        mov     [bp + v_use_lba], cl
.chs_only:

        ; Root directory to the load segment.
        mov     es, [F(load_seg)]
        xor     bx, bx
        mov     ax, [F(root_start)]
        mov     dx, [F(root_start) + 2]
        mov     cx, [F(root_secs)]
.read_root:
        call    read_next
        loop    .read_root

        mov     es, [F(load_seg)]
        xor     di, di
        mov     cx, [F(root_entries)]
.search:
        cmp     byte [es:di], 0         ; end of the directory
        je      boot_error
        pusha
        mov     si, kernel_name
        mov     cx, 11
        repe cmpsb
        popa
        je      .found
        add     di, 32
        loop    .search
        jmp     boot_error

.found:
        ; Follow the chain through the FAT into the cluster list.
        mov     ax, [es:di + 26]
        push    ds
        pop     es
        mov     di, CLUSTERS
.chain:
        cmp     ax, 0xFFF8
        jae     .chain_done
        cmp     ax, 2
        jb      boot_error
        stosw
        test    di, di                  ; list full
        jz      boot_error
        xor     dx, dx
        add     ax, ax
        adc     dx, dx
        div     word [F(bytes_per_sec)]
        mov     si, dx
        cmp     ax, [bp + v_fat_sec]
        je      .cached
        mov     [bp + v_fat_sec], ax
        xor     dx, dx
        add     ax, [F(fat_start)]
        adc     dx, [F(fat_start) + 2]
        xor     bx, bx                  ; FAT_BUF
        call    read_one
.cached:
        mov     ax, [si]                ; FAT_BUF + SI
        jmp     .chain
.chain_done:

        ; Load the clusters one after the other.
        mov     si, CLUSTERS
        mov     es, [F(load_seg)]
        xor     bx, bx
.cluster:
        cmp     si, di
        jae     .go
        lodsw
        dec     ax
        dec     ax
        movzx   cx, byte [F(sec_per_clus)]
        mul     cx
        add     ax, [F(data_start)]
        adc     dx, [F(data_start) + 2]
.sector:
        call    read_next
        loop    .sector
        jmp     .cluster

.go:
        mov     si, msg_go
        call    print
        mov     bl, [F(drive)]
        mov     dl, bl
        push    word [F(load_seg)]
        push    word 0
        retf

boot_error:
        mov     si, msg_error
        call    print
        xor     ax, ax
        int     0x16
        int     0x19

; Reads sector DX:AX to ES:0000, then steps DX:AX to the next sector and ES
; past the data read. Data that reached RELOC_SEG is an error: the file is
; too large for the room below this sector.
read_next:
        call    read_one
        inc     ax
        jnz     .stepped
        inc     dx
.stepped:
        pusha
        mov     ax, [F(bytes_per_sec)]
        shr     ax, 4
        mov     bx, es
        add     ax, bx
        mov     es, ax
        cmp     ax, RELOC_SEG
        popa
        ja      boot_error
        ret

; Reads sector DX:AX of the drive to ES:BX; keeps every register. A sector
; that cannot be read ends in boot_error. The packet for the extended read
; lives on the stack for all attempts and is also where the CHS path takes
; the sector number from.
read_one:
        pusha
        push    dword 0
        push    dx
        push    ax
        push    es
        push    bx
        push    byte 1
        push    byte 16
        mov     si, sp
        mov     di, ATTEMPTS
.attempt:
        mov     byte [si + 2], 1        ; some firmware zeroes it on failure
        mov     ah, 0x42
        test    byte [bp + v_use_lba], 1
        jnz     .call
        mov     ax, [si + 8]
        mov     dx, [si + 10]
        CHS_ADDRESS boot_error
        mov     ax, 0x0201
.call:
        mov     dl, [F(drive)]
        int     0x13
        jnc     .done
        xor     ax, ax
        int     0x13
        dec     di
        jnz     .attempt
        jmp     boot_error
.done:
        add     sp, 16
        popa
        ret

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

msg_freedos     db      "FreeDOS", 0
msg_go          db      " GO! ", 0
msg_error       db      "BOOT error!", 0

        times 496 - ($ - $$) db 0
kernel_name     db      "KERNEL  SYS"
        times 510 - ($ - $$) db 0
        dw      0xAA55
