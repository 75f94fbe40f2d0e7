# --- Floppy and CD images (target "media", made by every build) --------------------------------------------
# cmpci-uninstall-floppy.img (1.44 MB FAT12) and cmpci-uninstall.iso (ISO 9660 with Joliet) carry the
# program and README.TXT to a real or virtual Windows 9x machine. Every date on them is CMPCI_MEDIA_EPOCH,
# so the same program gives the same images.
option(CMPCI_MEDIA "Make the floppy and CD images (needs dosfstools, mtools and xorriso; genisoimage for the tests)" ON)
if(NOT CMPCI_MEDIA)
    return()
endif()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(CMPCI_MEDIA_EPOCH_DEFAULT $ENV{SOURCE_DATE_EPOCH})
else()
    set(CMPCI_MEDIA_EPOCH_DEFAULT 1796601600)  # 2026-12-07 00:00 UTC
endif()
set(CMPCI_MEDIA_EPOCH ${CMPCI_MEDIA_EPOCH_DEFAULT} CACHE STRING
    "Date of every file on the floppy and CD images, in seconds since 1970 (SOURCE_DATE_EPOCH when set at the first configure)")

set(CMPCI_MEDIA_TOOLS mkfs.fat fsck.fat mcopy mdir mshortname xorriso isoinfo)
foreach(tool ${CMPCI_MEDIA_TOOLS})
    string(MAKE_C_IDENTIFIER "CMPCI_TOOL_${tool}" variable)
    find_program(${variable} ${tool} PATHS /usr/sbin /sbin)
    if(NOT ${variable})
        message(FATAL_ERROR "${tool} is missing: the floppy and CD images need the Debian packages dosfstools, "
                            "mtools, xorriso and genisoimage (or configure with -DCMPCI_MEDIA=OFF)")
    endif()
endforeach()

set(CMPCI_MEDIA_DIR ${PROJECT_SOURCE_DIR}/media)
set(CMPCI_README_TXT ${CMAKE_CURRENT_BINARY_DIR}/README.TXT)
set(CMPCI_MEDIA_floppy ${CMAKE_CURRENT_BINARY_DIR}/cmpci-uninstall-floppy.img)
set(CMPCI_MEDIA_cd ${CMAKE_CURRENT_BINARY_DIR}/cmpci-uninstall.iso)
configure_file(${CMPCI_MEDIA_DIR}/README.TXT.in ${CMPCI_README_TXT} @ONLY NEWLINE_STYLE CRLF)

foreach(kind floppy cd)
    add_custom_command(OUTPUT ${CMPCI_MEDIA_${kind}}
        COMMAND bash ${CMPCI_MEDIA_DIR}/make_media.sh ${kind} ${CMPCI_MEDIA_${kind}} $<TARGET_FILE:cmpci-uninstall>
                ${CMPCI_README_TXT} ${CMPCI_MEDIA_EPOCH}
        DEPENDS cmpci-uninstall ${CMPCI_MEDIA_DIR}/make_media.sh ${CMPCI_README_TXT}
        COMMENT "Making ${CMPCI_MEDIA_${kind}}"
        VERBATIM)
endforeach()
add_custom_target(media ALL DEPENDS ${CMPCI_MEDIA_floppy} ${CMPCI_MEDIA_cd})

# Both images read back: names, contents, line ends, size, file system check; then the same checks must
# refuse damaged images, and images made again from the same files must be the same bytes.
add_test(NAME media.contents
    COMMAND bash ${CMPCI_WIN32_TESTS}/check_media.sh $<TARGET_FILE:cmpci-uninstall> ${CMPCI_README_TXT}
            ${CMPCI_MEDIA_floppy} ${CMPCI_MEDIA_cd})
add_test(NAME media.controls
    COMMAND bash ${CMPCI_WIN32_TESTS}/media_controls.sh ${CMPCI_MEDIA_DIR}/make_media.sh $<TARGET_FILE:cmpci-uninstall>
            ${CMPCI_README_TXT} ${CMPCI_MEDIA_floppy} ${CMPCI_MEDIA_cd} ${CMPCI_MEDIA_EPOCH})
