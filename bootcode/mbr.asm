; Master boot record (BOOTREC 111).
;
; Moves itself to 0:0600, picks the active entry of the partition table and
; starts that partition's boot sector at 0:7C00 with the boot drive in DL and
; DS:SI pointing at the entry. Reads go through the INT 13h extensions only:
; firmware without them cannot start this drive.

bits 16
cpu 386
org 0x0600

RELOC       equ 0x0600
LOAD        equ 0x7C00
SIGNATURE   equ LOAD + 510
TABLE       equ RELOC + 446
ATTEMPTS    equ 5
BACKUP_BOOT equ 6                       ; FAT32 keeps a copy of its boot sector here

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, LOAD
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, LOAD
        mov     di, RELOC
        mov     cx, 256
        rep movsw
        jmp     0:relocated

relocated:
        mov     [drive], dl

        ; The first entry with the top bit set is the one to boot. Anything
        ; but 0 before it, or anything but 0 after it, is a broken table.
        mov     si, TABLE
        mov     cx, 4
.find:
        mov     al, [si]
        test    al, al
        js      .found
        jnz     invalid_table
        add     si, 16
        loop    .find
        int     0x18                    ; nothing here: next boot device
        jmp     halt

.found:
        mov     bx, si
        jmp     .next
.rest:
        cmp     byte [bx], 0
        jne     invalid_table
.next:
        add     bx, 16
        loop    .rest

        mov     bp, si
        mov     eax, [bp + 8]
        call    read_sector
        jc      .retry_backup
        cmp     word [SIGNATURE], 0xAA55
        je      start_partition
.retry_backup:
        mov     al, [bp + 4]
        cmp     al, 0x0B
        je      .fat32
        cmp     al, 0x0C
        jne     load_error
.fat32:
        mov     eax, [bp + 8]
        add     eax, BACKUP_BOOT
        call    read_sector
        jc      load_error
        cmp     word [SIGNATURE], 0xAA55
        jne     missing_os

start_partition:
        mov     si, bp
        mov     dl, [drive]
        jmp     0:LOAD

; Reads sector EAX of the boot drive to 0:7C00. CF set when it could not be
; read within ATTEMPTS tries, or when the extensions are missing.
read_sector:
        ; The old signature of this sector is still at 0:7DFE; without
        ; clearing it, a read that did nothing would look like a success.
        mov     word [SIGNATURE], 0
        mov     [packet.lba], eax
        mov     ah, 0x41
        mov     bx, 0x55AA
        mov     dl, [drive]
        int     0x13
        jc      .failed
        cmp     bx, 0xAA55
        jne     .failed
        test    cl, 1
        jz      .failed
        mov     di, ATTEMPTS
.attempt:
        ; Some firmware zeroes the count after a failed read.
        mov     word [packet.count], 1
        mov     si, packet
        mov     dl, [drive]
        mov     ah, 0x42
        int     0x13
        jnc     .done
        xor     ah, ah
        mov     dl, [drive]
        int     0x13
        dec     di
        jnz     .attempt
.failed:
        stc
.done:
        ret

invalid_table:
        mov     si, msg_invalid
        jmp     print_halt
load_error:
        mov     si, msg_load
        jmp     print_halt
missing_os:
        mov     si, msg_missing
print_halt:
        lodsb
        test    al, al
        jz      halt
        mov     ah, 0x0E
        mov     bx, 7
        int     0x10
        jmp     print_halt
halt:
        sti
        hlt
        jmp     halt

packet:
        db      16, 0
.count: dw      1
        dw      LOAD, 0
.lba:   dd      0, 0

drive           db      0x80
msg_invalid     db      "Invalid partition table", 0
msg_load        db      "Error loading operating system", 0
msg_missing     db      "Missing operating system", 0

        times 440 - ($ - $$) db 0
        db      0x9D, 0x9A, 0x65, 0x0B  ; disk signature
        dw      0

        ; Entry 0: active FAT16 (LBA) partition, CHS 0/1/1 to 14/254/63.
        db      0x80
        db      1, 1, 0
        db      0x0E
        db      254, 63, 14
        dd      63
        dd      252865
        times 48 db 0

        dw      0xAA55
