# The Windows build: cmpci-uninstall.exe for Windows 95/98/ME and NT-family Windows, its checks, the
# registry contract suite cross-compiled for Wine, and the end-to-end runs under Wine (label "wine").
enable_testing()

set(CMPCI_EXPORT_LISTS ${PROJECT_SOURCE_DIR}/cmake/win9x-exports)
set(CMPCI_WIN32_TESTS ${PROJECT_SOURCE_DIR}/tests/win32)
if(NOT CMPCI_OBJDUMP)
    find_program(CMPCI_OBJDUMP NAMES i686-w64-mingw32-objdump objdump REQUIRED)
endif()

# --- The program -------------------------------------------------------------------------------------
# Every CPU that runs Windows 95 must run it: code for the i486 without MMX/SSE, and none of mingw's start-up
# objects or static run-time libraries (they hold CMOV). The image starts at CmpciEntry and imports only from
# KERNEL32, USER32 and ADVAPI32: no C run-time DLL, since a Windows 95 without Internet Explorer 4 has no
# MSVCRT.DLL. OS and subsystem version 4.0, or Windows 9x and NT4 refuse it.
# The version resource shows in Explorer's Properties.
enable_language(RC)
configure_file(cmake/cmpci-uninstall.rc.in ${CMAKE_CURRENT_BINARY_DIR}/cmpci-uninstall.rc @ONLY)
add_executable(cmpci-uninstall WIN32
    ${CMAKE_CURRENT_BINARY_DIR}/cmpci-uninstall.rc
    src/run/win32_main.cpp
    src/system/win32/win32_system.cpp
    ${CMPCI_LOGIC_SOURCES})
target_include_directories(cmpci-uninstall PRIVATE src)
target_compile_options(cmpci-uninstall PRIVATE
    -Os -march=i486 -mtune=i486 -mno-mmx -mno-sse -mno-sse2 -mno-3dnow
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-threadsafe-statics -fno-stack-protector -fno-ident
    -ffunction-sections -fdata-sections)
target_link_options(cmpci-uninstall PRIVATE
    -nostdlib -nostartfiles
    -Wl,-e,_CmpciEntry@0
    -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--gc-sections -Wl,--disable-dynamicbase -Wl,--disable-reloc-section -Wl,--no-insert-timestamp -s)
target_link_libraries(cmpci-uninstall PRIVATE kernel32 user32 advapi32)

# --- Checks of the linked program ------------------------------------------------------------------------
add_test(NAME win32.imports
    COMMAND bash ${CMPCI_WIN32_TESTS}/check_imports.sh ${CMPCI_OBJDUMP} $<TARGET_FILE:cmpci-uninstall> ${CMPCI_EXPORT_LISTS})
add_test(NAME win32.no_c_runtime
    COMMAND bash -c "${CMPCI_OBJDUMP} -p \"$1\" | grep 'DLL Name:' | grep -iv -e kernel32 -e user32 -e advapi32 && exit 1; exit 0"
            check $<TARGET_FILE:cmpci-uninstall>)
add_test(NAME win32.cpu
    COMMAND bash ${CMPCI_WIN32_TESTS}/check_cpu.sh ${CMPCI_OBJDUMP} $<TARGET_FILE:cmpci-uninstall>)
add_test(NAME win32.version_resource
    COMMAND bash -c "strings -el \"$1\" | grep -x -F '${PROJECT_VERSION}' && strings -el \"$1\" | grep -q '^Removes the C-Media'"
            check $<TARGET_FILE:cmpci-uninstall>)
add_test(NAME win32.pe_header
    COMMAND bash ${CMPCI_WIN32_TESTS}/check_pe_header.sh ${CMPCI_OBJDUMP} $<TARGET_FILE:cmpci-uninstall> 65536)

# The same checks must refuse an ordinary mingw program: start-up code with CMOV, a console subsystem,
# symbols, and an import that Windows 9x lacks.
add_executable(cmpci_checks_control tests/win32/checks_control.cpp)
target_compile_options(cmpci_checks_control PRIVATE -O2 -march=i686)
target_link_options(cmpci_checks_control PRIVATE -static)
add_test(NAME win32.imports_refuses_control
    COMMAND bash ${CMPCI_WIN32_TESTS}/check_imports.sh ${CMPCI_OBJDUMP} $<TARGET_FILE:cmpci_checks_control> ${CMPCI_EXPORT_LISTS})
set_tests_properties(win32.imports_refuses_control PROPERTIES
    PASS_REGULAR_EXPRESSION "FAIL KERNEL32.dll!GetTickCount64: not exported on Windows 9x")
add_test(NAME win32.cpu_refuses_control
    COMMAND bash ${CMPCI_WIN32_TESTS}/check_cpu.sh ${CMPCI_OBJDUMP} $<TARGET_FILE:cmpci_checks_control>)
set_tests_properties(win32.cpu_refuses_control PROPERTIES PASS_REGULAR_EXPRESSION "instructions a Pentium cannot run:.*cmov")
add_test(NAME win32.pe_header_refuses_control
    COMMAND bash ${CMPCI_WIN32_TESTS}/check_pe_header.sh ${CMPCI_OBJDUMP} $<TARGET_FILE:cmpci_checks_control> 65536)
set_tests_properties(win32.pe_header_refuses_control PROPERTIES
    PASS_REGULAR_EXPRESSION "FAIL Subsystem is '00000003'.*FAIL symbols are not stripped")

# --- Under Wine (label "wine"; skipped when Wine cannot start) ---------------------------------------------
# Each script makes its own 32-bit prefix below this folder and removes it when it ends.
set(CMPCI_WINE_ENVIRONMENT "CMPCI_WINE_TMP=${CMAKE_BINARY_DIR}/wine-prefixes")

# Starts a program with an exact command line (a test helper, not part of the product).
add_executable(cmpci_launch tests/win32/launch.cpp)
target_link_options(cmpci_launch PRIVATE -static)

# The registry contract suite, the provider's own tests and the fault sweep on the real registry,
# cross-compiled with GoogleTest's sources. This program is no product: it may use mingw's start-up code and
# libstdc++.
set(CMPCI_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources to build for Windows")
if(EXISTS ${CMPCI_GTEST_SOURCE}/src/gtest-all.cc)
    add_library(cmpci_gtest_win32 STATIC ${CMPCI_GTEST_SOURCE}/src/gtest-all.cc ${CMPCI_GTEST_SOURCE}/src/gtest_main.cc)
    target_include_directories(cmpci_gtest_win32 SYSTEM PUBLIC ${CMPCI_GTEST_SOURCE}/include)
    target_include_directories(cmpci_gtest_win32 PRIVATE ${CMPCI_GTEST_SOURCE})
    target_compile_options(cmpci_gtest_win32 PRIVATE -w)
    target_compile_options(cmpci_gtest_win32 PUBLIC -include ${CMPCI_WIN32_TESTS}/gtest_notification.h)

    # The fault sweep runs the whole logic on the Wine prefix's card machine, whose registry text is
    # compiled in.
    set(CMPCI_CARD_MACHINE_REG ${CMPCI_WIN32_TESTS}/card_machine.reg)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMPCI_CARD_MACHINE_REG})
    file(READ ${CMPCI_CARD_MACHINE_REG} CMPCI_CARD_MACHINE_TEXT)
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/card_machine_reg.h
        CONTENT "// Made from tests/win32/card_machine.reg when the build is configured.\n#pragma once\n\ninline constexpr char kCardMachineReg[] = R\"reg(@CMPCI_CARD_MACHINE_TEXT@)reg\";\n"
        @ONLY)

    add_executable(cmpci_registry_contract
        tests/win32/registry_contract_win32.cpp
        tests/win32/win32_system_wine.cpp
        tests/win32/fault_sweep_wine.cpp
        src/system/win32/win32_system.cpp
        ${CMPCI_LOGIC_SOURCES})
    target_include_directories(cmpci_registry_contract PRIVATE src tests ${CMAKE_CURRENT_BINARY_DIR}/generated)
    target_link_libraries(cmpci_registry_contract PRIVATE cmpci_gtest_win32 advapi32)
    target_link_options(cmpci_registry_contract PRIVATE -static)

    add_test(NAME wine.registry_contract
        COMMAND bash ${CMPCI_WIN32_TESTS}/wine_gtest.sh $<TARGET_FILE:cmpci_registry_contract>)
    set_tests_properties(wine.registry_contract PROPERTIES
        LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 600 ENVIRONMENT "${CMPCI_WINE_ENVIRONMENT}")
else()
    message(WARNING "GoogleTest sources not found in ${CMPCI_GTEST_SOURCE}: the registry contract does not run under Wine")
endif()

# End-to-end runs of the program itself.
add_test(NAME wine.removal
    COMMAND bash ${CMPCI_WIN32_TESTS}/wine_removal_test.sh $<TARGET_FILE:cmpci-uninstall> ${PROJECT_SOURCE_DIR}
            $<TARGET_FILE:cmpci_launch>)
set_tests_properties(wine.removal PROPERTIES
    LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 600 ENVIRONMENT "${CMPCI_WINE_ENVIRONMENT}")
add_test(NAME wine.confirm_box
    COMMAND bash ${CMPCI_WIN32_TESTS}/wine_confirm_box_test.sh $<TARGET_FILE:cmpci-uninstall> ${PROJECT_SOURCE_DIR})
set_tests_properties(wine.confirm_box PROPERTIES
    LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 600 ENVIRONMENT "${CMPCI_WINE_ENVIRONMENT}")
add_test(NAME wine.example_machine
    COMMAND bash ${CMPCI_WIN32_TESTS}/wine_example_machine_test.sh $<TARGET_FILE:cmpci-uninstall> ${PROJECT_SOURCE_DIR})
set_tests_properties(wine.example_machine PROPERTIES
    LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 600 ENVIRONMENT "${CMPCI_WINE_ENVIRONMENT}")

# The floppy and CD images that carry the program, and their tests.
include(cmake/media.cmake)
