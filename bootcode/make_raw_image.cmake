# cmake -DKERNEL=<IBMBIO.COM> -DBOOT_SECTOR=<bootrec-112.bin> -DSCRATCH=<file>
#       -DOUTPUT=<image> -P make_raw_image.cmake
#
# The default raw image of the image writer: a FAT12 file system of 8,288
# sectors with the parameters of the DOS boot sector template, holding KERNEL
# as IBMBIO.COM, without its boot sector (the writer puts its own there). Made
# with mkfs.fat and mcopy on a scratch file; the parameter block mkfs.fat wrote
# must match the template's, or the written drive would not boot.
find_program(MKFS_FAT NAMES mkfs.fat mkdosfs PATHS /sbin /usr/sbin REQUIRED)
find_program(MCOPY mcopy REQUIRED)
find_program(DD dd REQUIRED)
set(ENV{MTOOLS_SKIP_CHECK} 1)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}):\n${out}")
  endif()
endfunction()

file(REMOVE "${SCRATCH}")
# 8,288 sectors are 4,144 blocks of 1,024 bytes. Fixed volume id and
# --invariant keep the image the same from build to build.
run(${MKFS_FAT} -C -a -F 12 -S 512 -s 4 -R 1 -f 2 -r 512 -M 0xF8 -g 4/32 -h 32
    -D 0x80 -i 2836F812 -n VELTRANEUSB --invariant "${SCRATCH}" 4144)
run(${MCOPY} -i "${SCRATCH}" "${KERNEL}" ::IBMBIO.COM)

# Bytes 11 to 23: sector size, cluster size, reserved sectors, FATs, root
# entries, total sectors, media byte and FAT size.
file(READ "${SCRATCH}" made OFFSET 11 LIMIT 13 HEX)
file(READ "${BOOT_SECTOR}" wanted OFFSET 11 LIMIT 13 HEX)
if(NOT made STREQUAL wanted)
  message(FATAL_ERROR "mkfs.fat made the parameters ${made}, the DOS boot sector has ${wanted}")
endif()

run(${DD} if=${SCRATCH} of=${OUTPUT}.tmp bs=512 skip=1 status=none)
file(SIZE "${OUTPUT}.tmp" size)
if(NOT size EQUAL 4242944)
  message(FATAL_ERROR "the raw image has ${size} bytes, expected 8,287 sectors")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
file(REMOVE "${SCRATCH}")
